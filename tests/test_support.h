// Shared helpers of the test programs: a sandboxed home and temporary directory, and an answerer for the
// modal message boxes and file dialogs the program opens, which records what they said.
#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QtTest/QtTest>
#include <functional>

class QWidget;

namespace ostrel_test {

// Points HOME and TMPDIR into a fresh directory for the life of the process, before any Qt object
// reads them, and removes it afterwards. No test touches the real home directory.
class Sandbox
{
public:
    Sandbox();
    ~Sandbox();
    QString root() const { return m_root; }
    QString home() const { return m_root + "/home"; }
    QString temp() const { return m_root + "/tmp"; }

private:
    QString m_root;
};

// The directory the process sandbox lives in.
QString sandboxHome();

// Writes a complete settings file into the sandboxed home (record port, destinations, rate ...).
// With no arguments it writes the program's defaults with the given record port.
void writeHomeSettings(const QString &xml);
QString defaultSettingsXml(quint16 recordPort = 5000, quint16 playPort1 = 5001, quint16 playPort2 = 5001,
                           bool active = false, int frequency = 4, bool loop = true, bool timestamp = true);

struct ModalRecord
{
    QString kind; // "message", "file" or the dialog's class name
    int icon = 0; // QMessageBox::Icon for messages
    QString title;
    QString text;
};

// Answers every modal widget that opens while it exists. Message boxes are recorded and closed with their
// accepting (or only) button; file dialogs take the next queued answer (a path, or cancel when the queue is
// empty or the queued answer is empty); other dialogs go to the next queued handler, or are rejected.
class ModalAnswerer : public QObject
{
    Q_OBJECT
public:
    explicit ModalAnswerer(QObject *parent = nullptr);

    void queueFile(const QString &path);                             // "" cancels
    void queueDialog(const std::function<void(QWidget *)> &handler); // runs on the next other dialog

    const QList<ModalRecord> &records() const { return m_records; }
    QList<ModalRecord> messages() const;
    QStringList messageTexts() const;
    void clear() { m_records.clear(); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void poll();
    void answer(QWidget *modal);
    QList<ModalRecord> m_records;
    QList<QPointer<QWidget>> m_handled;
    QStringList m_files;
    QList<std::function<void(QWidget *)>> m_handlers;
};

// A UDP receiver on 127.0.0.1 with a port the system chose, for tests that check what went on the wire.
class UdpSink
{
public:
    UdpSink();
    ~UdpSink();
    quint16 port() const { return m_port; }
    bool ok() const { return m_fd >= 0; }
    // Waits up to timeoutMs for one datagram; an empty optional-like result (ok=false) on time-out.
    bool receive(QByteArray *out, int timeoutMs = 5000, quint64 *arrivalUs = nullptr);
    // Receives until count datagrams arrived or the time-out passed.
    QList<QByteArray> receiveMany(int count, int timeoutMs = 5000);
    // Datagrams already waiting, without blocking.
    QList<QByteArray> drain();

private:
    int m_fd = -1;
    quint16 m_port = 0;
};

// A UDP port on 127.0.0.1 that was free a moment ago.
quint16 freeUdpPort();
// The descriptor of this process's UDP socket bound to port, or -1.
int udpSocketOnPort(quint16 port);

// Sends one datagram to 127.0.0.1:port from a fresh socket.
bool sendUdp(quint16 port, const QByteArray &payload);

QByteArray readFile(const QString &path);
bool writeFile(const QString &path, const QByteArray &data);

} // namespace ostrel_test

// main() of a test program that uses widgets, with the sandbox set up before the application object.
#define OSTREL_TEST_MAIN(TestObject)                                                                         \
    int main(int argc, char **argv)                                                                          \
    {                                                                                                        \
        ostrel_test::Sandbox sandbox;                                                                        \
        QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);                                             \
        QApplication app(argc, argv);                                                                        \
        TestObject tc;                                                                                       \
        return QTest::qExec(&tc, argc, argv);                                                                \
    }

// The same for test programs without widgets.
#define OSTREL_TEST_GUILESS_MAIN(TestObject)                                                                 \
    int main(int argc, char **argv)                                                                          \
    {                                                                                                        \
        ostrel_test::Sandbox sandbox;                                                                        \
        QCoreApplication app(argc, argv);                                                                    \
        TestObject tc;                                                                                       \
        return QTest::qExec(&tc, argc, argv);                                                                \
    }

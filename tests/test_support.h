// Shared helpers of the test programs: a sandboxed home, an answerer for the program's modal boxes and
// dialogs that records what they said, loopback UDP, and the settings file's exact bytes.
#pragma once

#include <QtTest/QtTest>
#include <functional>

namespace ostrel_test {

// Points HOME and TMPDIR into a fresh directory for the life of the process, before any Qt object reads them.
struct Sandbox
{
    Sandbox();
    QTemporaryDir root{"/tmp/ostrel-test-XXXXXX"};
};

QString sandboxHome();

// The settings file as the program writes it, from the eleven texts in their order, escaped, and up to six
// more (groups, interfaces, recorded timing, continued numbers), written where they differ from their
// defaults. The defaults have destinations on 127.0.0.1 and both directories the home directory.
QByteArray settingsFileBytes(const QStringList &texts);
QString defaultSettingsXml(quint16 recordPort = 5000);
void writeHomeSettings(const QString &xml); // the settings file of the sandboxed home

struct ModalRecord
{
    QString kind; // "message", "question" (a file dialog's own), "file" or the dialog's class name
    int icon = 0; // QMessageBox::Icon for messages
    QString title;
    QString text; // for file dialogs: directory|name filters
};

// Answers every modal widget that opens while it exists. Message boxes are recorded and closed; file dialogs
// take the next queued path (typed into the name field; none or "" cancels); other dialogs go to the next
// queued handler, or are rejected.
class ModalAnswerer : public QObject
{
    Q_OBJECT
public:
    explicit ModalAnswerer(QObject *parent = nullptr);
    void queueFile(const QString &path) { m_files.append(path); }
    void queueDialog(const std::function<void(QWidget *)> &handler) { m_handlers.append(handler); }
    // Fills the next other dialog as a user would and presses OK: pairs of object name and value (text,
    // number, true or false for a button); *shown gets what the fields showed.
    void queueConfirm(const QStringList &fields, QStringList *shown = nullptr);
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

// A UDP receiver on 127.0.0.1 with a port the system chose.
class UdpSink
{
public:
    UdpSink();
    ~UdpSink();
    quint16 port() const { return m_port; }
    bool ok() const { return m_fd >= 0; }
    // Waits up to timeoutMs for one datagram, turning the event loop meanwhile; false on time-out.
    bool receive(QByteArray *out, int timeoutMs = 5000);
    QList<QByteArray> drain(int most = -1); // the datagrams already waiting, without blocking
    QList<QByteArray> receiveMany(int count, int timeoutMs = 5000); // until count arrived or time is out

private:
    quint16 m_port = 0;
    int m_fd = -1;
};

quint16 freeUdpPort();             // a UDP port on 127.0.0.1 that was free a moment ago
int udpSocketOnPort(quint16 port); // this process's UDP socket bound to port, or -1
bool sendUdp(quint16 port, const QByteArray &payload, quint32 address = 0x7f000001u); // to a group: by lo
// Runs f with files limited to the given size, as on a full disk: a write beyond it fails (EFBIG).
void withFileSizeLimit(qint64 bytes, const std::function<void()> &f);
QByteArray readFile(const QString &path);
bool writeFile(const QString &path, const QByteArray &data);
// Runs program to its end (at most 30 s) with HOME set to home and, when given, in workingDirectory: its exit
// status, or -1 when it did not end by itself; its standard output in *out and standard error in *err.
int runToEnd(const QString &program, const QStringList &arguments, const QString &home, QByteArray *out = nullptr,
             QByteArray *err = nullptr, const QString &workingDirectory = QString());

} // namespace ostrel_test

// main() of a test program, with the sandbox set up before the application object.
#define OSTREL_TEST_MAIN_WITH(App, TestObject)                                                               \
    int main(int argc, char **argv)                                                                          \
    {                                                                                                        \
        ostrel_test::Sandbox sandbox;                                                                        \
        QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);                                         \
        App app(argc, argv);                                                                                 \
        TestObject tc;                                                                                       \
        return QTest::qExec(&tc, argc, argv);                                                                \
    }
#define OSTREL_TEST_MAIN(TestObject) OSTREL_TEST_MAIN_WITH(QApplication, TestObject)
#define OSTREL_TEST_GUILESS_MAIN(TestObject) OSTREL_TEST_MAIN_WITH(QCoreApplication, TestObject)

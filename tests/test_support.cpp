#include "test_support.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

namespace ostrel_test {

namespace {
QString g_home;
}

Sandbox::Sandbox()
{
    QByteArray pattern = QByteArray("/tmp/ostrel-test-XXXXXX");
    char *made = mkdtemp(pattern.data());
    if (!made)
        qFatal("cannot create the test sandbox");
    m_root = QString::fromLocal8Bit(made);
    QDir().mkpath(home());
    QDir().mkpath(temp());
    qputenv("HOME", home().toLocal8Bit());
    qputenv("TMPDIR", temp().toLocal8Bit());
    g_home = home();
}

Sandbox::~Sandbox()
{
    QDir(m_root).removeRecursively();
}

QString sandboxHome()
{
    return g_home;
}

QString defaultSettingsXml(quint16 recordPort, quint16 playPort1, quint16 playPort2, bool active,
                           int frequency, bool loop, bool timestamp)
{
    auto flag = [](bool b) { return b ? QStringLiteral("true") : QStringLiteral("false"); };
    return QStringLiteral("<OSTREL_RECORDER>\n"
                          "    <RECORD_PORT PORT_NR=\"%1\"/>\n"
                          "    <PLAY_HOST_1 HOST=\"127.0.0.1\"/>\n"
                          "    <PLAY_PORT_1 PORT_NR=\"%2\"/>\n"
                          "    <PLAY_HOST_2 HOST=\"127.0.0.1\"/>\n"
                          "    <PLAY_PORT_2 PORT_NR=\"%3\"/>\n"
                          "    <ACTIVE ACTIVE=\"%4\"/>\n"
                          "    <FREQUENCY FREQUENCY=\"%5\"/>\n"
                          "    <LOOP LOOP=\"%6\"/>\n"
                          "    <TIMESTAMP TIMESTAMP=\"%7\"/>\n"
                          "    <SAVE_FILE_DIR SAVE_FILE_DIR=\"%8\"/>\n"
                          "    <OPEN_FILE_DIR OPEN_FILE_DIR=\"%8\"/>\n"
                          "</OSTREL_RECORDER>\n")
        .arg(recordPort)
        .arg(playPort1)
        .arg(playPort2)
        .arg(flag(active))
        .arg(frequency)
        .arg(flag(loop), flag(timestamp), g_home);
}

void writeHomeSettings(const QString &xml)
{
    const QString dir = g_home + "/.NUV/Ostrel_Recorder/config";
    QDir().mkpath(dir);
    writeFile(dir + "/current-settings.xml", xml.toUtf8());
}

ModalAnswerer::ModalAnswerer(QObject *parent) : QObject(parent)
{
    auto *timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &ModalAnswerer::poll);
    timer->start(10);
}

void ModalAnswerer::queueFile(const QString &path)
{
    m_files.append(path);
}

void ModalAnswerer::queueDialog(const std::function<void(QWidget *)> &handler)
{
    m_handlers.append(handler);
}

QList<ModalRecord> ModalAnswerer::messages() const
{
    QList<ModalRecord> out;
    for (const ModalRecord &r : m_records)
        if (r.kind == QLatin1String("message"))
            out.append(r);
    return out;
}

QStringList ModalAnswerer::messageTexts() const
{
    QStringList out;
    for (const ModalRecord &r : messages())
        out.append(r.text);
    return out;
}

void ModalAnswerer::poll()
{
    // A dialog that closed may open again later (the window reuses its dialogs), or its address may be
    // taken by a new one: only what has stayed open since it was answered counts as answered. Hiding is
    // seen by the event filter, so a dialog that closes and opens again between two polls is answered too.
    m_handled.removeIf([](const QPointer<QWidget> &w) { return !w || !w->isVisible(); });
    QWidget *modal = QApplication::activeModalWidget();
    if (!modal || !modal->isVisible() || m_handled.contains(modal))
        return;
    m_handled.append(modal);
    modal->installEventFilter(this);
    QPointer<QWidget> target(modal);
    // Answer from the event loop, not from inside this timer slot: an answer may open a modal of its own
    // (a file dialog asking before it replaces a file), and this timer does not fire again until its slot
    // has returned.
    QTimer::singleShot(0, this, [this, target] {
        if (target)
            answer(target);
    });
}

bool ModalAnswerer::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Hide) {
        m_handled.removeAll(QPointer<QWidget>(static_cast<QWidget *>(watched)));
        watched->removeEventFilter(this);
    }
    return false;
}

void ModalAnswerer::answer(QWidget *modal)
{
    if (auto *box = qobject_cast<QMessageBox *>(modal)) {
        // A file dialog's own question (replace an existing file?) is answered yes, as a user who typed
        // that name would; the program's messages are recorded and closed.
        const bool dialogQuestion = qobject_cast<QFileDialog *>(box->parentWidget()) != nullptr;
        m_records.append({dialogQuestion ? QStringLiteral("question") : QStringLiteral("message"),
                          int(box->icon()), box->windowTitle(), box->text()});
        QAbstractButton *button = nullptr;
        if (dialogQuestion)
            button = box->button(QMessageBox::Yes);
        if (!button)
            button = box->escapeButton();
        if (!button && !box->buttons().isEmpty())
            button = box->buttons().constFirst();
        if (button)
            button->click();
        else
            box->close();
        return;
    }
    if (auto *dialog = qobject_cast<QFileDialog *>(modal)) {
        m_records.append({QStringLiteral("file"), 0, dialog->windowTitle(),
                          dialog->directory().absolutePath() + "|" + dialog->nameFilters().join(";;")});
        const QString answer = m_files.isEmpty() ? QString() : m_files.takeFirst();
        if (answer.isEmpty()) {
            dialog->reject();
        } else {
            // Typed into the name field, as a user would; selectFile() leaves a name that does not exist yet
            // out of the selection.
            if (auto *edit = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit")))
                edit->setText(answer);
            else
                dialog->selectFile(answer);
            static_cast<QDialog *>(dialog)->accept(); // protected in QFileDialog, public in QDialog
            if (dialog->isVisible())
                dialog->reject(); // the dialog refused the name
        }
        return;
    }
    if (auto *dialog = qobject_cast<QDialog *>(modal)) {
        m_records.append(
            {QString::fromLatin1(dialog->metaObject()->className()), 0, dialog->windowTitle(), {}});
        if (m_handlers.isEmpty()) {
            dialog->reject();
        } else {
            m_handlers.takeFirst()(dialog);
            // A dialog its handler left open is answered again: by the next handler, or rejected.
            m_handled.removeAll(QPointer<QWidget>(dialog));
        }
    }
}

UdpSink::UdpSink()
{
    m_fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (m_fd < 0)
        return;
    int size = 8 * 1024 * 1024;
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (::bind(m_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        ::close(m_fd);
        m_fd = -1;
        return;
    }
    m_port = ntohs(addr.sin_port);
}

UdpSink::~UdpSink()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool UdpSink::receive(QByteArray *out, int timeoutMs, quint64 *arrivalUs)
{
    // Keep the Qt event loop turning while we wait: the sender lives on this thread.
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        pollfd pfd{m_fd, POLLIN, 0};
        if (::poll(&pfd, 1, 0) > 0) {
            QByteArray buf(65536, Qt::Uninitialized);
            const ssize_t n = ::recv(m_fd, buf.data(), buf.size(), 0);
            if (arrivalUs) {
                timespec ts;
                clock_gettime(CLOCK_MONOTONIC, &ts);
                *arrivalUs = quint64(ts.tv_sec) * 1000000u + quint64(ts.tv_nsec) / 1000u;
            }
            if (n < 0)
                return false;
            buf.truncate(int(n));
            *out = buf;
            return true;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        pfd = {m_fd, POLLIN, 0};
        ::poll(&pfd, 1, 1);
    }
    return false;
}

QList<QByteArray> UdpSink::receiveMany(int count, int timeoutMs)
{
    QList<QByteArray> out;
    QDeadlineTimer deadline(timeoutMs);
    QByteArray one;
    while (out.size() < count && receive(&one, int(qMax<qint64>(1, deadline.remainingTime()))))
        out.append(one);
    return out;
}

QList<QByteArray> UdpSink::drain()
{
    QList<QByteArray> out;
    QByteArray buf(65536, Qt::Uninitialized);
    for (;;) {
        const ssize_t n = ::recv(m_fd, buf.data(), buf.size(), MSG_DONTWAIT);
        if (n < 0)
            break;
        out.append(QByteArray(buf.constData(), int(n)));
    }
    return out;
}

quint16 freeUdpPort()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

int udpSocketOnPort(quint16 port)
{
    for (int fd = 3; fd < 1024; ++fd) {
        sockaddr_in addr{};
        socklen_t len = sizeof addr;
        int type = 0;
        socklen_t typeLen = sizeof type;
        if (::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0 && addr.sin_family == AF_INET &&
            ntohs(addr.sin_port) == port && ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeLen) == 0 &&
            type == SOCK_DGRAM)
            return fd;
    }
    return -1;
}

bool sendUdp(quint16 port, const QByteArray &payload)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    const ssize_t n = ::sendto(fd, payload.constData(), size_t(payload.size()), 0,
                               reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    ::close(fd);
    return n == payload.size();
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return f.write(data) == data.size();
}

} // namespace ostrel_test

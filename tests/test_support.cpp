#include "test_support.h"

#include <QtWidgets>

#include <arpa/inet.h>
#include <csignal>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

namespace ostrel_test {

namespace {
QString g_home;

// A UDP socket bound to 127.0.0.1 on a port the system chose (stored in *port), or -1.
int boundUdpSocket(quint16 *port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), len) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        ::close(fd);
        return -1;
    }
    *port = ntohs(addr.sin_port);
    return fd;
}
} // namespace

Sandbox::Sandbox()
{
    g_home = root.path() + "/home";
    if (!root.isValid() || !QDir().mkpath(g_home) || !QDir().mkpath(root.path() + "/tmp"))
        qFatal("cannot create the test sandbox");
    qputenv("HOME", g_home.toLocal8Bit());
    qputenv("TMPDIR", (root.path() + "/tmp").toLocal8Bit());
}

QString sandboxHome()
{
    return g_home;
}

QByteArray settingsFileBytes(const QStringList &texts)
{
    const char *rows[] = {"RECORD_PORT PORT_NR",         "PLAY_HOST_1 HOST",
                          "PLAY_PORT_1 PORT_NR",         "PLAY_HOST_2 HOST",
                          "PLAY_PORT_2 PORT_NR",         "ACTIVE ACTIVE",
                          "FREQUENCY FREQUENCY",         "LOOP LOOP",
                          "TIMESTAMP TIMESTAMP",         "SAVE_FILE_DIR SAVE_FILE_DIR",
                          "OPEN_FILE_DIR OPEN_FILE_DIR", "RECORD_GROUP GROUP",
                          "RECORD_INTERFACE INTERFACE",  "PLAY_TTL TTL",
                          "PLAY_INTERFACE INTERFACE",    "RECORDED_TIMING RECORDED_TIMING",
                          "PLAY_CONTINUE_NUMBERS CONTINUE_NUMBERS"};
    const QStringList optionalDefaults = {"", "", "1", "", "false", "false"};
    QByteArray out = "<OSTREL_RECORDER>\n";
    for (int i = 0; i < std::min(int(texts.size()), 17); ++i)
        if (i < 11 || texts[i] != optionalDefaults[i - 11])
            out += QByteArray("    <") + rows[i] + "=\"" + texts.value(i).toUtf8() + "\"/>\n";
    return out + "</OSTREL_RECORDER>\n";
}

QString defaultSettingsXml(quint16 recordPort)
{
    return QString::fromUtf8(settingsFileBytes({QString::number(recordPort), "127.0.0.1", "5001", "127.0.0.1",
                                                "5001", "false", "4", "true", "true", g_home, g_home}));
}

void writeHomeSettings(const QString &xml)
{
    QDir().mkpath(g_home + "/.NUV/Ostrel_Recorder/config");
    writeFile(g_home + "/.NUV/Ostrel_Recorder/config/current-settings.xml", xml.toUtf8());
}

ModalAnswerer::ModalAnswerer(QObject *parent) : QObject(parent)
{
    auto *timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &ModalAnswerer::poll);
    timer->start(10);
}

void ModalAnswerer::queueConfirm(const QStringList &fields, QStringList *shown)
{
    queueDialog([fields, shown](QWidget *dialog) {
        QStringList before;
        for (int i = 0; i + 1 < fields.size(); i += 2) {
            QWidget *field = dialog->findChild<QWidget *>(fields[i]);
            const QMetaProperty value = field->metaObject()->userProperty(); // text, value or checked
            before << value.read(field).toString();
            auto *button = qobject_cast<QAbstractButton *>(field);
            if (!button)
                value.write(field, fields[i + 1]);
            else if (before.last() != fields[i + 1])
                button->click(); // clicked, as the dialog listens to clicks
        }
        if (shown)
            *shown = before;
        dialog->findChild<QAbstractButton *>(QStringLiteral("pb_ok"))->click();
    });
}

QList<ModalRecord> ModalAnswerer::messages() const
{
    QList<ModalRecord> out = m_records;
    out.removeIf([](const ModalRecord &r) { return r.kind != QLatin1String("message"); });
    return out;
}

QStringList ModalAnswerer::messageTexts() const
{
    QStringList out;
    for (const ModalRecord &r : messages())
        out << r.text;
    return out;
}

void ModalAnswerer::poll()
{
    // Only what has stayed open since it was answered counts as answered (the window reuses its dialogs);
    // hiding is seen by the event filter, so a dialog that closes and opens between two polls is answered.
    m_handled.removeIf([](const QPointer<QWidget> &w) { return !w || !w->isVisible(); });
    QWidget *modal = QApplication::activeModalWidget();
    if (!modal || !modal->isVisible() || m_handled.contains(modal))
        return;
    m_handled.append(modal);
    modal->installEventFilter(this);
    // Answered from the event loop, not from this timer slot: an answer may open a modal of its own (a file
    // dialog asking before it replaces a file), and this timer does not fire again until its slot returns.
    QTimer::singleShot(0, this, [this, target = QPointer<QWidget>(modal)] {
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
        // A file dialog's own question (replace the file?) is answered yes, as by a user who typed that name.
        const bool question = qobject_cast<QFileDialog *>(box->parentWidget()) != nullptr;
        m_records.append({question ? QStringLiteral("question") : QStringLiteral("message"), int(box->icon()),
                          box->windowTitle(), box->text()});
        QAbstractButton *button = question ? box->button(QMessageBox::Yes) : box->escapeButton();
        if (!button && !box->buttons().isEmpty())
            button = box->buttons().constFirst();
        button ? button->click() : void(box->close());
    } else if (auto *dialog = qobject_cast<QFileDialog *>(modal)) {
        m_records.append({QStringLiteral("file"), 0, dialog->windowTitle(),
                          dialog->directory().absolutePath() + "|" + dialog->nameFilters().join(";;")});
        const QString path = m_files.isEmpty() ? QString() : m_files.takeFirst();
        if (path.isEmpty())
            return dialog->reject();
        // Typed into the name field: selectFile() leaves a name that does not exist yet out of the selection.
        dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(path);
        static_cast<QDialog *>(dialog)->accept(); // protected in QFileDialog, public in QDialog
        if (dialog->isVisible())
            dialog->reject(); // the dialog refused the name
    } else if (qobject_cast<QProgressDialog *>(modal)) {
        // A slow scan's progress: a user waits for it, and it closes by itself.
    } else if (auto *other = qobject_cast<QDialog *>(modal)) {
        m_records.append(
            {QString::fromLatin1(other->metaObject()->className()), 0, other->windowTitle(), {}});
        if (m_handlers.isEmpty())
            return other->reject();
        m_handlers.takeFirst()(other);
        m_handled.removeAll(QPointer<QWidget>(other)); // left open by its handler: answered again
    }
}

UdpSink::UdpSink() : m_fd(boundUdpSocket(&m_port))
{
    const int size = 8 * 1024 * 1024;
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

UdpSink::~UdpSink()
{
    ::close(m_fd);
}

bool UdpSink::receive(QByteArray *out, int timeoutMs)
{
    for (QDeadlineTimer deadline(timeoutMs); !deadline.hasExpired();) {
        if (const QList<QByteArray> one = drain(1); !one.isEmpty()) {
            *out = one.first();
            return true;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1); // the sender may live on this thread
        pollfd pfd{m_fd, POLLIN, 0};
        ::poll(&pfd, 1, 1);
    }
    return false;
}

QList<QByteArray> UdpSink::receiveMany(int count, int timeoutMs)
{
    QList<QByteArray> out;
    for (QByteArray one; out.size() < count && receive(&one, timeoutMs);)
        out.append(one);
    return out;
}

QList<QByteArray> UdpSink::drain(int most)
{
    QList<QByteArray> out;
    QByteArray buf(65536, Qt::Uninitialized);
    for (ssize_t n; out.size() != most && (n = ::recv(m_fd, buf.data(), buf.size(), MSG_DONTWAIT)) >= 0;)
        out.append(buf.left(int(n)));
    return out;
}

quint16 freeUdpPort()
{
    quint16 port = 0;
    ::close(boundUdpSocket(&port));
    return port;
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

bool sendUdp(quint16 port, const QByteArray &payload, quint32 address)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    const in_addr loopback{htonl(INADDR_LOOPBACK)};
    ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &loopback, sizeof loopback);
    const sockaddr_in addr{AF_INET, htons(port), {htonl(address)}, {}};
    const ssize_t n = ::sendto(fd, payload.constData(), size_t(payload.size()), 0,
                               reinterpret_cast<const sockaddr *>(&addr), sizeof addr);
    ::close(fd);
    return n == payload.size();
}

void withFileSizeLimit(qint64 bytes, const std::function<void()> &f)
{
    rlimit old{};
    ::getrlimit(RLIMIT_FSIZE, &old);
    const rlimit limited{rlim_t(bytes), old.rlim_max};
    const auto handler = std::signal(SIGXFSZ, SIG_IGN);
    ::setrlimit(RLIMIT_FSIZE, &limited);
    f();
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, handler);
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}

int runToEnd(const QString &program, const QStringList &arguments, const QString &home, QByteArray *out,
             QByteArray *err, const QString &workingDirectory)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", home);
    p.setProcessEnvironment(env);
    if (!workingDirectory.isEmpty())
        p.setWorkingDirectory(workingDirectory);
    p.start(program, arguments);
    if (!p.waitForFinished(30000)) {
        p.kill();
        p.waitForFinished();
        return -1;
    }
    if (out)
        *out = p.readAllStandardOutput();
    if (err)
        *err = p.readAllStandardError();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

} // namespace ostrel_test

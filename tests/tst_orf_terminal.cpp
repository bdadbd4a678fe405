// orf on a terminal: a real process on a pseudo-terminal (its standard input, output and error), real UDP on
// 127.0.0.1. The progress it draws, the keys of play, the terminal put back on every way out.
#include "cli/progress.h"
#include "test_support.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

using namespace ostrel_test;

namespace {

// orf running with a pseudo-terminal as its controlling terminal; the test holds both ends.
struct Terminal
{
    int master = -1, slave = -1;
    pid_t pid = -1;
    termios before{};  // the terminal's settings before orf ran
    QByteArray screen; // all it wrote, its line ends as written (the terminal makes LF into CR LF)

    ~Terminal()
    {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        ::close(master);
        ::close(slave);
    }
    bool start(const QStringList &arguments, const QString &home)
    {
        if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
            return false;
        ::fcntl(master, F_SETFL, O_NONBLOCK);
        ::tcgetattr(slave, &before);
        std::vector<QByteArray> args{ORF_PATH};
        for (const QString &a : arguments)
            args.push_back(a.toLocal8Bit());
        std::vector<char *> argv;
        for (QByteArray &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const QByteArray homeValue = home.toLocal8Bit();
        pid = ::fork();
        if (pid == 0) {
            ::setsid();
            ::ioctl(slave, TIOCSCTTY, 0);
            for (int fd = 0; fd < 3; ++fd)
                ::dup2(slave, fd);
            ::setenv("HOME", homeValue.constData(), 1);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        return pid > 0;
    }
    void pump(int waitMs)
    {
        pollfd p{master, POLLIN, 0};
        ::poll(&p, 1, waitMs);
        char bytes[4096];
        for (ssize_t n; (n = ::read(master, bytes, sizeof bytes)) > 0;)
            screen.append(bytes, n);
        screen.replace("\r\n", "\n");
    }
    void type(const QByteArray &keys) { QVERIFY(::write(master, keys.constData(), size_t(keys.size())) > 0); }
    // Reads what it writes (and turns cond, which may read sockets) until cond holds; false on time-out.
    bool waitFor(const std::function<bool()> &cond, int timeoutMs = 10000)
    {
        QElapsedTimer clock;
        clock.start();
        while (!cond()) {
            if (clock.elapsed() > timeoutMs)
                return false;
            pump(10);
        }
        return true;
    }
    // Its exit status once it has ended, -1 when it did not within the time.
    int finish(int timeoutMs = 10000)
    {
        int status = 0;
        if (!waitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, timeoutMs))
            return -1;
        pid = -1;
        pump(0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

// The lines drawn in place: each "\r" + text, up to the next "\r"; an erasure draws nothing.
QStringList drawings(const QByteArray &screen)
{
    QStringList drawn;
    for (const QByteArray &piece : screen.split('\r').mid(1))
        if (!piece.startsWith("\033[K") && !piece.startsWith('\n'))
            drawn << QString::fromLocal8Bit(piece.left(piece.indexOf("\033[K")));
    return drawn;
}

// The frame numbers ("fr N") of the datagrams waiting at sink.
QList<qint64> framesAt(UdpSink &sink)
{
    QList<qint64> numbers;
    for (const QByteArray &d : sink.drain())
        numbers << d.mid(3, d.indexOf('\n') - 3).toLongLong();
    return numbers;
}

bool sameSettings(const termios &a, const termios &b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::equal(a.c_cc, a.c_cc + NCCS, b.c_cc);
}

} // namespace

class TestOrfTerminal : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString path(const QString &name) const { return dir.filePath(name); }

    // A recording of frames 1..count, stamped at hz when hz > 0.
    QString recording(const QString &name, int count, int hz)
    {
        QByteArray bytes;
        for (int i = 1; i <= count; ++i)
            bytes += "fr " + QByteArray::number(i) + "\n" +
                     (hz > 0 ? "ts " + QByteArray::number(double(i) / hz, 'f', 3) + "\n" : "") + "x\n";
        writeFile(path(name), bytes);
        return path(name);
    }

private slots:
    // record and play draw their line at most four times a second, erase it before the summary, and draw
    // nothing on a pipe; a quick import draws no bar.
    void progressLines_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("drawn");   // a drawing matches it
        QTest::addColumn<QString>("summary"); // the summary's start
        QTest::newRow("record") << "record"
                                << "^\\d+ s  \\d+ datagrams  \\d+/s  \\d+\\.\\d MB  0 lost$"
                                << "orf: recorded";
        QTest::newRow("play")
            << "play"
            << "^0:0\\d  frame \\d+ \\(\\d+ of 300, \\d+\\.\\d%\\)  0:0\\d left  [\\d.]+ frames/s  "
               "p99 \\d+\\.\\d{3} ms late$"
            << "orf: sent 300 frames";
        QTest::newRow("import") << "import"
                                << ""
                                << "orf: UDP port";
    }
    void progressLines()
    {
        QFETCH(QString, command);
        QFETCH(QString, drawn);
        QFETCH(QString, summary);
        UdpSink sink;
        const QString capture = path("c.pcap");
        QVERIFY(QProcess::execute(ORF_PATH, {"export", recording("e.orf", 20, 0), "-o", capture, "--force",
                                             "--quiet"}) == 0);
        const quint16 port = freeUdpPort();
        const QStringList arguments =
            command == "record" ? QStringList{"record",      "--port",  QString::number(port), "-o",
                                              path("r.orf"), "--force", "--duration",          "2"}
            : command == "play" ? QStringList{"play",   recording("p.orf", 300, 0),
                                              "--rate", "150",
                                              "--to",   "127.0.0.1:" + QString::number(sink.port())}
                                : QStringList{"import", capture, "-o", path("i.orf"), "--force"};
        for (const bool terminal : {true, false}) {
            QElapsedTimer clock;
            clock.start();
            QByteArray said;
            int status = -1;
            if (terminal) {
                Terminal t;
                QVERIFY(t.start(arguments, dir.path()));
                if (command == "record") // a datagram every 10 ms until it ends
                    t.waitFor([&] { return !sendUdp(port, "fr 1\n") || t.screen.contains("orf: recorded"); });
                status = t.finish();
                said = t.screen;
            } else {
                QProcess p;
                p.start(ORF_PATH, arguments);
                QVERIFY(p.waitForStarted());
                if (command == "record")
                    while (!p.waitForFinished(5) && clock.elapsed() < 10000)
                        sendUdp(port, "fr 1\n");
                QVERIFY(p.state() == QProcess::NotRunning || p.waitForFinished(10000));
                status = p.exitCode();
                said = p.readAllStandardError();
            }
            const QStringList lines = drawings(said);
            QCOMPARE(status, 0);
            if (!terminal || drawn.isEmpty()) {
                QVERIFY2(!said.contains('\r') && !said.contains("\033["), said.constData());
                continue;
            }
            QVERIFY2(!lines.isEmpty(), said.constData());
            QVERIFY(lines.size() <= 4 * clock.elapsed() / 1000 + 1);
            for (const QString &line : lines)
                QVERIFY2(QRegularExpression(drawn).match(line).hasMatch(), qPrintable(line));
            // Erased, the summary at the start of a clean line.
            QVERIFY2(said.contains("\033[K\r\033[K" + summary.toLocal8Bit()), said.constData());
        }
    }

    // A bar appears once the work has taken a second, is redrawn at most four times a second and is erased
    // before the summary; on a pipe only with --progress; --quiet leaves nothing.
    void progressBar_data()
    {
        QTest::addColumn<bool>("terminal");
        QTest::addColumn<int>("chatter");
        QTest::addColumn<bool>("shown");
        QTest::addColumn<QByteArray>("summary");
        QTest::newRow("terminal") << true << int(orf::Chatter::Usual) << true << QByteArray("orf: done\n");
        QTest::newRow("pipe") << false << int(orf::Chatter::Usual) << false << QByteArray("orf: done\n");
        QTest::newRow("pipe, --progress")
            << false << int(orf::Chatter::Progress) << true << QByteArray("orf: done\n");
        QTest::newRow("terminal, --quiet") << true << int(orf::Chatter::Quiet) << false << QByteArray();
    }
    void progressBar()
    {
        QFETCH(bool, terminal);
        QFETCH(int, chatter);
        QFETCH(bool, shown);
        QFETCH(QByteArray, summary);
        int ends[2];
        QVERIFY(terminal ? ::openpty(&ends[0], &ends[1], nullptr, nullptr, nullptr) == 0 : ::pipe(ends) == 0);
        ::fcntl(ends[0], F_SETFL, O_NONBLOCK);
        const int standardError = ::dup(STDERR_FILENO);
        ::dup2(ends[1], STDERR_FILENO);
        orf::setChatter(orf::Chatter(chatter));
        QByteArray said;
        const auto read = [&] {
            char bytes[4096];
            for (ssize_t n; (n = ::read(ends[0], bytes, sizeof bytes)) > 0;)
                said.append(bytes, n);
        };
        QElapsedTimer clock;
        clock.start();
        {
            orf::ProgressBar bar("importing");
            const auto work = bar.callback();
            // 200 MB over 1.6 s, a report every millisecond.
            for (qint64 ms = 0; ms < 1600; ms = clock.elapsed()) {
                work(ms * 125000, 200000000);
                if (ms < 950)
                    read();
                QCOMPARE(ms < 950 ? said : QByteArray(), QByteArray());
                ::usleep(1000);
            }
            orf::say("orf: done\n");
        }
        ::dup2(standardError, STDERR_FILENO);
        ::close(standardError);
        read();
        ::close(ends[0]);
        ::close(ends[1]);
        said.replace("\r\n", "\n");
        const QStringList lines = drawings(said);
        QCOMPARE(!lines.isEmpty(), shown);
        QVERIFY(lines.size() <= 4);
        const QRegularExpression bar(
            "^importing \\[#{12,20}\\.{0,8}\\]  \\d\\d%  12[45]\\.\\d MB/s  0:0\\d left$");
        for (const QString &line : lines)
            QVERIFY2(bar.match(line).hasMatch(), qPrintable(line));
        if (shown)
            QVERIFY2(said.endsWith("\033[K\r\033[K" + summary), said.constData());
        else
            QCOMPARE(said, summary);
    }

    // The keys: space holds frames back (nothing made up after), the arrows move the frame numbers sent
    // by a second (by 100 frames without timestamps), q ends with the summary.
    void keys_data()
    {
        QTest::addColumn<int>("hz");   // of the timestamps; 0: none
        QTest::addColumn<int>("step"); // frames a seek moves
        QTest::newRow("timestamps") << 50 << 50;
        QTest::newRow("no timestamps") << 0 << 100;
    }
    void keys()
    {
        QFETCH(int, hz);
        QFETCH(int, step);
        UdpSink sink;
        Terminal t;
        QVERIFY(t.start({"play", recording("k.orf", 5000, hz), "--rate", "100", "--to",
                         "127.0.0.1:" + QString::number(sink.port())},
                        dir.path()));
        QList<qint64> got;
        const auto gotMore = [&](int more) {
            const qsizetype had = got.size();
            return [&, had, more] { return (got += framesAt(sink)).size() >= had + more; };
        };
        QVERIFY(t.waitFor(gotMore(20)));
        // Paused, as its line says, nothing is sent for two more drawings of it.
        t.type(" ");
        QVERIFY(t.waitFor([&] {
            const QStringList lines = drawings(t.screen);
            return t.screen.endsWith("\033[K") && !lines.isEmpty() && lines.last().startsWith("paused");
        }));
        got += framesAt(sink);
        const qint64 last = got.last();
        const qsizetype drawn = drawings(t.screen).size();
        QVERIFY(t.waitFor([&] { return drawings(t.screen).size() >= drawn + 2; }));
        QCOMPARE(framesAt(sink), QList<qint64>());
        // Resumed with the next frame, and no burst of the frames a pause would have owed.
        const qsizetype paused = got.size();
        t.type(" ");
        QVERIFY(t.waitFor(gotMore(1)));
        QCOMPARE(got[paused], last + 1);
        QVERIFY(got.size() - paused <= 5);
        QVERIFY(t.waitFor(gotMore(20)));
        for (const char *key : {"\033[C", "\033[D"}) {
            const qint64 before = got.last();
            t.type(key);
            QVERIFY(t.waitFor([&] {
                got += framesAt(sink);
                return std::abs(got.last() - before) > step / 2;
            }));
            const qint64 moved = got.last() - before;
            QVERIFY2(std::abs(std::abs(moved) - step) <= 5 && (moved > 0) == (key[2] == 'C'),
                     qPrintable(QString::number(moved)));
        }
        t.type("q");
        QCOMPARE(t.finish(), 0);
        QVERIFY(t.screen.contains("\r\033[Korf: sent "));
    }

    // The terminal is as it was however play ends: its end, q, Ctrl-C, SIGTERM, SIGHUP.
    void terminalPutBack_data()
    {
        QTest::addColumn<QByteArray>("typed");
        QTest::addColumn<int>("signal");
        QTest::newRow("end") << QByteArray() << 0;
        QTest::newRow("q") << QByteArray("q") << 0;
        QTest::newRow("Ctrl-C") << QByteArray("\003") << 0;
        QTest::newRow("SIGTERM") << QByteArray() << int(SIGTERM);
        QTest::newRow("SIGHUP") << QByteArray() << int(SIGHUP);
    }
    void terminalPutBack()
    {
        QFETCH(QByteArray, typed);
        QFETCH(int, signal);
        UdpSink sink;
        Terminal t;
        const bool ends = typed.isEmpty() && signal == 0;
        QVERIFY(t.start({"play", recording("t.orf", ends ? 100 : 5000, 0), "--rate", "100", "--to",
                         "127.0.0.1:" + QString::number(sink.port())},
                        dir.path()));
        // Keys are heard once the terminal no longer echoes.
        QVERIFY(t.waitFor([&] {
            termios now{};
            return ::tcgetattr(t.slave, &now) == 0 && !(now.c_lflag & ECHO);
        }));
        QVERIFY(t.waitFor([&] { return !sink.drain().isEmpty(); }));
        if (!typed.isEmpty())
            t.type(typed);
        if (signal)
            ::kill(t.pid, signal);
        QCOMPARE(t.finish(), 0);
        termios after{};
        QVERIFY(::tcgetattr(t.slave, &after) == 0);
        QVERIFY(sameSettings(t.before, after));
        QVERIFY(t.screen.contains("orf: sent "));
    }
};

OSTREL_TEST_MAIN_WITH(QCoreApplication, TestOrfTerminal)
#include "tst_orf_terminal.moc"

// orf on a terminal: a real process on a pseudo-terminal (its standard input, output and error; standard
// error a pipe when asked), real UDP on 127.0.0.1. The progress it draws, play's keys, the terminal put back.
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
#include <unistd.h>

using namespace ostrel_test;

namespace {

// orf with a pseudo-terminal as its controlling terminal; the test holds both ends.
struct Terminal
{
    int master = -1, slave = -1, err = -1; // err: where its standard error is read
    pid_t pid = -1;
    termios before{};  // the terminal's settings before orf ran
    QByteArray screen; // what it wrote on standard error, CR LF read as LF

    ~Terminal()
    {
        if (pid > 0 && ::kill(pid, SIGKILL) == 0)
            ::waitpid(pid, nullptr, 0);
        for (const int fd : {master, slave, err})
            ::close(fd);
    }
    bool start(const QStringList &arguments, const QString &home, bool errorToTerminal = true)
    {
        int errPipe[2] = {-1, -1};
        if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0 ||
            (!errorToTerminal && ::pipe(errPipe)))
            return false;
        ::tcgetattr(slave, &before);
        QList<QByteArray> args{ORF_PATH};
        for (const QString &a : arguments)
            args << a.toLocal8Bit();
        std::vector<char *> argv;
        for (QByteArray &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const QByteArray homeValue = home.toLocal8Bit();
        if ((pid = ::fork()) == 0) {
            ::setsid();
            ::ioctl(slave, TIOCSCTTY, 0);
            for (int fd = 0; fd < 3; ++fd)
                ::dup2(fd == 2 && !errorToTerminal ? errPipe[1] : slave, fd);
            ::setenv("HOME", homeValue.constData(), 1);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(errPipe[1]);
        err = errorToTerminal ? ::dup(master) : errPipe[0];
        ::fcntl(err, F_SETFL, O_NONBLOCK);
        return pid > 0;
    }
    // Reads what it writes until cond holds; false on time-out.
    bool waitFor(const std::function<bool()> &cond, int timeoutMs = 10000)
    {
        QElapsedTimer clock;
        clock.start();
        for (pollfd p{err, POLLIN, 0};; ::poll(&p, 1, 10)) {
            char bytes[4096];
            for (ssize_t n; (n = ::read(err, bytes, sizeof bytes)) > 0;)
                screen.append(bytes, n).replace("\r\n", "\n");
            if (cond())
                return true;
            if (clock.elapsed() > timeoutMs)
                return false;
        }
    }
    bool ended() const
    {
        siginfo_t info{};
        return ::waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
    }
    void type(const QByteArray &keys) { QVERIFY(::write(master, keys.constData(), size_t(keys.size())) > 0); }
    // Its exit status once it has ended and what it wrote is read; -1 when it did not end in time.
    int finish()
    {
        int status = -1;
        if (!waitFor([&] { return ended(); }) || ::waitpid(pid, &status, 0) != pid)
            return -1;
        pid = -1;
        waitFor([] { return true; }); // what it wrote last
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

// The lines drawn in place: each "\r" + text ended by "ESC [K"; an erasure draws nothing.
QStringList drawings(const QByteArray &screen)
{
    QStringList drawn;
    for (const QByteArray &piece : screen.split('\r').mid(1))
        if (!piece.startsWith("\033[K"))
            drawn << QString::fromLocal8Bit(piece.left(piece.indexOf("\033[K")));
    return drawn;
}

// The frame numbers ("fr N") of the datagrams waiting at sink, added to *got; whether there were any.
bool framesAt(UdpSink &sink, QList<qint64> *got)
{
    const QList<QByteArray> datagrams = sink.drain();
    for (const QByteArray &d : datagrams)
        *got << d.mid(3, d.indexOf('\n') - 3).toLongLong();
    return !datagrams.isEmpty();
}

} // namespace

class TestOrfTerminal : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

    // A recording of frames 1..count, stamped at hz when hz > 0.
    QString recording(int count, int hz = 0)
    {
        QByteArray bytes;
        for (int i = 1; i <= count; ++i)
            bytes += "fr " + QByteArray::number(i) + "\n" +
                     (hz > 0 ? "ts " + QByteArray::number(double(i) / hz, 'f', 3) + "\n" : "") + "x\n";
        const QString name = dir.filePath(QStringLiteral("%1-%2.orf").arg(count).arg(hz));
        writeFile(name, bytes);
        return name;
    }

private slots:
    // record and play draw their line at most four times a second and erase it before the summary; on a pipe
    // only with --progress; --quiet leaves nothing. A quick import draws no bar.
    void progressLines_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("drawn");   // what each drawing matches; empty: none drawn
        QTest::addColumn<QString>("summary"); // empty: nothing said at all
        const QString record = "^\\d+ s  \\d+ datagrams  \\d+/s  \\d+\\.\\d MB  0 lost$";
        const QString play =
            "^0:0\\d  frame \\d+ \\(\\d+ of 300, \\d+\\.\\d%\\)  0:0\\d left  [\\d.]+ frames/s  p99 "
            "\\d+\\.\\d{3} ms late$";
        for (const QString output : {"terminal", "pipe", "pipe --progress", "terminal --quiet"}) {
            const bool drawn = output == "terminal" || output == "pipe --progress";
            const bool quiet = output.endsWith("quiet");
            QTest::newRow(qPrintable("record, " + output))
                << "record" << (drawn ? record : "") << (quiet ? "" : "orf: recorded");
            QTest::newRow(qPrintable("play, " + output))
                << "play" << (drawn ? play : "") << (quiet ? "" : "orf: sent 300");
            QTest::newRow(qPrintable("import, " + output)) << "import"
                                                           << "" << (quiet ? "" : "orf: UDP port");
        }
    }
    void progressLines()
    {
        QFETCH(QString, command);
        QFETCH(QString, drawn);
        QFETCH(QString, summary);
        const QString output = QString(QTest::currentDataTag()).section(", ", 1);
        UdpSink sink;
        const quint16 port = freeUdpPort();
        const QString capture = dir.filePath("c.pcap");
        QStringList arguments;
        if (command == "record") {
            arguments = {
                "record",     "--port", QString::number(port), "-o", dir.filePath("r.orf"), "--force",
                "--duration", "2"};
        } else if (command == "play") {
            arguments = {"play", recording(300), "--rate",
                         "150",  "--to",         "127.0.0.1:" + QString::number(sink.port())};
        } else {
            QCOMPARE(
                QProcess::execute(ORF_PATH, {"export", recording(20), "-o", capture, "--force", "--quiet"}),
                0);
            arguments = {"import", capture, "-o", dir.filePath("i.orf"), "--force"};
        }
        Terminal t;
        QElapsedTimer clock;
        clock.start();
        QVERIFY(t.start(arguments + output.split(' ').mid(1), dir.path(), output.startsWith("terminal")));
        if (command == "record") // a datagram every 10 ms until it ends
            QVERIFY(t.waitFor([&] { return !sendUdp(port, "fr 1\n") || t.ended(); }));
        QCOMPARE(t.finish(), 0);
        const QStringList lines = drawings(t.screen);
        QVERIFY2(lines.isEmpty() == drawn.isEmpty(), t.screen.constData());
        QVERIFY(lines.size() <= 4 * clock.elapsed() / 1000 + 1);
        for (const QString &line : lines)
            QVERIFY2(QRegularExpression(drawn).match(line).hasMatch(), qPrintable(line));
        // Erased, the summary on a clean line; nothing drawn leaves no control characters.
        if (summary.isEmpty())
            QCOMPARE(t.screen, QByteArray());
        else
            QVERIFY2(drawn.isEmpty() ? !t.screen.contains('\r') && !t.screen.contains('\033') &&
                                           t.screen.contains(summary.toLocal8Bit())
                                     : t.screen.contains("\033[K\r\033[K" + summary.toLocal8Bit()),
                     t.screen.constData());
    }

    // A bar appears once the work has taken a second, is redrawn at most four times a second and is erased
    // before the summary.
    void progressBar()
    {
        int ends[2];
        QVERIFY(::openpty(&ends[0], &ends[1], nullptr, nullptr, nullptr) == 0);
        ::fcntl(ends[0], F_SETFL, O_NONBLOCK);
        const int standardError = ::dup(STDERR_FILENO);
        ::dup2(ends[1], STDERR_FILENO);
        orf::setChatter(orf::Chatter::Usual);
        QByteArray said;
        char bytes[4096];
        QElapsedTimer clock;
        clock.start();
        {
            orf::ProgressBar bar("importing");
            const auto work = bar.callback();
            for (qint64 ms = 0; ms < 1600; ms = clock.elapsed()) { // 200 MB in 1.6 s, reported every ms
                work(ms * 125000, 200000000);
                for (ssize_t n; ms < 950 && (n = ::read(ends[0], bytes, sizeof bytes)) > 0;)
                    said.append(bytes, n);
                ::usleep(1000);
            }
            orf::say("orf: done\n");
        }
        ::dup2(standardError, STDERR_FILENO);
        ::close(standardError);
        QCOMPARE(said, QByteArray()); // nothing in the first second
        for (ssize_t n; (n = ::read(ends[0], bytes, sizeof bytes)) > 0;)
            said.append(bytes, n);
        ::close(ends[0]);
        ::close(ends[1]);
        const QStringList lines = drawings(said.replace("\r\n", "\n"));
        QVERIFY(!lines.isEmpty() && lines.size() <= 4);
        const QRegularExpression bar(
            "^importing \\[#{12,20}\\.{0,8}\\]  \\d\\d%  12[45]\\.\\d MB/s  0:0\\d left$");
        for (const QString &line : lines)
            QVERIFY2(bar.match(line).hasMatch(), qPrintable(line));
        QVERIFY2(said.endsWith("\033[K\r\033[Korf: done\n"), said.constData());
    }

    // The keys: space holds frames back (nothing made up after), the arrows move the frame numbers sent by a
    // second (100 frames without timestamps), q ends with the summary.
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
        QVERIFY(t.start({"play", recording(5000, hz), "--rate", "100", "--to",
                         "127.0.0.1:" + QString::number(sink.port())},
                        dir.path()));
        QList<qint64> got;
        QVERIFY(t.waitFor([&] { return framesAt(sink, &got) && got.size() > 20; }));
        // Paused, as its line says, nothing is sent for two more drawings of it.
        t.type(" ");
        QVERIFY(t.waitFor([&] {
            return t.screen.endsWith("\033[K") &&
                   drawings(t.screen).value(drawings(t.screen).size() - 1).startsWith("paused");
        }));
        framesAt(sink, &got);
        const qsizetype paused = got.size(), drawn = drawings(t.screen).size();
        QVERIFY(t.waitFor([&] { return drawings(t.screen).size() >= drawn + 2; }));
        QVERIFY(!framesAt(sink, &got));
        // Resumed with the next frame, and no burst of the frames a pause would have owed.
        t.type(" ");
        QVERIFY(t.waitFor([&] { return framesAt(sink, &got); }));
        QCOMPARE(got[paused], got[paused - 1] + 1);
        QVERIFY(got.size() - paused <= 5);
        for (const char *key : {"\033[C", "\033[D"}) {
            const qint64 before = got.last();
            t.type(key);
            QVERIFY(
                t.waitFor([&] { return framesAt(sink, &got) && std::abs(got.last() - before) > step / 2; }));
            const qint64 moved = (got.last() - before) * (key[2] == 'C' ? 1 : -1);
            QVERIFY2(moved >= step - 5 && moved <= step + 5, qPrintable(QString::number(moved)));
        }
        t.type("q");
        QCOMPARE(t.finish(), 0);
        QVERIFY(t.screen.contains("\r\033[Korf: sent "));
    }

    // Ctrl-Z gives the terminal back as it was, and a continue in the foreground (fg, after the shell set
    // the terminal for itself) takes the keys again: q still ends play. Here no shell waits for play's process
    // group, so Ctrl-Z does not stop it: the keys are taken again at once.
    void keysAfterStopAndContinue()
    {
        UdpSink sink;
        Terminal t;
        QVERIFY(t.start({"play", recording(5000), "--rate", "100", "--to", "127.0.0.1:" + QString::number(sink.port())},
                        dir.path()));
        const auto keysTaken = [&] {
            termios now{};
            return ::tcgetattr(t.slave, &now) == 0 && !(now.c_lflag & ECHO);
        };
        QVERIFY(t.waitFor([&] { return keysTaken() && !sink.drain().isEmpty(); }));
        t.type("\032");
        QVERIFY(t.waitFor([&] { return keysTaken() && !sink.drain().isEmpty(); }));
        QVERIFY(::tcsetattr(t.slave, TCSANOW, &t.before) == 0 && !keysTaken());
        ::kill(t.pid, SIGCONT);
        QVERIFY(t.waitFor(keysTaken));
        t.type("q");
        QCOMPARE(t.finish(), 0);
    }

    // The terminal is as it was however play ends: its end, q, Ctrl-C, SIGTERM, SIGHUP.
    void terminalPutBack()
    {
        for (const QByteArray way : {"end", "q", "\003", "SIGTERM", "SIGHUP"}) {
            UdpSink sink;
            Terminal t;
            QVERIFY(t.start({"play", recording(way == "end" ? 100 : 5000), "--rate", "100", "--to",
                             "127.0.0.1:" + QString::number(sink.port())},
                            dir.path()));
            QVERIFY(t.waitFor([&] {
                termios now{};
                return ::tcgetattr(t.slave, &now) == 0 && !(now.c_lflag & ECHO) && !sink.drain().isEmpty();
            }));
            if (way.startsWith("SIG"))
                ::kill(t.pid, way == "SIGTERM" ? SIGTERM : SIGHUP);
            else if (way != "end")
                t.type(way);
            QCOMPARE(t.finish(), 0);
            termios after{};
            QVERIFY(::tcgetattr(t.slave, &after) == 0);
            QVERIFY2(after.c_lflag == t.before.c_lflag && after.c_iflag == t.before.c_iflag &&
                         after.c_oflag == t.before.c_oflag &&
                         std::equal(after.c_cc, after.c_cc + NCCS, t.before.c_cc),
                     way.constData());
            QVERIFY(t.screen.contains("orf: sent "));
        }
    }
};

OSTREL_TEST_MAIN_WITH(QCoreApplication, TestOrfTerminal)
#include "tst_orf_terminal.moc"

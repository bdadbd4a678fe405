// What the window's D-Bus interface costs while it records 100,000 datagrams a second: the receiving
// thread's CPU time per datagram, the window thread's and the whole program's share of a core, for the window
// without the interface (the reference), with it registered and nobody listening, and with a script watching
// its PropertiesChanged (`gdbus monitor`, a process of its own), taking turns. Also how many
// PropertiesChanged the watcher saw a second (at most ten). Runs on a session bus of its own
// (dbus-run-session) unless one is given.
//
//   bench_dbus [--seconds S] [--rate R] [--rounds K]     (S = 4 a run, R = 100,000, K = 2)
#include "app/dbus_control.h"
#include "app/ostrel_recorder.h"
#include "bench_support.h"
#include "test_support.h"

#include <QAction>
#include <QApplication>
#include <QProcess>

#include <arpa/inet.h>
#include <atomic>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace ostrel_test;

namespace {

// Sends rate datagrams a second of about 90 bytes, numbered as frames, to the port for seconds.
long sendStream(quint16 port, double rate, double seconds)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const long total = long(rate * seconds);
    const long long start = bench::monotonicNs();
    long n = 0;
    while (n < total) {
        const long due = std::min(total, long(double(bench::monotonicNs() - start) * rate / 1e9) + 1);
        for (; n < due; ++n) {
            const QByteArray d =
                "fr " + QByteArray::number(qint64(n + 1)) + "\nvalue 1.25 2.5 " + QByteArray(64, 'v') + "\n";
            ::sendto(fd, d.constData(), size_t(d.size()), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    ::close(fd);
    return total;
}

long long processCpuNs()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

struct Run
{
    double usPerDatagram = 0; // receiving thread
    double windowShare = 0;   // window thread, share of one core
    double programShare = 0;  // every thread but the sender's (the D-Bus connection's too)
    long sent = 0;
    qint64 received = 0;
    double signalsPerSecond = -1; // as the watcher saw them
};

enum class Mode
{
    NoInterface,
    Registered,
    Watched
};

Run record(Mode mode, quint16 port, double rate, double seconds)
{
    Ostrel_recorder window(sandboxHome() + "/.NUV/Ostrel_Recorder");
    if (mode != Mode::NoInterface && !(new DbusControl(&window))->registerOnSessionBus())
        qFatal("org.nuv.OstrelRecorder is taken on this session bus");
    QProcess watcher; // its output goes to a file: reading it would cost this program's window thread
    const QString seen = QDir::tempPath() + "/bench_dbus_monitor.txt";
    if (mode == Mode::Watched) {
        watcher.setStandardOutputFile(seen);
        watcher.start("gdbus", {"monitor", "--session", "--dest", DbusControl::kService});
        bench::runEventsUntil([&] { return readFile(seen).contains("is owned by"); }, 5000);
    }
    window.findChild<QAction *>("actionRecord")->trigger();
    int tid = 0;
    bench::runEventsUntil([&] { return (tid = bench::findTask("Ostrel_Recorder")) != 0; }, 2000);
    Run r;
    const int guiTid = bench::currentTid();
    const long long cpu0 = bench::threadCpuNs(tid), gui0 = bench::threadCpuNs(guiTid),
                    t0 = bench::monotonicNs();
    const long long all0 = processCpuNs();
    std::atomic<bool> done{false};
    std::atomic<long long> senderNs{0};
    std::thread sender([&] {
        const long long own0 = bench::threadCpuNs(bench::currentTid());
        r.sent = sendStream(port, rate, seconds);
        senderNs = bench::threadCpuNs(bench::currentTid()) - own0;
        done = true;
    });
    bench::runEventsUntil([&] { return done.load(); }, int(seconds * 1000) + 10000);
    sender.join();
    bench::runEventsFor(300); // the last reports
    const long long t1 = bench::monotonicNs();
    r.usPerDatagram = double(bench::threadCpuNs(tid) - cpu0) / 1e3 / double(r.sent);
    r.windowShare = double(bench::threadCpuNs(guiTid) - gui0) / double(t1 - t0);
    r.programShare = double(processCpuNs() - all0 - senderNs) / double(t1 - t0);
    r.received = window.receivedDatagrams();
    window.setAskToSaveAtStop(false);
    window.findChild<QAction *>("actionStop")->trigger();
    if (mode == Mode::Watched) {
        bench::runEventsFor(300);
        watcher.terminate();
        watcher.waitForFinished(2000);
        r.signalsPerSecond = double(readFile(seen).count("PropertiesChanged")) / (double(t1 - t0) / 1e9);
        QFile::remove(seen);
    }
    QFile::remove(QDir::tempPath() + "/ostrel_recorder_temp.orf");
    return r;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS") &&
        !qEnvironmentVariableIsSet("OSTREL_BENCH_BUS")) {
        // A session bus of its own, as the tests have.
        qputenv("OSTREL_BENCH_BUS", "1");
        std::vector<char *> args{const_cast<char *>("dbus-run-session"), const_cast<char *>("--")};
        args.insert(args.end(), argv, argv + argc);
        args.push_back(nullptr);
        ::execvp("dbus-run-session", args.data());
        std::perror("bench_dbus: dbus-run-session (Debian: dbus)");
        return 1;
    }
    double seconds = 4, rate = 100000;
    int rounds = 2;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--seconds"))
            seconds = std::atof(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--rate"))
            rate = std::atof(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--rounds"))
            rounds = std::atoi(argv[i + 1]);
    }
    Sandbox sandbox;
    bench::prepareHeadlessWindow();
    const quint16 port = freeUdpPort();
    writeHomeSettings(defaultSettingsXml(port));
    QApplication app(argc, argv);
    ModalAnswerer answerer;
    bench::printLoad("start");
    std::printf("recording %.0f datagrams/s of about 90 bytes for %.0f s a run, %d rounds\n\n", rate, seconds,
                rounds);
    std::printf("| window | receiving thread µs/datagram | window thread, share of a core | program less the "
                "sender | received/sent | PropertiesChanged/s |\n|---|---|---|---|---|---|\n");
    const char *names[] = {"without D-Bus (reference)", "D-Bus, nobody listening",
                           "D-Bus, gdbus monitor watching"};
    for (int round = 0; round < rounds; ++round)
        for (const Mode mode : {Mode::NoInterface, Mode::Registered, Mode::Watched}) {
            const Run r = record(mode, port, rate, seconds);
            std::printf(
                "| %s | %.3f | %.1f %% | %.1f %% | %lld/%ld | %s |\n", names[int(mode)], r.usPerDatagram,
                100 * r.windowShare, 100 * r.programShare, (long long)r.received, r.sent,
                r.signalsPerSecond < 0 ? "–" : qPrintable(QString::number(r.signalsPerSecond, 'f', 1)));
            std::fflush(stdout);
        }
    bench::printLoad("end");
    return 0;
}

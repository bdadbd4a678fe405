// The receiving path under load: the real window records a paced stream of 1,000-byte datagrams sent over
// loopback by a thread of this program, while this thread runs the event loop (so every datagram's status
// report is handled as in the program); Stop saves the recording through the save dialog. Reported per run:
// datagrams sent, reported to the window (its counts in the status bar) and found in the saved file, whether the file
// is byte-identical to what was sent, the receiving thread's CPU time, and the drops the kernel counted
// (for the socket, system-wide RcvbufErrors, and the input backlog). The reference, measured in the same
// run with the same sender, is a plain thread that receives in a tight loop and writes to a FILE*.
//
//   bench_receive [--quick] [--count N] [--rate R] [--repeat K] [--ladder R1,R2,...] [--preview S] [--temp]
//                 [--rcvbuf BYTES] [--group]
//
// Runs: N datagrams (200,000) at R per second (20,000), K times (1); the same as fast as the sender can go;
// then the rates of the ladder (40k ... 200k), window and plain loop taking turns at each rate, each until it
// loses a datagram; then the receiving thread's CPU use during S seconds (3) of preview without traffic; last
// a summary of the figures the receiving path is held to, each next to the plain loop's. First it shows how
// many datagrams a socket queue holds with the receive buffer the record socket asks for and with others.
// --quick scales it all down for a smoke run. --temp checks the flushed temporary file and cancels the save
// dialog instead of saving. --rcvbuf sets both receivers' SO_RCVBUF to BYTES after they open, as the cap of
// a machine whose net.core.rmem_max is BYTES would. --group adds, after each window run of the paced runs and
// the ladder, a window run that records the same stream sent to a multicast group (joined on lo). A timing
// never makes the program fail; it fails only if it cannot run.
#include "bench_support.h"
#include "app/ostrel_recorder.h"
#include "test_support.h"
#include "window_test.h"

#include <QApplication>
#include <QFile>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <sys/prctl.h>
#include <thread>
#include <vector>

using namespace ostrel_test;

namespace {

constexpr int kDatagramBytes = 1000;
// What the window asks for its record socket; the reference asks for the same.
constexpr int kReceiveBufferRequest = 8 * 1024 * 1024;

// Datagrams "fr N\n" + printable filler (no 'f', so no other frame-counter line) + "\n", each unique.
class Datagrams
{
public:
    Datagrams()
    {
        const char chars[] = "0123456789 .-+e";
        unsigned seed = 2024;
        for (int i = 0; i < 4096; ++i) {
            seed = seed * 1103515245u + 12345u;
            pattern.push_back(i % 64 == 63 ? '\n' : chars[(seed >> 16) % (sizeof chars - 1)]);
        }
    }

    void make(long n, char *out) const
    {
        const int header = std::snprintf(out, 32, "fr %ld\n", n);
        const size_t shift = size_t(n) * 13u;
        for (int i = header; i < kDatagramBytes - 1; ++i)
            out[i] = pattern[(size_t(i) + shift) % pattern.size()];
        out[kDatagramBytes - 1] = '\n';
    }

private:
    std::string pattern;
};

struct SendStats
{
    long sent = 0;
    long errors = 0;
    double seconds = 0;
};

// Sends count datagrams to address:port (127.0.0.1, or a group by lo), datagram k due at start + k / rate
// (rate 0: as fast as possible). A sender that falls behind sends the overdue datagrams back to back before
// it sleeps again.
SendStats sendStream(quint16 port, long count, double rate, const Datagrams &datagrams,
                     quint32 address = INADDR_LOOPBACK)
{
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0); // the pacing sleeps, not the timer slack, set the intervals
    SendStats stats;
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(address);
    to.sin_port = htons(port);
    const in_addr loopback{htonl(INADDR_LOOPBACK)};
    ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &loopback, sizeof loopback);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
        stats.errors = count;
        return stats;
    }
    char buffer[kDatagramBytes];
    const long long start = bench::monotonicNs() + (rate > 0 ? 10000000 : 0); // 10 ms to settle
    long long now = 0;
    for (long k = 0; k < count; ++k) {
        if (rate > 0) {
            const long long due = start + (long long)(double(k) * 1e9 / rate);
            if (due > now) {
                timespec ts{time_t(due / 1000000000LL), long(due % 1000000000LL)};
                while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
                }
                now = bench::monotonicNs();
            }
        }
        datagrams.make(k, buffer);
        if (::send(fd, buffer, sizeof buffer, 0) == ssize_t(sizeof buffer))
            ++stats.sent;
        else
            ++stats.errors;
    }
    stats.seconds = (bench::monotonicNs() - start) / 1e9; // from the first due time to the last send
    ::close(fd);
    return stats;
}

// How many datagrams a socket's queue holds while nobody reads it. option: SO_RCVBUF or SO_RCVBUFFORCE
// (which passes over net.core.rmem_max, for a privileged process); request 0 leaves the default.
long queueCapacity(int option, int request, int *effective)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    *effective = -1;
    if (request > 0 && ::setsockopt(fd, SOL_SOCKET, option, &request, sizeof request) != 0) {
        ::close(fd);
        return -1;
    }
    *effective = bench::receiveBufferBytes(fd);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    const int out = ::socket(AF_INET, SOCK_DGRAM, 0);
    char datagram[kDatagramBytes];
    std::memset(datagram, 'x', sizeof datagram);
    for (int i = 0; i < 40000; ++i)
        ::sendto(out, datagram, sizeof datagram, 0, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    long held = 0;
    while (::recv(fd, datagram, sizeof datagram, MSG_DONTWAIT) > 0)
        ++held;
    ::close(out);
    ::close(fd);
    return held;
}

void printQueueCapacities(double rate)
{
    struct Case
    {
        const char *what;
        int option;
        int request;
    };
    const Case cases[] = {
        {"no request (net.core.rmem_default)", SO_RCVBUF, 0},
        {"SO_RCVBUF 212992 (what a stock net.core.rmem_max of 212992 lets through)", SO_RCVBUF, 212992},
        {"SO_RCVBUF 8 MiB (the record socket's request)", SO_RCVBUF, kReceiveBufferRequest},
        {"SO_RCVBUFFORCE 8 MiB (privileged)", SO_RCVBUFFORCE, kReceiveBufferRequest},
    };
    std::printf("| receive buffer | SO_RCVBUF read back | %d-byte datagrams held | ms bridged at %.0f/s |\n"
                "|---|---|---|---|\n",
                kDatagramBytes, rate);
    for (const Case &c : cases) {
        int effective = -1;
        const long held = queueCapacity(c.option, c.request, &effective);
        if (held < 0)
            std::printf("| %s | refused | - | - |\n", c.what);
        else
            std::printf("| %s | %d | %ld | %.0f |\n", c.what, effective, held, 1000.0 * held / rate);
    }
    std::fflush(stdout);
}

struct FileCheck
{
    long long bytes = -1;
    long frames = 0;      // whole datagrams, each exactly as sent
    long firstWrong = -1; // position of the first datagram that is not the one sent at that place
    bool identical = false;
};

// The file must be the datagrams 0 .. sent-1 in order, nothing else.
FileCheck checkFile(const QString &path, long sent, const Datagrams &datagrams)
{
    FileCheck check;
    std::FILE *f = std::fopen(QFile::encodeName(path).constData(), "rb");
    if (!f)
        return check;
    std::vector<char> chunk(kDatagramBytes), expected(kDatagramBytes);
    check.bytes = 0;
    bool inPlace = true;
    size_t got;
    long position = 0;
    while ((got = std::fread(chunk.data(), 1, chunk.size(), f)) > 0) {
        check.bytes += (long long)got;
        long n = -1;
        if (got == chunk.size() && std::sscanf(chunk.data(), "fr %ld\n", &n) == 1 && n >= 0) {
            datagrams.make(n, expected.data());
            if (std::equal(chunk.begin(), chunk.end(), expected.begin()))
                ++check.frames;
            else
                n = -1;
        }
        if (n != position && check.firstWrong < 0)
            check.firstWrong = position;
        inPlace = inPlace && n == position;
        ++position;
    }
    std::fclose(f);
    check.identical = inPlace && check.bytes == (long long)sent * kDatagramBytes;
    return check;
}

struct Run
{
    const char *receiver = "";
    double rate = 0;
    SendStats send;
    long received = -1;
    FileCheck file;
    long long socketDrops = -1;
    long long rcvbufErrors = -1;
    long long backlogDrops = -1;
    double threadCpuMs = -1;
    double guiCpuMs = -1;
    double stopSeconds = -1;
    double activeSeconds = 0; // from the first send to the last datagram taken in
    int receiveBuffer = -1;
    QString note;

    bool lossless() const { return send.errors == 0 && file.identical && received == send.sent; }
    double cpuPerDatagramUs() const { return received > 0 ? threadCpuMs * 1000.0 / double(received) : 0; }
    // The window's thread over the time datagrams came in, as a share of one core.
    double guiShare() const { return activeSeconds > 0 ? 100.0 * guiCpuMs / 1000.0 / activeSeconds : 0; }
};

void printHeader()
{
    std::printf("| receiver | SO_RCVBUF | rate/s asked | sent | sent/s | received | in file | file bytes / "
                "sent | identical "
                "| socket drops | RcvbufErrors (system) | backlog drops | thread CPU ms | CPU %% of a core "
                "while receiving "
                "| CPU µs/datagram | GUI CPU ms | GUI CPU %% of a core | Stop s |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|\n");
}

void printRun(const Run &r)
{
    const double perCore = r.activeSeconds > 0 ? 100.0 * r.threadCpuMs / 1000.0 / r.activeSeconds : 0;
    const double perDatagram = r.received > 0 ? r.threadCpuMs * 1000.0 / double(r.received) : 0;
    char rate[32];
    if (r.rate > 0)
        std::snprintf(rate, sizeof rate, "%.0f", r.rate);
    else
        std::snprintf(rate, sizeof rate, "max");
    char stop[32] = "-";
    if (r.stopSeconds >= 0)
        std::snprintf(stop, sizeof stop, "%.2f", r.stopSeconds);
    char gui[32] = "-", guiShare[32] = "-";
    if (r.guiCpuMs >= 0) {
        std::snprintf(gui, sizeof gui, "%.0f", r.guiCpuMs);
        std::snprintf(guiShare, sizeof guiShare, "%.1f", r.guiShare());
    }
    std::printf("| %s | %d | %s | %ld | %.0f | %ld | %ld | %lld / %lld | %s | %lld | %lld | %lld | %.0f | "
                "%.1f | %.2f | %s | %s "
                "| %s |\n",
                r.receiver, r.receiveBuffer, rate, r.send.sent,
                r.send.seconds > 0 ? r.send.sent / r.send.seconds : 0, r.received, r.file.frames,
                r.file.bytes, (long long)r.send.sent * kDatagramBytes, r.file.identical ? "yes" : "NO",
                r.socketDrops, r.rcvbufErrors, r.backlogDrops, r.threadCpuMs, perCore, perDatagram, gui,
                guiShare, stop);
    if (!r.note.isEmpty())
        std::printf("|   note: %s |\n", qPrintable(r.note));
    std::fflush(stdout);
}

class Bench
{
public:
    // receiveBuffer: a size both receivers' sockets get instead of what they ask for (0: none), to see how
    // a machine with a lower net.core.rmem_max fares.
    Bench(quint16 port, bool save, int receiveBuffer) : port(port), save(save), bufferOverride(receiveBuffer)
    {
        newWindow(QString());
    }

    // The window records the stream (sent to group, when not 0); Stop saves it through the dialog (or,
    // without save, the flushed temporary file is checked and the dialog cancelled).
    Run windowRun(long count, double rate, quint32 group = 0)
    {
        Run r;
        r.receiver = group ? "window, group" : "window";
        r.rate = rate;
        newWindow(group ? QString("%1.%2.%3.%4")
                              .arg(group >> 24)
                              .arg(group >> 16 & 255)
                              .arg(group >> 8 & 255)
                              .arg(group & 255)
                        : QString());
        const long long rcvbuf0 = bench::udpRcvbufErrors(), backlog0 = bench::backlogDrops();
        answerer.clear();
        window->on_actionRecord_triggered();
        if (windowMode(*window) != 2) {
            r.note = "Record did not start: " + answerer.messageTexts().join(" / ");
            return r;
        }
        int tid = 0;
        bench::runEventsUntil([&] { return (tid = bench::findTask("Ostrel_Recorder")) != 0; }, 2000);
        const int fd = ostrel_test::udpSocketOnPort(port);
        if (bufferOverride > 0)
            ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bufferOverride, sizeof bufferOverride);
        r.receiveBuffer = bench::receiveBufferBytes(fd);
        const long long drops0 = bench::socketDrops(port);
        const long long cpu0 = tid ? bench::threadCpuNs(tid) : -1;
        const int guiTid = bench::currentTid();
        const long long gui0 = bench::threadCpuNs(guiTid);

        std::atomic<bool> sent{false};
        const long long start = bench::monotonicNs();
        std::thread sender([&] {
            r.send = sendStream(port, count, rate, datagrams, group ? group : INADDR_LOOPBACK);
            sent = true;
        });
        bench::runEventsUntil([&] { return sent.load(); }, 24 * 3600 * 1000);
        sender.join();
        r.activeSeconds =
            (waitForProgressToEnd([&] { return long(datagramsCounted(*window)); }, r.send.sent) - start) /
            1e9;

        const long long cpu1 = tid ? bench::threadCpuNs(tid) : -1;
        r.threadCpuMs = cpu0 >= 0 && cpu1 >= 0 ? (cpu1 - cpu0) / 1e6 : -1;
        r.guiCpuMs = (bench::threadCpuNs(guiTid) - gui0) / 1e6;
        r.socketDrops = drops0 >= 0 ? bench::socketDrops(port) - drops0 : -1;
        r.received = datagramsCounted(*window);

        const QString path = sandboxHome() + QString("/bench_%1.orf").arg(++saved);
        if (save) {
            answerer.queueFile(path);
        } else {
            std::fflush(nullptr); // every stream, the receiving thread's too; stdio locks it
            r.file = checkFile(QDir::tempPath() + "/ostrel_recorder_temp.orf", r.send.sent, datagrams);
            answerer.queueFile("");
        }
        const long long stop0 = bench::monotonicNs();
        window->on_actionStop_triggered();
        r.stopSeconds = (bench::monotonicNs() - stop0) / 1e9;
        if (save) {
            r.file = checkFile(path, r.send.sent, datagrams);
            QFile::remove(path);
        }
        r.rcvbufErrors = bench::udpRcvbufErrors() - rcvbuf0;
        r.backlogDrops = bench::backlogDrops() - backlog0;
        if (!tid)
            r.note += "receiving thread not found by name; ";
        if (!answerer.messageTexts().isEmpty())
            r.note += "messages: " + answerer.messageTexts().join(" / ").left(200);
        return r;
    }

    // The same stream into a thread that does nothing but receive and write.
    Run plainRun(long count, double rate)
    {
        Run r;
        r.receiver = "plain";
        r.rate = rate;
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        int request = bufferOverride > 0 ? bufferOverride : kReceiveBufferRequest;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &request, sizeof request);
        timeval timeout{0, 50000};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
            ::close(fd);
            r.note = "cannot bind the plain receiver";
            return r;
        }
        const quint16 plainPort = ntohs(addr.sin_port);
        r.receiveBuffer = bench::receiveBufferBytes(fd);
        const QString path = sandboxHome() + "/plain.bin";
        std::FILE *out = std::fopen(QFile::encodeName(path).constData(), "wb");
        const long long rcvbuf0 = bench::udpRcvbufErrors(), backlog0 = bench::backlogDrops();
        const long long drops0 = bench::socketDrops(plainPort);

        std::atomic<bool> stop{false};
        std::atomic<long> received{0};
        std::atomic<int> tid{0};
        std::thread receiver([&] {
            tid = bench::currentTid();
            std::vector<char> buffer(200000);
            while (!stop.load()) {
                const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
                if (n > 0) {
                    std::fwrite(buffer.data(), size_t(n), 1, out);
                    received.fetch_add(1);
                }
            }
        });
        while (!tid.load())
            std::this_thread::yield();
        const long long cpu0 = bench::threadCpuNs(tid);
        const long long start = bench::monotonicNs();
        r.send = sendStream(plainPort, count, rate, datagrams);
        r.activeSeconds = (waitForProgressToEnd([&] { return received.load(); }, r.send.sent) - start) / 1e9;
        const long long cpu1 = bench::threadCpuNs(tid);
        r.threadCpuMs = (cpu1 - cpu0) / 1e6;
        r.socketDrops = drops0 >= 0 ? bench::socketDrops(plainPort) - drops0 : -1;
        stop = true;
        receiver.join();
        ::close(fd);
        std::fclose(out);
        r.received = received.load();
        r.file = checkFile(path, r.send.sent, datagrams);
        QFile::remove(path);
        r.rcvbufErrors = bench::udpRcvbufErrors() - rcvbuf0;
        r.backlogDrops = bench::backlogDrops() - backlog0;
        return r;
    }

    struct Idle
    {
        double cpuPercent = -1, wakeups = -1, refCpuPercent = -1, refWakeups = -1;
    };
    // CPU use of the receiving thread while a preview waits for datagrams that do not come.
    Idle idlePreview(double seconds)
    {
        Idle idle;
        window->on_actionPreview_triggered();
        int tid = 0;
        bench::runEventsUntil([&] { return (tid = bench::findTask("Ostrel_Recorder")) != 0; }, 2000);
        if (!tid || windowMode(*window) != 4) {
            std::printf("preview: receiving thread not found (mode %d)\n", windowMode(*window));
            window->on_actionStop_triggered();
            return idle;
        }
        bench::runEventsFor(100);
        const long long cpu0 = bench::threadCpuNs(tid), sw0 = bench::voluntarySwitches(tid);
        const long long t0 = bench::monotonicNs();
        bench::runEventsFor(int(seconds * 1000));
        const long long cpu1 = bench::threadCpuNs(tid), sw1 = bench::voluntarySwitches(tid);
        const double wall = (bench::monotonicNs() - t0) / 1e9;
        window->on_actionStop_triggered();

        // Reference: a thread blocked in recv with a 50 ms time-out, the way a receiver can wait.
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        timeval timeout{0, 50000};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        std::atomic<bool> stop{false};
        std::atomic<int> refTid{0};
        std::thread waiter([&] {
            refTid = bench::currentTid();
            char buffer[2048];
            while (!stop.load())
                ::recv(fd, buffer, sizeof buffer, 0);
        });
        while (!refTid.load())
            std::this_thread::yield();
        const long long rc0 = bench::threadCpuNs(refTid), rs0 = bench::voluntarySwitches(refTid);
        const long long rt0 = bench::monotonicNs();
        std::this_thread::sleep_for(std::chrono::milliseconds(int(seconds * 1000)));
        const long long rc1 = bench::threadCpuNs(refTid), rs1 = bench::voluntarySwitches(refTid);
        const double refWall = (bench::monotonicNs() - rt0) / 1e9;
        stop = true;
        waiter.join();
        ::close(fd);

        std::printf(
            "| waiting thread | seconds | CPU ms | CPU %% of a core | wake-ups/s |\n|---|---|---|---|---|\n");
        std::printf("| window preview, no traffic | %.2f | %.1f | %.2f | %.0f |\n", wall, (cpu1 - cpu0) / 1e6,
                    100.0 * (cpu1 - cpu0) / 1e9 / wall, (sw1 - sw0) / wall);
        std::printf("| plain recv, 50 ms time-out | %.2f | %.1f | %.2f | %.0f |\n", refWall,
                    (rc1 - rc0) / 1e6, 100.0 * (rc1 - rc0) / 1e9 / refWall, (rs1 - rs0) / refWall);
        std::fflush(stdout);
        idle.cpuPercent = 100.0 * (cpu1 - cpu0) / 1e9 / wall;
        idle.wakeups = (sw1 - sw0) / wall;
        idle.refCpuPercent = 100.0 * (rc1 - rc0) / 1e9 / refWall;
        idle.refWakeups = (rs1 - rs0) / refWall;
        return idle;
    }

    int recordReceiveBuffer()
    {
        window->on_actionPreview_triggered();
        const int size = bench::receiveBufferBytes(ostrel_test::udpSocketOnPort(port));
        window->on_actionStop_triggered();
        return size;
    }

private:
    // Waits until progress() reaches target, or has not moved for half a second. Returns when it last moved.
    long long waitForProgressToEnd(const std::function<long()> &progress, long target)
    {
        long last = -1;
        long long lastChange = bench::monotonicNs();
        bench::runEventsUntil(
            [&] {
                const long now = progress();
                if (now != last) {
                    last = now;
                    lastChange = bench::monotonicNs();
                }
                return now >= target || bench::monotonicNs() - lastChange > 500000000LL;
            },
            24 * 3600 * 1000);
        return lastChange;
    }

    quint16 port;
    bool save;
    int bufferOverride;
    int saved = 0;
    Datagrams datagrams;
    ModalAnswerer answerer;
    std::unique_ptr<Ostrel_recorder> window;

    // A window that records from the group (none: unicast) on lo, as its settings file says.
    void newWindow(const QString &group)
    {
        window.reset();
        SettingsFile::SettingsTexts texts = SettingsFile::defaultTexts();
        texts.text(SettingsFile::Setting::RecordPort) = QString::number(port);
        texts.text(SettingsFile::Setting::RecordGroup) = group;
        texts.text(SettingsFile::Setting::RecordInterface) = "lo";
        SettingsFile::write(sandboxHome() + "/.NUV/Ostrel_Recorder", texts);
        window.reset(new Ostrel_recorder(sandboxHome() + "/.NUV/Ostrel_Recorder"));
    }
};

std::vector<double> parseRates(const char *text)
{
    std::vector<double> rates;
    for (const QString &part : QString::fromLatin1(text).split(',', Qt::SkipEmptyParts))
        rates.push_back(part.toDouble());
    return rates;
}

} // namespace

int main(int argc, char **argv)
{
    long count = 200000;
    double rate = 20000;
    int repeat = 1;
    double previewSeconds = 3;
    bool save = true;
    int receiveBuffer = 0;
    quint32 group = 0;
    std::vector<double> ladder{40000, 60000, 80000, 100000, 140000, 200000};
    long ladderCount = 200000;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--quick") {
            count = 500;
            ladderCount = 2000;
            ladder = {40000};
            previewSeconds = 0.5;
        } else if (arg == "--count" && hasValue) {
            count = ladderCount = std::atol(argv[++i]);
        } else if (arg == "--rate" && hasValue) {
            rate = std::atof(argv[++i]);
        } else if (arg == "--repeat" && hasValue) {
            repeat = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--ladder" && hasValue) {
            ladder = parseRates(argv[++i]);
        } else if (arg == "--preview" && hasValue) {
            previewSeconds = std::atof(argv[++i]);
        } else if (arg == "--rcvbuf" && hasValue) {
            receiveBuffer = std::atoi(argv[++i]);
        } else if (arg == "--temp") {
            save = false;
        } else if (arg == "--group") {
            group = 0xEFFF0000u | quint32(getpid() & 0xFFFF); // 239.255.x.y, apart from a parallel run's
        } else {
            std::fprintf(
                stderr,
                "usage: bench_receive [--quick] [--count N] [--rate R] [--repeat K] [--ladder R1,R2,...] "
                "[--preview S] [--temp] [--rcvbuf BYTES] [--group]\n");
            return 2;
        }
    }

    bench::prepareHeadlessWindow();
    Sandbox sandbox;
    QApplication app(argc, argv);
    const quint16 port = ostrel_test::freeUdpPort();
    writeHomeSettings(defaultSettingsXml(port));
    Bench bench(port, save, receiveBuffer);

    std::printf("# bench_receive: %d-byte datagrams over loopback, record port %u, %s\n", kDatagramBytes,
                unsigned(port),
                save ? "Stop saves through the dialog" : "temporary file checked after a flush");
    std::ifstream rmemMax("/proc/sys/net/core/rmem_max");
    long rmem = 0;
    rmemMax >> rmem;
    std::printf("receive buffer: asked %d bytes, net.core.rmem_max %ld, the record socket has SO_RCVBUF %d "
                "(the kernel doubles the request for its bookkeeping)\n",
                kReceiveBufferRequest, rmem, bench.recordReceiveBuffer());
    if (receiveBuffer > 0)
        std::printf("both receivers' sockets are set to SO_RCVBUF %d after they open\n", receiveBuffer);
    bench::printLoad("start");
    std::printf("\n## socket queue of a receiver that does not read\n\n");
    printQueueCapacities(rate);

    std::printf("\n## %ld datagrams at %.0f/s\n\n", count, rate);
    printHeader();
    std::vector<Run> pacedWindow, pacedPlain;
    for (int i = 0; i < repeat; ++i) {
        pacedWindow.push_back(bench.windowRun(count, rate));
        printRun(pacedWindow.back());
        if (group)
            printRun(bench.windowRun(count, rate, group));
        pacedPlain.push_back(bench.plainRun(count, rate));
        printRun(pacedPlain.back());
    }
    bench::printLoad("after the paced runs");

    std::printf("\n## %ld datagrams as fast as the sender can go\n\n", count);
    printHeader();
    const Run fastWindow = bench.windowRun(count, 0);
    printRun(fastWindow);
    const Run fastPlain = bench.plainRun(count, 0);
    printRun(fastPlain);
    bench::printLoad("after the fast runs");

    double best[3] = {0, 0, 0};
    if (!ladder.empty()) {
        std::printf("\n## highest lossless rate, %ld datagrams a run\n\n", ladderCount);
        printHeader();
        bool going[3] = {true, true, group != 0};
        bool senderLimited[3] = {false, false, false};
        // Window and plain loop take turns at each rate, so both meet the same load from the rest of the
        // machine; each goes up until it loses a datagram or the sender can no longer keep the rate.
        for (double r : ladder) {
            for (int which = 0; which < 3; ++which) {
                if (!going[which])
                    continue;
                const Run run = which == 1 ? bench.plainRun(ladderCount, r)
                                           : bench.windowRun(ladderCount, r, which == 2 ? group : 0);
                printRun(run);
                going[which] = run.lossless();
                if (!going[which])
                    continue;
                const double achieved = run.send.seconds > 0 ? run.send.sent / run.send.seconds : r;
                best[which] = std::min(r, achieved);
                if (achieved < 0.95 * r) {
                    senderLimited[which] = true;
                    going[which] = false;
                }
            }
        }
        auto describe = [&](int which) {
            return senderLimited[which] ? " (as fast as the sender went)" : "";
        };
        std::printf("\nhighest lossless rate: window %.0f/s%s, plain %.0f/s%s\n", best[0], describe(0),
                    best[1], describe(1));
        if (group)
            std::printf("highest lossless rate from a group: window %.0f/s%s\n", best[2], describe(2));
        bench::printLoad("after the search");
    }

    std::printf("\n## receiving thread while a preview waits, %.1f s\n\n", previewSeconds);
    const Bench::Idle idle = bench.idlePreview(previewSeconds);

    // The figures the receiving path is held to, each against the plain loop of the same run.
    auto mean = [](const std::vector<Run> &runs, double (Run::*figure)() const) {
        double sum = 0;
        for (const Run &r : runs)
            sum += (r.*figure)();
        return runs.empty() ? 0 : sum / double(runs.size());
    };
    const double windowUs = mean(pacedWindow, &Run::cpuPerDatagramUs),
                 plainUs = mean(pacedPlain, &Run::cpuPerDatagramUs);
    std::printf("\n## summary\n\n| figure | window | plain loop | ratio | target |\n|---|---|---|---|---|\n");
    std::printf("| receiving thread CPU per datagram at %.0f/s | %.2f µs | %.2f µs | %.2f× | ≤ 1.5× |\n",
                rate, windowUs, plainUs, plainUs > 0 ? windowUs / plainUs : 0);
    if (!ladder.empty())
        std::printf("| highest lossless rate | %.0f/s | %.0f/s | %.2f× | ≥ 0.9× |\n", best[0], best[1],
                    best[1] > 0 ? best[0] / best[1] : 0);
    std::printf("| idle preview: CPU | %.2f %% of a core | %.2f %% (recv, 50 ms time-out) | | ≤ 1 %% |\n",
                idle.cpuPercent, idle.refCpuPercent);
    std::printf("| idle preview: wake-ups | %.0f/s | %.0f/s | | ≤ 50/s |\n", idle.wakeups, idle.refWakeups);
    std::printf("| GUI thread CPU at %.0f/s | %.1f %% of a core | | | ≤ 5 %% |\n", rate,
                mean(pacedWindow, &Run::guiShare));
    bench::printLoad("end");
    return 0;
}

// Playback at the recorded times. A generated recording of frames of about 300 bytes at 1 kHz, each
// timestamp off its nominal time by up to ±0.3 ms, with a gap of 50 ms after every 1,000th frame, is played
// by the playback engine with recorded timing to a loopback receiver. At the same time, so both meet the same
// load, the reference, a plain thread, sends the same datagrams to a second receiver, each after a
// clock_nanosleep(TIMER_ABSTIME) to its recorded time (its schedule starts half a millisecond after the
// engine's, so the two do not wake at the same instants).
//
// Each receiver notes the kernel's time of every datagram (SO_TIMESTAMPNS, taken onto CLOCK_MONOTONIC). A
// frame's deadline is the sender's start plus its timestamp less the first one's; as the engine's start is
// not seen from outside, each sender's start is taken as the latest that leaves no frame early, for both
// alike. Printed per sender: frames received, lateness p50, p99 and maximum, frames more than 1 ms late, and
// the last frame's lateness (a schedule that drifts would show there); then the engine's own self-check and
// the verdicts (p99 at most 1.5 times the reference's, the last frame within 1 ms). A timing never makes
// the program fail.
//
//   bench_recorded_timing [--frames N] [--quick]   (100,000 frames, about 105 s; --quick: 10,000)
#include "ap/ap_socket.h"
#include "bench_support.h"
#include "recording/frame_scanner.h"
#include "play/playback_engine.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <netinet/in.h>
#include <random>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr long long kPeriodNs = 1000000;
constexpr long long kJitterNs = 300000;
constexpr long long kGapNs = 50000000;
constexpr long kGapEvery = 1000;

struct Recording
{
    QByteArray file;
    std::vector<QByteArray> wire;      // what goes on the wire, per frame
    std::vector<long long> recordedNs; // timestamp less the first one's, as written (microseconds)
};

Recording makeRecording(long frames)
{
    Recording r;
    std::mt19937 random(23);
    std::uniform_int_distribution<long long> jitter(-kJitterNs / 1000, kJitterNs / 1000);
    const long long firstUs = 1700000000LL * 1000000;
    long long firstStampUs = 0;
    for (long k = 0; k < frames; ++k) {
        const long long us = firstUs + (k * kPeriodNs + (k / kGapEvery) * kGapNs) / 1000 + jitter(random);
        if (k == 0)
            firstStampUs = us;
        QList<QByteArray> lines{"fr " + QByteArray::number(qlonglong(k + 1)),
                                "ts " + QByteArray::number(double(us) / 1e6, 'f', 6)};
        for (int i = 0; i < 12; ++i)
            lines << QByteArray::number(random() % 100000) + " " + QByteArray::number(random() % 1000) + " " +
                         QByteArray::number(double(random() % 100000) / 7, 'f', 3);
        r.file += lines.join('\n') + '\n';
        r.wire.push_back(lines.join("\r\n") + "\r\n");
        r.recordedNs.push_back((us - firstStampUs) * 1000);
    }
    return r;
}

// CLOCK_REALTIME less CLOCK_MONOTONIC, read where the two readings lie closest together.
long long realtimeOffsetNs()
{
    long long best = 0, spread = -1;
    for (int i = 0; i < 50; ++i) {
        const long long before = bench::monotonicNs();
        timespec real;
        clock_gettime(CLOCK_REALTIME, &real);
        const long long after = bench::monotonicNs();
        if (spread < 0 || after - before < spread) {
            spread = after - before;
            best = real.tv_sec * 1000000000LL + real.tv_nsec - (before + after) / 2;
        }
    }
    return best;
}

// Takes in datagrams on 127.0.0.1 and notes each frame's kernel arrival time (CLOCK_MONOTONIC).
class Receiver
{
public:
    Receiver(long frames, long long realtimeOffset) : arrivals(size_t(frames), -1), offset(realtimeOffset)
    {
        fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        const int on = 1, buffer = 4 << 20;
        ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
        timeval timeout{0, 20000};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof addr;
        ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &length);
        port = ntohs(addr.sin_port);
        thread = std::thread([this] { run(); });
    }
    ~Receiver()
    {
        finish();
        ::close(fd);
    }
    void finish()
    {
        stop = true;
        if (thread.joinable())
            thread.join();
    }

    quint16 port = 0;
    std::vector<long long> arrivals; // per frame, -1 when it did not arrive

private:
    void run()
    {
        char buffer[65536], control[256];
        while (!stop.load()) {
            iovec io{buffer, sizeof buffer};
            msghdr message{};
            message.msg_iov = &io;
            message.msg_iovlen = 1;
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            const ssize_t n = ::recvmsg(fd, &message, 0);
            if (n <= 3 || std::memcmp(buffer, "fr ", 3) != 0)
                continue;
            long long kernel = -1;
            for (cmsghdr *c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                    timespec ts;
                    std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
                    kernel = ts.tv_sec * 1000000000LL + ts.tv_nsec - offset;
                }
            }
            const long frame = std::atol(buffer + 3) - 1;
            if (frame >= 0 && size_t(frame) < arrivals.size())
                arrivals[size_t(frame)] = kernel >= 0 ? kernel : bench::monotonicNs();
        }
    }

    int fd = -1;
    long long offset;
    std::atomic<bool> stop{false};
    std::thread thread;
};

struct Figures
{
    long received = 0;
    double p50Ms = 0, p99Ms = 0, maxMs = 0, lastMs = 0;
    long over1ms = 0;
};

Figures analyse(const std::vector<long long> &arrivals, const Recording &r)
{
    Figures f;
    long long start = std::numeric_limits<long long>::max();
    for (size_t k = 0; k < arrivals.size(); ++k)
        if (arrivals[k] >= 0)
            start = std::min(start, arrivals[k] - r.recordedNs[k]);
    std::vector<double> late;
    for (size_t k = 0; k < arrivals.size(); ++k) {
        if (arrivals[k] < 0)
            continue;
        late.push_back(double(arrivals[k] - start - r.recordedNs[k]) / 1e6);
        f.over1ms += late.back() > 1.0;
    }
    f.received = long(late.size());
    if (late.empty())
        return f;
    f.lastMs = arrivals.back() >= 0 ? late.back() : -1;
    std::sort(late.begin(), late.end());
    const auto at = [&](double q) {
        return late[std::min(late.size() - 1, size_t(std::ceil(q * late.size())) - 1)];
    };
    f.p50Ms = at(0.5);
    f.p99Ms = at(0.99);
    f.maxMs = late.back();
    return f;
}

void print(const char *who, const Figures &f, long frames)
{
    std::printf("| %s | %ld of %ld | %.3f | %.3f | %.3f | %ld | %.3f |\n", who, f.received, frames, f.p50Ms,
                f.p99Ms, f.maxMs, f.over1ms, f.lastMs);
}

// The reference: frame k at start + its recorded time, after an absolute sleep.
void pace(quint16 port, const Recording &r, long long start)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    for (size_t k = 0; k < r.wire.size(); ++k) {
        const long long due = start + r.recordedNs[k];
        const timespec ts{time_t(due / 1000000000LL), long(due % 1000000000LL)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
        }
        ::sendto(fd, r.wire[k].constData(), size_t(r.wire[k].size()), 0, reinterpret_cast<sockaddr *>(&to),
                 sizeof to);
    }
    ::close(fd);
}

} // namespace

int main(int argc, char **argv)
{
    long frames = 100000;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick") {
            frames = 10000;
        } else if (arg == "--frames" && i + 1 < argc) {
            frames = std::max(2L, std::atol(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: bench_recorded_timing [--frames N] [--quick]\n");
            return 2;
        }
    }
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const Recording recording = makeRecording(frames);
    const QString path = dir.filePath("recorded.orf");
    QFile file(path);
    FrameIndex index;
    if (!file.open(QIODevice::WriteOnly) || file.write(recording.file) != recording.file.size() ||
        !file.flush() || !FrameScanner::scan(path, index).ok()) {
        std::printf("the recording could not be written and scanned\n");
        return 1;
    }
    const double seconds = double(recording.recordedNs.back()) / 1e9;
    std::printf(
        "# bench_recorded_timing: %ld frames at 1 kHz, ±%.1f ms jitter, a %lld ms gap after every %ld "
        "(%.1f s)\n",
        frames, kJitterNs / 1e6, kGapNs / 1000000, kGapEvery, seconds);
    bench::printLoad("start");

    const long long offset = realtimeOffsetNs();
    Receiver engineReceiver(frames, offset), referenceReceiver(frames, offset);
    void *socket = nullptr;
    if (ap_udp_init(&socket, 0, 1) < 0) {
        std::printf("no UDP socket\n");
        return 1;
    }
    PlaybackEngine engine;
    engine.setSocket(socket);
    PlaybackEngine::Options options;
    options.destinations.push_back({0x7F000001, engineReceiver.port});
    options.recordedTiming = true;
    if (!engine.start(index, options)) {
        std::printf("the engine did not start\n");
        return 1;
    }
    std::thread pacer([&] { pace(referenceReceiver.port, recording, bench::monotonicNs() + 500000); });
    QEventLoop loop;
    QObject::connect(&engine, &PlaybackEngine::progressed, &loop, [&] {
        if (engine.progress().state != PlaybackEngine::State::Playing)
            loop.quit();
    });
    QTimer::singleShot(int(seconds * 1000) + 10000, &loop, &QEventLoop::quit);
    loop.exec();
    pacer.join();
    bench::runEventsFor(100); // the last datagrams reach the receivers
    const PlaybackSelfCheck check = engine.selfCheck();
    engine.stop();
    ap_udp_exit(socket);
    engineReceiver.finish();
    referenceReceiver.finish();

    const Figures ours = analyse(engineReceiver.arrivals, recording);
    const Figures reference = analyse(referenceReceiver.arrivals, recording);
    std::printf("\n| sender | received | lateness p50 ms | p99 ms | max ms | > 1 ms late | last frame ms |\n"
                "|---|---|---|---|---|---|---|\n");
    print("playback engine, recorded timing", ours, frames);
    print("reference clock_nanosleep pacer", reference, frames);
    std::printf("|   engine's self-check: %s; max %.3f ms, %lld frames more than 1 ms late |\n",
                qPrintable(check.summary()), check.maxMs(), (long long)check.lateOver1ms());
    std::printf(
        "|   verdict: p99 %.3f ms vs %.3f ms = %.2f x the reference (at most 1.5): %s; last frame %.3f ms "
        "late (within 1 ms): %s |\n",
        ours.p99Ms, reference.p99Ms, reference.p99Ms > 0 ? ours.p99Ms / reference.p99Ms : 0.0,
        ours.p99Ms <= 1.5 * reference.p99Ms ? "met" : "MISSED", ours.lastMs,
        std::fabs(ours.lastMs) <= 1.0 ? "met" : "MISSED");
    bench::printLoad("end");
    return 0;
}

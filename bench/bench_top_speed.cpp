// Playback at top speed: the whole `orf play FILE --top-speed --to 127.0.0.1:P` of a recording of 2,000,000
// frames of about 260 bytes (522 MB, in the page cache), in frames per second as orf's summary says them,
// next to a plain loop that sends the same number of 270-byte datagrams with sendmmsg in batches of 64 to
// the same receiver, measured in the same run; each is a process of its own, and the CPU time each takes
// a frame is given too (less at the mercy of other work on the machine than the rate). The two take turns,
// three runs each. The receiver, a thread of this program on 127.0.0.1, takes the datagrams in with
// recvmmsg and counts them; what it misses the kernel dropped at its queue, which is said, not judged.
//
//   bench_top_speed [--frames N] [--runs R] [--orf PATH]...    (N = 2,000,000, R = 3; PATH: this build's orf)
//
// More than one --orf compares builds (before and after a change) in the same run.
#include "bench_support.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

// Counts what arrives on a port of 127.0.0.1.
class Receiver
{
public:
    Receiver()
    {
        fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        const int bytes = 8 << 20;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
        timeval timeout{0, 20000};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
        port = ntohs(addr.sin_port);
        thread = std::thread([this] {
            constexpr int kBatch = 64;
            static char buffers[kBatch][2048];
            iovec iov[kBatch];
            mmsghdr msgs[kBatch];
            while (!stop.load()) {
                std::memset(msgs, 0, sizeof msgs);
                for (int i = 0; i < kBatch; ++i) {
                    iov[i] = {buffers[i], sizeof buffers[i]};
                    msgs[i].msg_hdr.msg_iov = &iov[i];
                    msgs[i].msg_hdr.msg_iovlen = 1;
                }
                const int n = ::recvmmsg(fd, msgs, kBatch, MSG_WAITFORONE, nullptr);
                if (n > 0)
                    received += n;
            }
        });
    }
    ~Receiver()
    {
        stop = true;
        thread.join();
        ::close(fd);
    }
    // Waits until nothing more arrives, then gives the count since the last call.
    long take()
    {
        long before = -1;
        while (received.load() != before) {
            before = received.load();
            usleep(50000);
        }
        return received.exchange(0);
    }

    quint16 port = 0;

private:
    int fd = -1;
    std::atomic<long> received{0};
    std::atomic<bool> stop{false};
    std::thread thread;
};

struct Figures
{
    double rate = -1;  // frames per second
    double cpuUs = -1; // CPU time per frame, microseconds
};

long long threadCpuNs()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

// The plain loop: count datagrams of 270 bytes, 64 per sendmmsg.
Figures sendmmsgLoop(quint16 port, long count)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    static char payload[270];
    std::memset(payload, 'x', sizeof payload);
    constexpr int kBatch = 64;
    iovec iov{payload, sizeof payload};
    mmsghdr msgs[kBatch];
    std::memset(msgs, 0, sizeof msgs);
    for (mmsghdr &m : msgs) {
        m.msg_hdr.msg_name = &to;
        m.msg_hdr.msg_namelen = sizeof to;
        m.msg_hdr.msg_iov = &iov;
        m.msg_hdr.msg_iovlen = 1;
    }
    const long long start = bench::monotonicNs(), cpuStart = threadCpuNs();
    for (long sent = 0; sent < count;) {
        const int n = ::sendmmsg(fd, msgs, unsigned(std::min<long>(kBatch, count - sent)), 0);
        if (n > 0)
            sent += n;
    }
    const double seconds = double(bench::monotonicNs() - start) / 1e9;
    const double cpuUs = double(threadCpuNs() - cpuStart) / 1e3 / double(count);
    ::close(fd);
    return {double(count) / seconds, cpuUs};
}

// The plain loop in a process of its own, as orf runs in one.
Figures plainLoop(quint16 port, long count)
{
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        return {};
    const pid_t pid = fork();
    if (pid == 0) {
        const Figures f = sendmmsgLoop(port, count);
        const ssize_t written = ::write(pipeFds[1], &f, sizeof f);
        _exit(written == ssize_t(sizeof f) ? 0 : 1);
    }
    ::close(pipeFds[1]);
    Figures f;
    if (::read(pipeFds[0], &f, sizeof f) != ssize_t(sizeof f))
        f = Figures();
    ::close(pipeFds[0]);
    waitpid(pid, nullptr, 0);
    return f;
}

// Runs orf play at top speed: the frames per second of its summary line (-1 when it failed), and the CPU
// time of the whole process (the scan of the recording too) per frame.
Figures orfPlay(const std::string &orf, const std::string &file, quint16 port, const std::string &home,
                long frames)
{
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        return {};
    const std::string to = "127.0.0.1:" + std::to_string(port);
    const pid_t pid = fork();
    if (pid == 0) {
        ::setenv("HOME", home.c_str(), 1); // no settings file: the built-in defaults
        const int null = ::open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        dup2(pipeFds[1], STDERR_FILENO);
        ::close(pipeFds[0]);
        execl(orf.c_str(), orf.c_str(), "play", file.c_str(), "--top-speed", "--to", to.c_str(),
              static_cast<char *>(nullptr));
        _exit(127);
    }
    ::close(pipeFds[1]);
    std::string err;
    char buffer[4096];
    for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;)
        err.append(buffer, size_t(n));
    ::close(pipeFds[0]);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    // "orf: sent 2000000 frames in 3.41 s (586510.26 frames/s) to ..."
    const size_t at = err.find(" frames in ");
    const size_t open = err.find('(', at == std::string::npos ? 0 : at);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || at == std::string::npos ||
        open == std::string::npos) {
        std::fprintf(stderr, "orf failed: %s\n", err.c_str());
        return {};
    }
    const double cpuS = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                        double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    return {std::atof(err.c_str() + open + 1), cpuS * 1e6 / double(frames)};
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    long frames = 2000000;
    int runs = 3;
    std::vector<std::string> orfs;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == "--frames")
            frames = args[i + 1].toLong();
        else if (args[i] == "--runs")
            runs = args[i + 1].toInt();
        else if (args[i] == "--orf")
            orfs.push_back(args[i + 1].toStdString());
    }
    if (orfs.empty())
        orfs.push_back(QCoreApplication::applicationDirPath().toStdString() + "/../bin/orf");

    QTemporaryDir dir;
    const std::string home = dir.filePath("home").toStdString();
    QDir().mkpath(QString::fromStdString(home));
    const QString path = dir.filePath("big.orf");
    {
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        QByteArray chunk;
        // 261 bytes a frame on average, the wire form about 270: 522 MB.
        const QByteArray body =
            "obj 1 x 12.402 y -3.118 z 0.982 q 0.97\nobj 2 x 11.877 y -2.904 z 1.015 q 0.95\n"
            "obj 3 x 13.120 y -3.360 z 0.941 q 0.91\nobj 4 x 10.000 y -1.000 z 1.000 q 0.90\n"
            "obj 5 x 10.500 y -1.500 z 1.200 q 0.93\nmarkers 14 residual 0.43 mm\nstatus ok 000\n";
        for (long n = 1; n <= frames; ++n) {
            chunk += "fr " + QByteArray::number(qint64(n)) + "\nts " +
                     QByteArray::number(double(n) / 60, 'f', 4) + "\n" + body;
            if (chunk.size() > (1 << 20)) {
                file.write(chunk);
                chunk.clear();
            }
        }
        file.write(chunk);
    }
    std::printf("recording: %ld frames, %.0f MB\n", frames, double(QFileInfo(path).size()) / 1e6);
    bench::printLoad("before");

    Receiver receiver;
    std::vector<Figures> plain;
    std::vector<std::vector<Figures>> played(orfs.size());
    for (int run = 0; run < runs; ++run) {
        plain.push_back(plainLoop(receiver.port, frames));
        const long plainGot = receiver.take();
        std::printf("run %d: plain sendmmsg loop %.0f frames/s, %.2f us CPU a frame (%ld received)", run + 1,
                    plain.back().rate, plain.back().cpuUs, plainGot);
        for (size_t o = 0; o < orfs.size(); ++o) {
            played[o].push_back(orfPlay(orfs[o], path.toStdString(), receiver.port, home, frames));
            const long got = receiver.take();
            std::printf(";\n  orf%s %.0f frames/s (%.2fx), %.2f us CPU a frame (%ld received)",
                        orfs.size() > 1 ? std::to_string(o + 1).c_str() : "", played[o].back().rate,
                        played[o].back().rate / plain.back().rate, played[o].back().cpuUs, got);
        }
        std::printf("\n");
        std::fflush(stdout);
    }
    // Lowest to highest of a figure over the runs.
    auto range = [](const std::vector<double> &values, const char *format) {
        const auto [low, high] = std::minmax_element(values.begin(), values.end());
        char text[64];
        std::snprintf(text, sizeof text, format, *low, *high);
        return std::string(text);
    };
    auto all = [](const std::vector<Figures> &figures, double Figures::*field) {
        std::vector<double> out;
        for (const Figures &f : figures)
            out.push_back(f.*field);
        return out;
    };
    std::printf("plain sendmmsg loop: %s frames/s, %s us CPU a frame\n",
                range(all(plain, &Figures::rate), "%.0f-%.0f").c_str(),
                range(all(plain, &Figures::cpuUs), "%.2f-%.2f").c_str());
    for (size_t o = 0; o < orfs.size(); ++o) {
        std::vector<double> ratio;
        for (int run = 0; run < runs; ++run)
            ratio.push_back(played[o][size_t(run)].rate / plain[size_t(run)].rate);
        std::printf(
            "orf play --top-speed (%s): %s frames/s, %s the plain loop of the same run (target >= 0.9x); "
            "%s us CPU a frame (the whole command, its scan too)\n",
            orfs[o].c_str(), range(all(played[o], &Figures::rate), "%.0f-%.0f").c_str(),
            range(ratio, "%.2f-%.2fx").c_str(), range(all(played[o], &Figures::cpuUs), "%.2f-%.2f").c_str());
    }
    bench::printLoad("after");
    return 0;
}

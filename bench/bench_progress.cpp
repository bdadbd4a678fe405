// What orf record's status line costs the receiving: `orf record` takes 100,000 datagrams a second (100
// bytes each, numbered, sent with sendmmsg at that pace from this program), once with its standard error on
// a pseudo-terminal (the line redrawn four times a second) and once on /dev/null (no line), taking turns in
// the same run. The figure is the CPU time of orf's receiving thread (from the kernel's schedstat) per
// datagram it wrote; the two should lie within 2 % of each other. The CPU time a second of orf's main thread,
// which draws the line, is given too.
//
//   bench_progress [--rate HZ] [--seconds S] [--runs R] [--orf PATH]   (HZ = 100,000, S = 3, R = 3)
#include "bench_support.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace {

constexpr int kPayload = 100;

// The CPU time a thread of another process has used, in nanoseconds, or -1.
long long taskCpuNs(pid_t pid, int tid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/schedstat");
    long long ns = -1;
    in >> ns;
    return ns;
}

// orf's receiving thread (a QThread named after its class), or 0.
int receivingThread(pid_t pid)
{
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR *dir = opendir(tasks.c_str());
    int found = 0;
    while (dir && !found) {
        const dirent *entry = readdir(dir);
        if (!entry)
            break;
        std::ifstream in(tasks + "/" + entry->d_name + "/comm");
        std::string comm;
        std::getline(in, comm);
        if (comm.rfind("Ostrel_Recorder", 0) == 0)
            found = std::atoi(entry->d_name);
    }
    if (dir)
        closedir(dir);
    return found;
}

// Sends seconds × rate numbered datagrams to port on 127.0.0.1, a batch each millisecond on the clock.
void sendPaced(quint16 port, long rate, double seconds)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    const long total = long(double(rate) * seconds);
    const size_t perMs = size_t(std::max(1L, rate / 1000));
    std::vector<std::array<char, kPayload>> payloads(perMs);
    std::vector<iovec> iov(perMs);
    std::vector<mmsghdr> msgs(perMs);
    long sent = 0;
    const long long start = bench::monotonicNs();
    for (long ms = 1; sent < total; ++ms) {
        const int n = int(std::min(long(perMs), total - sent));
        for (int i = 0; i < n; ++i) {
            char *p = payloads[size_t(i)].data();
            std::memset(p, 'x', kPayload);
            const int head = std::snprintf(p, kPayload, "fr %ld\n", sent + i + 1);
            p[head] = 'x';
            p[kPayload - 1] = '\n';
            iov[size_t(i)] = {p, kPayload};
            msgs[size_t(i)] = {};
            msgs[size_t(i)].msg_hdr = {&to, sizeof to, &iov[size_t(i)], 1, nullptr, 0, 0};
        }
        for (int done = 0; done < n;) {
            const int k = ::sendmmsg(fd, msgs.data() + done, unsigned(n - done), 0);
            if (k <= 0)
                break;
            done += k;
        }
        sent += n;
        const long long due = start + ms * 1000000LL;
        const timespec ts{time_t(due / 1000000000), long(due % 1000000000)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
    }
    ::close(fd);
}

struct Figures
{
    double nsPerDatagram = -1;
    double mainUsPerSecond = -1; // orf's main thread, which draws the line: CPU µs a second
    long datagrams = 0;
    int redraws = 0; // drawings of the status line seen on the terminal
};

// One orf record with standard error on a pseudo-terminal or on /dev/null.
Figures recordOnce(const std::string &orf, const std::string &dir, bool terminal, long rate, double seconds)
{
    const quint16 port = [] {
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
        ::close(fd);
        return ntohs(a.sin_port);
    }();
    int master = -1, slave = -1;
    if (terminal && ::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
        return {};
    const std::string file = dir + "/r.orf";
    const std::string portText = std::to_string(port);
    const pid_t pid = fork();
    if (pid == 0) {
        ::setenv("HOME", dir.c_str(), 1);
        const int null = ::open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        dup2(terminal ? slave : null, STDERR_FILENO);
        execl(orf.c_str(), orf.c_str(), "record", "--port", portText.c_str(), "-o", file.c_str(), "--force",
              static_cast<char *>(nullptr));
        _exit(127);
    }
    std::string screen;
    const auto drain = [&] {
        char bytes[4096];
        for (ssize_t n; master >= 0 && (n = ::read(master, bytes, sizeof bytes)) > 0;)
            screen.append(bytes, size_t(n));
    };
    if (master >= 0)
        ::fcntl(master, F_SETFL, O_NONBLOCK);
    int tid = 0;
    for (int i = 0; i < 1000 && (bench::socketDrops(port) < 0 || !(tid = receivingThread(pid))); ++i)
        bench::runEventsFor(5);
    Figures f;
    if (tid) {
        const long long before = taskCpuNs(pid, tid), mainBefore = taskCpuNs(pid, pid);
        const long long start = bench::monotonicNs();
        sendPaced(port, rate, seconds);
        // Until the socket's queue is empty: all sent has been taken in.
        long long cpu = before;
        for (int i = 0; i < 200; ++i) {
            bench::runEventsFor(20);
            drain();
            const long long now = taskCpuNs(pid, tid);
            if (now == cpu)
                break;
            cpu = now;
        }
        f.nsPerDatagram = double(cpu - before);
        f.mainUsPerSecond =
            double(taskCpuNs(pid, pid) - mainBefore) / 1e3 / (double(bench::monotonicNs() - start) / 1e9);
    }
    ::kill(pid, SIGINT);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        drain();
        bench::runEventsFor(5);
    }
    drain();
    f.datagrams = long(QFileInfo(QString::fromStdString(file)).size() / kPayload);
    f.nsPerDatagram = f.datagrams > 0 && f.nsPerDatagram >= 0 ? f.nsPerDatagram / double(f.datagrams) : -1;
    // Each drawing ends in "ESC [K", and so does the erasure.
    for (size_t at = 0; (at = screen.find("\033[K", at)) != std::string::npos; at += 3)
        ++f.redraws;
    f.redraws = std::max(0, f.redraws - 1);
    if (master >= 0) {
        ::close(master);
        ::close(slave);
    }
    return f;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? -1 : v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    long rate = 100000;
    double seconds = 3;
    int runs = 3;
    std::string orf = QCoreApplication::applicationDirPath().toStdString() + "/../bin/orf";
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == "--rate")
            rate = args[i + 1].toLong();
        else if (args[i] == "--seconds")
            seconds = args[i + 1].toDouble();
        else if (args[i] == "--runs")
            runs = args[i + 1].toInt();
        else if (args[i] == "--orf")
            orf = args[i + 1].toStdString();
    }
    QTemporaryDir dir;
    bench::printLoad("before");
    std::printf("orf record at %ld datagrams/s of %d bytes for %.0f s, %d runs each, taking turns\n", rate,
                kPayload, seconds, runs);
    std::printf("%-26s %10s %16s %20s %8s\n", "standard error", "datagrams", "ns CPU/datagram",
                "main thread us CPU/s", "redraws");
    std::vector<double> figures[2];
    for (int run = 0; run < runs; ++run) {
        for (const bool terminal : {true, false}) {
            const Figures f = recordOnce(orf, dir.path().toStdString(), terminal, rate, seconds);
            figures[terminal].push_back(f.nsPerDatagram);
            std::printf("%-26s %10ld %16.1f %20.0f %8s\n",
                        terminal ? "terminal (status line)" : "/dev/null (no line)", f.datagrams,
                        f.nsPerDatagram, f.mainUsPerSecond,
                        terminal ? std::to_string(f.redraws).c_str() : "-");
            std::fflush(stdout);
        }
    }
    const double withLine = median(figures[1]), without = median(figures[0]);
    std::printf("median: with the line %.1f ns/datagram, without %.1f ns/datagram: %+.1f %%\n", withLine,
                without, 100.0 * (withLine - without) / without);
    // How far the runs of one kind lie apart: a difference within that is the machine's, not the line's.
    for (const bool terminal : {true, false}) {
        const auto [low, high] = std::minmax_element(figures[terminal].begin(), figures[terminal].end());
        std::printf("spread %-9s %.1f to %.1f ns/datagram (%.1f %%)\n", terminal ? "with:" : "without:", *low,
                    *high, 100.0 * (*high - *low) / *low);
    }
    bench::printLoad("after");
    return 0;
}

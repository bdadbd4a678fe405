// Small helpers shared by the benchmarks that drive the real window: the machine's load, the CPU time of
// one thread of this process, loopback ports, the kernel's UDP counters and an event loop that runs until
// a condition holds.
#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QString>
#include <QTimer>
#include <QtGlobal>

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <netinet/in.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <time.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace bench {

inline long long monotonicNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

// A field of /proc/self/status in KiB (VmHWM, VmRSS, ...), or -1.
inline long statusKiB(const char *field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    const size_t length = std::strlen(field);
    while (std::getline(status, line)) {
        if (line.compare(0, length, field) == 0)
            return std::atol(line.c_str() + length + 1);
    }
    return -1;
}

// Resets the peak resident size (VmHWM) of this process; false where the kernel does not allow it.
inline bool resetPeak()
{
    std::FILE *f = std::fopen("/proc/self/clear_refs", "w");
    if (!f)
        return false;
    const bool ok = std::fputs("5", f) >= 0;
    return std::fclose(f) == 0 && ok;
}

inline int currentTid()
{
    return int(syscall(SYS_gettid));
}

// The first line of /proc/loadavg: the 1, 5 and 15 minute load averages and the running tasks.
inline std::string loadAverage()
{
    std::ifstream in("/proc/loadavg");
    std::string line;
    std::getline(in, line);
    return line;
}

inline void printLoad(const char *when)
{
    std::printf("load (%s): %s\n", when, loadAverage().c_str());
    std::fflush(stdout);
}

// CPU time the thread has used so far, in nanoseconds: from schedstat where the kernel keeps it (exact),
// else from the clock-tick counts of stat. -1 when the thread is gone.
inline long long threadCpuNs(int tid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%d/schedstat", tid);
    {
        std::ifstream in(path);
        long long ns = -1;
        if (in >> ns)
            return ns;
    }
    std::snprintf(path, sizeof path, "/proc/self/task/%d/stat", tid);
    std::ifstream in(path);
    std::string stat;
    std::getline(in, stat);
    const size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            utime = std::atoll(field.c_str());
        if (i == 15)
            stime = std::atoll(field.c_str());
    }
    return (utime + stime) * (1000000000LL / sysconf(_SC_CLK_TCK));
}

// Time the thread spent runnable but waiting for a CPU, in nanoseconds (second field of schedstat), or -1.
inline long long threadRunDelayNs(int tid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%d/schedstat", tid);
    std::ifstream in(path);
    long long run = -1, wait = -1;
    if (in >> run >> wait)
        return wait;
    return -1;
}

// Voluntary context switches of the thread: how often it went to sleep and was woken.
inline long long voluntarySwitches(int tid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%d/status", tid);
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 24, "voluntary_ctxt_switches:") == 0)
            return std::atoll(line.c_str() + 24);
    }
    return -1;
}

// A thread of this process whose name begins with prefix (the kernel keeps 15 characters of it), or 0.
inline int findTask(const char *prefix)
{
    DIR *dir = opendir("/proc/self/task");
    if (!dir)
        return 0;
    int found = 0;
    while (dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        std::ifstream in(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string comm;
        std::getline(in, comm);
        if (comm.compare(0, std::strlen(prefix), prefix) == 0) {
            found = std::atoi(entry->d_name);
            break;
        }
    }
    closedir(dir);
    return found;
}

inline int receiveBufferBytes(int fd)
{
    int size = 0;
    socklen_t len = sizeof size;
    return fd >= 0 && ::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &len) == 0 ? size : -1;
}

// The system-wide UDP counter of datagrams dropped because a socket's receive queue was full.
inline long long udpRcvbufErrors()
{
    std::ifstream in("/proc/net/snmp");
    std::string names, values;
    while (std::getline(in, names)) {
        if (names.compare(0, 4, "Udp:") != 0)
            continue;
        std::getline(in, values);
        std::istringstream n(names), v(values);
        std::string name, value;
        while (n >> name && v >> value) {
            if (name == "RcvbufErrors")
                return std::atoll(value.c_str());
        }
    }
    return -1;
}

// Packets the network stack dropped before any socket saw them (the per-CPU input backlog was full).
inline long long backlogDrops()
{
    std::ifstream in("/proc/net/softnet_stat");
    std::string line;
    long long sum = 0;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string processed, dropped;
        if (fields >> processed >> dropped)
            sum += std::strtoll(dropped.c_str(), nullptr, 16);
    }
    return sum;
}

// The drop count the kernel keeps for the UDP socket bound to port (last column of /proc/net/udp), or -1.
inline long long socketDrops(quint16 port)
{
    std::ifstream in("/proc/net/udp");
    std::string line;
    char wanted[8];
    std::snprintf(wanted, sizeof wanted, ":%04X", unsigned(port));
    std::getline(in, line); // header
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, field, last;
        fields >> slot >> local;
        if (local.size() < 5 || local.compare(local.size() - 5, 5, wanted) != 0)
            continue;
        while (fields >> field)
            last = field;
        return std::atoll(last.c_str());
    }
    return -1;
}

// The offscreen platform says on every shown dialog that it cannot pass size hints on; that line would only
// break up the tables.
inline void quietOffscreenPlatform()
{
    static QtMessageHandler previous = nullptr;
    previous =
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &context, const QString &text) {
            if (text.contains(QLatin1String("propagateSizeHints")))
                return;
            if (previous)
                previous(type, context, text);
        });
}

// What both window benchmarks need before their application object: no display, quiet offscreen platform,
// Qt's own dialogs (which the test answerer fills in).
inline void prepareHeadlessWindow()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    quietOffscreenPlatform();
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
}

// Runs the event loop until done() holds or timeoutMs has passed; checks every 5 ms. Returns done().
inline bool runEventsUntil(const std::function<bool()> &done, int timeoutMs)
{
    if (done())
        return true;
    QDeadlineTimer deadline(timeoutMs);
    QEventLoop loop;
    QTimer check;
    check.setInterval(5);
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done() || deadline.hasExpired())
            loop.quit();
    });
    check.start();
    loop.exec();
    return done();
}

// Runs the event loop for ms milliseconds.
inline void runEventsFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Runs a program to its end, its standard output into the file named (/dev/null by default) and its
// errors thrown away: the wall time in seconds (-1 when it failed), and its peak resident size in KiB.
inline double runProgram(const std::vector<std::string> &arguments, const std::string &into = "/dev/null",
                         long *peakKiB = nullptr)
{
    std::vector<char *> argv;
    for (const std::string &a : arguments)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    QElapsedTimer timer;
    timer.start();
    const pid_t pid = fork();
    if (pid == 0) {
        const int out = ::open(into.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int null = ::open("/dev/null", O_WRONLY);
        dup2(out, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    if (peakKiB)
        *peakKiB = usage.ru_maxrss;
    return timer.nsecsElapsed() / 1e9;
}

} // namespace bench


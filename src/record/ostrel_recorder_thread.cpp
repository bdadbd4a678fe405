#include "record/ostrel_recorder_thread.h"

#include "ap/ap_socket.h"
#include "record/lost_frame_counter.h"

#include <QMutexLocker>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

using SteadyClock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A datagram always fits its slot whole.
constexpr int kSlot = 65536;
static_assert(kSlot > ap_udp_max_payload);
constexpr int kBatch = 32;
// A report is sent at most this often: enough for a display refreshed ten times a second, and it keeps
// the window's thread from waking for every datagram of a fast stream.
constexpr milliseconds kReportInterval(5);
// Written datagrams reach the file within this time, so a crash or a kill loses at most this much.
constexpr milliseconds kFlushInterval(100);
// While a stream comes fast, the thread waits this long after taking datagrams before it looks again: at
// 20,000 datagrams a second it then wakes once for ten of them instead of once for each. The socket queue
// holds hundreds of them, so nothing is lost meanwhile.
constexpr std::chrono::microseconds kGather(500);
// Only without a wake-up descriptor: how long a stop may go unnoticed.
constexpr milliseconds kFallbackWait(50);

int millisecondsUntil(SteadyClock::time_point deadline, SteadyClock::time_point now)
{
    if (deadline <= now)
        return 0;
    return int(std::chrono::ceil<milliseconds>(deadline - now).count());
}

int earlier(int timeout, int other)
{
    return timeout < 0 ? other : std::min(timeout, other);
}

} // namespace

// State that only the receiving thread touches during a run.
struct Ostrel_Recorder_Thread::RunState
{
    LostFrameCounter lost;
    bool write_failed = false;
    bool dirty = false; // written since the last flush
    SteadyClock::time_point dirty_since;
    bool unreported = false; // taken in since the last report
    SteadyClock::time_point last_report;
    qint64 taken = 0;
};

Ostrel_Recorder_Thread::Ostrel_Recorder_Thread(QObject *parent)
    : QThread(parent), batch(new char[size_t(kSlot) * kBatch]), lengths(kBatch)
{
    wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

Ostrel_Recorder_Thread::~Ostrel_Recorder_Thread()
{
    stop();
    socket = nullptr; // its owner closes it
    if (wake_fd >= 0)
        ::close(wake_fd);
}

void Ostrel_Recorder_Thread::setSocket(void *handle)
{
    if (!isRunning())
        socket = handle;
}

void Ostrel_Recorder_Thread::setRecordOutput(FILE *output)
{
    if (!isRunning())
        record_output = output;
}

void Ostrel_Recorder_Thread::setOutputChooser(OutputChooser *chooser)
{
    if (!isRunning())
        output_chooser = chooser;
}

void Ostrel_Recorder_Thread::setModeRecord(bool record)
{
    if (!isRunning())
        mode_record = record;
}

void Ostrel_Recorder_Thread::setStopAfter(qint64 datagrams)
{
    if (!isRunning())
        stop_after = std::max<qint64>(0, datagrams);
}

void Ostrel_Recorder_Thread::setStopOnWriteFailure(bool stop)
{
    if (!isRunning())
        stop_on_write_failure = stop;
}

void Ostrel_Recorder_Thread::start(QThread::Priority priority)
{
    if (isRunning()) {
        if (running.load())
            return;
        // A run that ended by itself is only finishing; let it end first.
        wait();
    }
    if (wake_fd >= 0) {
        eventfd_t stale;
        eventfd_read(wake_fd, &stale); // a stop request of an earlier run must not end this one
    }
    {
        QMutexLocker lock(&state_mutex);
        state = Counts();
        latest.clear();
    }
    delivered_datagrams = 0;
    report_pending.store(false);
    stop_requested.store(false);
    current_run.fetch_add(1);
    running.store(true);
    QThread::start(priority);
}

void Ostrel_Recorder_Thread::requestStop()
{
    stop_requested.store(true);
    running.store(false);
    if (wake_fd >= 0)
        eventfd_write(wake_fd, 1);
}

void Ostrel_Recorder_Thread::stop()
{
    requestStop();
    if (QThread::currentThread() != this)
        wait();
}

Ostrel_Recorder_Thread::Counts Ostrel_Recorder_Thread::counts() const
{
    QMutexLocker lock(&state_mutex);
    return state;
}

QByteArray Ostrel_Recorder_Thread::lastDatagram() const
{
    QMutexLocker lock(&state_mutex);
    return latest;
}

QString Ostrel_Recorder_Thread::getFrameBuffer() const
{
    const QByteArray bytes = lastDatagram(); // shares the bytes; the text is made outside the lock
    const char *nul = static_cast<const char *>(std::memchr(bytes.constData(), '\0', size_t(bytes.size())));
    return QString::fromLatin1(bytes.constData(), nul ? nul - bytes.constData() : bytes.size());
}

void Ostrel_Recorder_Thread::run()
{
    // `running` was raised by start(); raising it here would undo a stop() that came first.
    const quint64 run = current_run.load();
    RunState rs;
    const int fd = ap_udp_descriptor(socket);
    int error = fd < 0 ? -2 : 0;
    SteadyClock::time_point now = SteadyClock::now(), last_taken = now - kGather * 4;
    bool gather = false;
    while (!error && running.load()) {
        if (gather) {
            // A fast stream: let its datagrams gather for a moment, so that one wake-up takes many.
            pollfd wake = {wake_fd, POLLIN, 0};
            const timespec pause = {0, long(std::chrono::nanoseconds(kGather).count())};
            ppoll(&wake, wake_fd >= 0 ? 1 : 0, &pause, nullptr);
            if (!running.load())
                break;
        }
        int timeout = wake_fd >= 0 ? -1 : int(kFallbackWait.count());
        if (rs.dirty)
            timeout = earlier(timeout, millisecondsUntil(rs.dirty_since + kFlushInterval, now));
        if (rs.unreported)
            timeout = earlier(timeout, millisecondsUntil(rs.last_report + kReportInterval, now));
        pollfd fds[2] = {{fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
        const int ready = poll(fds, wake_fd >= 0 ? 2 : 1, timeout);
        if (ready < 0 && errno != EINTR) {
            error = -2;
            break;
        }
        if (!running.load())
            break;
        int taken = 0;
        if (ready > 0 && fds[0].revents) {
            taken = takeBatches(rs);
            if (taken < 0) {
                error = taken;
                break;
            }
            if (!running.load())
                break;
        }
        now = SteadyClock::now();
        // Several datagrams at once, or the next one soon after the last: gather before the next wait.
        gather = taken > 1 || (taken == 1 && now - last_taken < kGather * 2);
        if (taken > 0)
            last_taken = now;
        if (rs.dirty && now - rs.dirty_since >= kFlushInterval)
            flushOutput(rs);
        if (rs.unreported && now - rs.last_report >= kReportInterval) {
            postReport(run);
            rs.unreported = false;
            rs.last_report = now;
        }
        if (stop_after > 0 && rs.taken >= stop_after)
            break;
        if (rs.write_failed && stop_on_write_failure)
            break;
    }
    if (rs.dirty)
        flushOutput(rs);
    if (error) {
        std::printf("udp receive error -> stopped err %d\n", error);
        std::fflush(stdout);
        QMutexLocker lock(&state_mutex);
        state.ended_by_error = true;
    }
    running.store(false);
    QMetaObject::invokeMethod(
        this, [this, run] { deliverEnd(run); }, Qt::QueuedConnection);
}

int Ostrel_Recorder_Thread::takeBatches(RunState &rs)
{
    char *const slot0 = batch.get();
    int total = 0;
    for (;;) {
        int want = kBatch;
        if (stop_after > 0)
            want = int(std::min<qint64>(want, stop_after - rs.taken));
        if (want <= 0)
            return total;
        const int n = ap_udp_receive_batch(socket, slot0, kSlot, want, lengths.data());
        if (n < 0)
            return n;
        // Datagrams taken after a stop request are neither written nor counted.
        if (!running.load())
            return total;
        const bool writing = mode_record && (record_output || output_chooser);
        qint64 count = 0, bytes = 0;
        int last = -1;
        const bool failed_before = rs.write_failed;
        for (int i = 0; i < n; ++i) {
            const int length = lengths[size_t(i)];
            if (length <= 0)
                continue; // an empty datagram carries nothing to keep
            const char *data = slot0 + size_t(i) * kSlot;
            FILE *output =
                writing && output_chooser ? output_chooser->outputFor(data, length) : record_output;
            record_output = output ? output : record_output;
            if (writing && (!output || std::fwrite(data, size_t(length), 1, output) != 1)) {
                rs.write_failed = true;
                if (stop_on_write_failure)
                    break; // the run ends here; what follows was not written
                // Otherwise the user is told at the end, and the stream goes on.
            }
            rs.lost.datagram(data, length);
            ++count;
            bytes += length;
            last = i;
        }
        if (count > 0) {
            if (writing && !rs.dirty) {
                rs.dirty = true;
                rs.dirty_since = SteadyClock::now();
            }
            rs.unreported = true;
            rs.taken += count;
            total += int(count);
            QMutexLocker lock(&state_mutex);
            state.datagrams += count;
            state.bytes += bytes;
            state.lost = rs.lost.lost();
            state.write_failed = rs.write_failed;
            const int length = lengths[size_t(last)];
            latest.resize(length);
            std::memcpy(latest.data(), slot0 + size_t(last) * kSlot, size_t(length));
        } else if (rs.write_failed != failed_before) {
            QMutexLocker lock(&state_mutex);
            state.write_failed = true;
        }
        if (n < want || (rs.write_failed && stop_on_write_failure))
            return total;
    }
}

void Ostrel_Recorder_Thread::flushOutput(RunState &rs)
{
    rs.dirty = false;
    if (!record_output || std::fflush(record_output) == 0 || rs.write_failed)
        return;
    rs.write_failed = true;
    QMutexLocker lock(&state_mutex);
    state.write_failed = true;
}

void Ostrel_Recorder_Thread::postReport(quint64 run)
{
    // The counts are published before the flag is taken, so a report still waiting will read them.
    if (!report_pending.exchange(true))
        QMetaObject::invokeMethod(
            this, [this, run] { deliverReport(run, true); }, Qt::QueuedConnection);
}

void Ostrel_Recorder_Thread::deliverReport(quint64 run, bool queued)
{
    // A report of a run that has been stopped or replaced since is dropped: its user has moved on.
    if (run != current_run.load())
        return;
    if (queued)
        report_pending.exchange(false); // before the counts are read, so later datagrams post anew
    if (stop_requested.load())
        return;
    const qint64 datagrams = counts().datagrams;
    if (datagrams == delivered_datagrams)
        return;
    delivered_datagrams = datagrams;
    emit status(mode_record ? 2 : 4);
}

void Ostrel_Recorder_Thread::deliverEnd(quint64 run)
{
    deliverReport(run, false); // what the run took in after its last report
    emit status(0);
}

#include "moc_ostrel_recorder_thread.cpp"

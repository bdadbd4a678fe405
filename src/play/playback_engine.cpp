#include "play/playback_engine.h"

#include "ap/ap_socket.h"
#include "play/play_timing.h"
#include "play/playback_schedule.h"

#include <QMetaObject>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <pthread.h>
#include <sys/prctl.h>
#include <time.h>

namespace {
constexpr unsigned int kSendTimeoutUs = 5000000;
// The thread blocks on its condition until this long before a deadline, so pause and stop are heard at
// once; then it sleeps to just before the deadline and spins the last stretch, as a sleep ends late by the
// wake-up latency (about 45 µs measured here, with the thread's timer slack at 1 ns). A longer spin costs
// CPU time, for which a loaded machine takes the CPU away more often.
constexpr qint64 kSleepFromNs = 2000000;
constexpr qint64 kSpinNs = 50000;
// Frame progress reaches the owner at most this often; ends and failures at once.
constexpr qint64 kReportIntervalNs = 40000000;

qint64 nowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void sleepUntil(qint64 deadline)
{
    const qint64 spinFrom = deadline - kSpinNs;
    if (nowNs() < spinFrom) {
        const timespec ts{time_t(spinFrom / 1000000000), long(spinFrom % 1000000000)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
        }
    }
    while (nowNs() < deadline) {
    }
}
} // namespace

PlaybackEngine::PlaybackEngine(QObject *parent) : QObject(parent)
{
    m_thread = std::thread([this] { run(); });
}

PlaybackEngine::~PlaybackEngine()
{
    {
        std::lock_guard<std::mutex> sending(m_sendMutex);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_quit = true;
        ++m_generation;
    }
    m_wake.notify_all();
    m_thread.join();
}

void PlaybackEngine::setSocket(void *socket)
{
    std::lock_guard<std::mutex> sending(m_sendMutex);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_socket = socket;
}

namespace {
// The entry of a frame number, held within the index (its size for a number beyond it).
qsizetype entryIn(const FrameIndex &index, qint64 frame)
{
    return qsizetype(qBound<qint64>(0, frame - qint64(index.first()), qint64(index.size())));
}
} // namespace

qsizetype PlaybackEngine::entryOf(qint64 frame) const
{
    return entryIn(m_index, frame);
}

bool PlaybackEngine::plan(const FrameIndex &index, const Options &options, Plan *plan)
{
    plan->first = options.from < 0 ? 0 : entryIn(index, options.from);
    plan->last = options.until < 0 || options.until >= index.last() ? index.size() - 1
                                                                     : entryIn(index, options.until + 1) - 1;
    plan->rate = play_timing::usableRate(options.rate);
    if (options.recordedTiming) {
        // The median of the intervals within what is played (the lower of two, as Recording info takes it);
        // the configured rate's period without any.
        std::vector<float> intervals;
        index.forEachFrame([&](qsizetype k, qint64, double seconds) {
            if (k > plan->first && k <= plan->last && seconds > 0)
                intervals.push_back(float(seconds));
        });
        if (!intervals.empty()) {
            const size_t middle = (intervals.size() - 1) / 2;
            std::nth_element(intervals.begin(), intervals.begin() + qsizetype(middle), intervals.end());
            plan->medianNs = std::llround(std::min(double(intervals[middle]), 1e9) * 1e9);
            plan->rate = play_timing::usableRate(float(1e9 / double(plan->medianNs)));
        }
        plan->periodUs = play_timing::periodUs(plan->rate);
        if (plan->medianNs <= 0)
            plan->medianNs = qint64(plan->periodUs) * 1000;
        return true;
    }
    if (options.timestamps) {
        // The period comes from the first two frames played; a frame without timestamp leaves the rate.
        PlaybackSchedule probe([index](qsizetype k) { return index.frameAtOrAfter(k); }, plan->first,
                               plan->last, false, 1);
        probe.start(0);
        double t[2] = {-1.0, -1.0};
        for (double &timestamp : t) {
            probe.advance();
            const PlaybackSchedule::Step step = probe.next();
            if (step.kind != PlaybackSchedule::Kind::Send)
                break;
            QByteArray bytes;
            if (index.wire(step.entry, &bytes, &timestamp) != FrameIndex::Read::Ok)
                return false;
        }
        const float recorded = play_timing::timestampRate(t[0], t[1]);
        if (recorded > 0)
            plan->rate = recorded;
    }
    plan->periodUs = play_timing::periodUs(plan->rate);
    return true;
}

std::unique_ptr<PlaybackSchedule> PlaybackEngine::schedule(const FrameIndex &index, const Options &options,
                                                           const Plan &plan, bool loop)
{
    PlaybackSchedule::FrameAtOrAfter frames = [index](qsizetype k) { return index.frameAtOrAfter(k); };
    if (!options.recordedTiming)
        return std::make_unique<PlaybackSchedule>(std::move(frames), plan.first, plan.last, loop,
                                                  plan.periodUs, options.speed);
    PlaybackSchedule::Timing timing;
    timing.recorded = [index](qsizetype k) {
        PlaybackSchedule::Recorded r;
        r.interval = index.interval(k, &r.stamped);
        return r;
    };
    timing.medianNs = plan.medianNs;
    timing.maxGapNs = std::llround(std::min(options.maxGap, 1e9) * 1e9);
    return std::make_unique<PlaybackSchedule>(std::move(frames), plan.first, plan.last, loop, timing,
                                              options.speed);
}

bool PlaybackEngine::start(const FrameIndex &index, const Options &options, qint64 chosen)
{
    std::lock_guard<std::mutex> sending(m_sendMutex);
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_generation;
    m_state = State::Idle;
    m_index = index;
    m_options = options;
    m_frame = -1;
    m_failed = -1;
    m_selfCheck.clear();
    Plan plan;
    if (!index.unchanged() || !PlaybackEngine::plan(index, options, &plan)) {
        m_state = State::FileChanged;
        return false;
    }
    m_rate = plan.rate;
    m_period = plan.periodUs;
    m_schedule = schedule(index, options, plan, options.loop);
    m_schedule->start(nowNs(), chosen < 0 ? -1 : entryOf(chosen));
    m_state = State::Playing;
    m_wake.notify_all();
    return true;
}

float PlaybackEngine::rate() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_rate;
}

quint32 PlaybackEngine::periodUs() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_period;
}

void PlaybackEngine::pause()
{
    std::lock_guard<std::mutex> sending(m_sendMutex);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_state != State::Playing)
        return;
    ++m_generation;
    m_state = State::Paused;
}

void PlaybackEngine::resume()
{
    std::lock_guard<std::mutex> sending(m_sendMutex);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_state != State::Paused)
        return;
    ++m_generation;
    m_schedule->resume(nowNs());
    m_state = State::Playing;
    m_wake.notify_all();
}

void PlaybackEngine::seek(qint64 frame)
{
    std::lock_guard<std::mutex> sending(m_sendMutex);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_state != State::Playing && m_state != State::Paused)
        return;
    ++m_generation;
    m_schedule->seek(nowNs(), entryOf(frame));
    m_state = State::Playing;
    m_wake.notify_all();
}

void PlaybackEngine::stop()
{
    std::lock_guard<std::mutex> sending(m_sendMutex);
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_generation;
    m_state = State::Idle;
}

PlaybackEngine::Progress PlaybackEngine::progress() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return {m_state, m_frame, m_failed};
}

PlaybackSelfCheck PlaybackEngine::selfCheck() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    PlaybackSelfCheck check = m_selfCheck;
    if (m_schedule && m_options.recordedTiming)
        check.setTimingEvents(m_schedule->outOfOrder(), m_schedule->shortened(), m_options.maxGap);
    return check;
}

void PlaybackEngine::finish(State state)
{
    m_state = state;
    report(true);
}

void PlaybackEngine::report(bool always)
{
    const qint64 now = nowNs();
    if (m_reportQueued || (!always && now - m_lastReport < kReportIntervalNs))
        return;
    m_reportQueued = true;
    m_lastReport = now;
    QMetaObject::invokeMethod(
        this,
        [this] {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_reportQueued = false;
            }
            emit progressed();
        },
        Qt::QueuedConnection);
}

bool PlaybackEngine::waitUntil(std::unique_lock<std::mutex> &lock, qint64 deadline, quint64 generation)
{
    const qint64 sleepFrom = deadline - kSleepFromNs;
    const std::chrono::steady_clock::time_point wake{std::chrono::nanoseconds(sleepFrom)};
    while (generation == m_generation && nowNs() < sleepFrom)
        m_wake.wait_until(lock, wake);
    if (generation != m_generation)
        return false;
    lock.unlock();
    sleepUntil(deadline);
    lock.lock();
    return generation == m_generation;
}

void PlaybackEngine::run()
{
    // This thread's sleeps end when asked, not up to 50 µs later.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    pthread_setname_np(pthread_self(), "ostrel-play");
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_quit || m_state == State::Playing; });
        if (m_quit)
            return;
        const quint64 generation = m_generation;
        const PlaybackSchedule::Step step = m_schedule->next();
        QByteArray bytes;
        FrameIndex::Read read = FrameIndex::Read::Ok;
        if (step.kind == PlaybackSchedule::Kind::Send) {
            // Read before the deadline, so reading adds nothing to the frame's lateness.
            const FrameIndex index = m_index;
            lock.unlock();
            read = index.wire(step.entry, &bytes);
            lock.lock();
            if (generation != m_generation)
                continue;
        }
        if (!m_options.topSpeed && !waitUntil(lock, step.deadline, generation))
            continue;
        if (step.kind != PlaybackSchedule::Kind::Send) {
            m_schedule->advance();
            if (step.kind == PlaybackSchedule::Kind::End)
                finish(State::Ended);
            continue;
        }
        if (read != FrameIndex::Read::Ok) {
            finish(State::FileChanged);
            continue;
        }

        lock.unlock();
        std::lock_guard<std::mutex> sending(m_sendMutex);
        lock.lock();
        if (generation != m_generation)
            continue;
        lock.unlock();
        // The options and the socket change only under m_sendMutex, which this thread holds.
        const qint64 late = m_options.topSpeed ? 0 : nowNs() - step.deadline;
        int failed = -1;
        for (size_t i = 0; i < m_options.destinations.size() && failed < 0; ++i) {
            const Destination &to = m_options.destinations[i];
            if (ap_udp_send(m_socket, bytes.constData(), int(bytes.size()), to.ip, to.port, kSendTimeoutUs) !=
                0)
                failed = int(i);
        }
        lock.lock();
        m_frame = qint64(m_index.first()) + step.entry;
        if (failed >= 0) {
            m_failed = failed;
            finish(State::SendFailed);
            continue;
        }
        m_schedule->advance();
        m_selfCheck.add(late);
        if (step.last)
            finish(State::Ended);
        else
            report(false);
    }
}

#include "moc_playback_engine.cpp"

#include "play/playback_engine.h"

#include "ap/ap_socket.h"
#include "play/play_timing.h"
#include "play/playback_schedule.h"

#include <QMetaObject>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <optional>
#include <pthread.h>
#include <sys/prctl.h>
#include <time.h>

namespace {
constexpr unsigned int kSendTimeoutUs = 5000000;
// Frames that are due together (top speed, catching up, high rates) leave in one system call, up to this
// many; control calls wait for at most one such batch.
constexpr size_t kBatchFrames = 64;
// What the read-ahead reads of the recording at once; it keeps up to two such batches ready.
constexpr qint64 kReadAheadBytes = 256 * 1024;
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

// The median of the recorded intervals (above 0) of the frames after entry `after` up to entry `last`: the
// lower of the two middle ones, as Recording info takes it. Nothing without any.
std::optional<float> medianInterval(const FrameIndex &index, qsizetype after, qsizetype last)
{
    std::vector<float> intervals;
    index.forEachFrame([&](qsizetype k, qint64, double seconds) {
        if (k > after && k <= last && seconds > 0)
            intervals.push_back(float(seconds));
    });
    if (intervals.empty())
        return std::nullopt;
    const size_t middle = (intervals.size() - 1) / 2;
    std::nth_element(intervals.begin(), intervals.begin() + qsizetype(middle), intervals.end());
    return intervals[middle];
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
        // The median of the intervals within what is played; the configured rate's period without any.
        if (const std::optional<float> median = medianInterval(index, plan->first, plan->last)) {
            plan->medianNs = std::llround(std::min(double(*median), 1e9) * 1e9);
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
    PlaybackSchedule::FrameAtOrAfter frames = [index, run = size_t(0)](qsizetype k) mutable {
        return index.frameAtOrAfter(k, &run);
    };
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

frame_lines::Shift PlaybackEngine::loopShift(const FrameIndex &index, const Plan &plan)
{
    frame_lines::Shift shift;
    const qsizetype first = index.frameAtOrAfter(plan.first);
    if (first < 0 || first > plan.last)
        return shift;
    shift.frames = qint64(plan.last) - first + 1;
    // The last frame played: the range may end in a run of lost frames.
    qsizetype last = plan.last;
    for (const FrameIndex::Run &run : index.lostRuns())
        if (run.first - index.first() <= last && last <= run.last - index.first())
            last = qsizetype(run.first - index.first()) - 1;
    // The time goes on in the recording's own last decimal place (at most nanoseconds), so that every pass
    // adds exactly the same and the doubles' rounding does not add up over the passes.
    double t0 = -1, t1 = -1;
    QByteArray bytes;
    for (auto [k, t] : {std::pair{first, &t0}, std::pair{last, &t1}}) {
        index.wire(k, &bytes, t);
        for (const QByteArray &line : bytes.split('\n'))
            if (frame_lines::isTimestampLine(line))
                shift.timeDecimals = qMax(shift.timeDecimals,
                                          qMin(9, frame_lines::decimalsOf(frame_lines::secondField(line))));
    }
    const double duration =
        frame_lines::isUsableTimestamp(t0) && frame_lines::isUsableTimestamp(t1) && t1 >= t0 ? t1 - t0 : 0;
    double interval = last > first ? duration / double(last - first) : 0;
    // The median as recorded timing takes it, so a pass's times follow the last frame of the pass before as
    // its first frame does.
    if (const std::optional<float> median = medianInterval(index, first, last)) {
        interval = double(*median);
        // It is a difference of two recorded times, which may have more decimals than the first and last
        // (0.25 s between "10.5" and "10.75"): as many as it takes, within what its float can tell.
        const double error = 2.5e-7 + std::fabs(interval) * 1.2e-7;
        for (double scale = std::pow(10.0, shift.timeDecimals);
             shift.timeDecimals < 9 &&
             std::fabs(interval * scale - std::round(interval * scale)) > error * scale + 1e-9;
             scale *= 10)
            ++shift.timeDecimals;
    }
    // Each rounded on its own: both are whole numbers of that place, which their doubles are close enough to.
    const double scale = std::pow(10.0, shift.timeDecimals);
    shift.timeUnits = std::llround(duration * scale) + std::llround(interval * scale);
    return shift;
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
    m_failedErrno = 0;
    m_selfCheck.clear();
    Plan plan;
    if (!index.unchanged() || !PlaybackEngine::plan(index, options, &plan)) {
        m_state = State::FileChanged;
        return false;
    }
    m_plan = plan;
    m_schedule = schedule(index, options, plan, options.loop);
    m_source = {index, plan.first, plan.last, options.loop, frame_lines::Shift(), m_source.started + 1};
    if (options.loop && options.continueNumbers)
        m_source.perPass = loopShift(index, plan);
    m_pass = m_framePass = 0;
    m_lastEntry = -1;
    m_schedule->start(nowNs(), chosen < 0 ? -1 : entryOf(chosen));
    m_state = State::Playing;
    m_wake.notify_all();
    return true;
}

float PlaybackEngine::rate() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_plan.rate;
}

quint32 PlaybackEngine::periodUs() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_plan.periodUs;
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
    // The frame after the chosen one goes on in the chosen one's pass; a frame not after it starts the next.
    m_lastEntry = entryOf(frame);
    m_state = State::Playing;
    m_wake.notify_all();
}

void PlaybackEngine::setSpeed(double speed)
{
    std::lock_guard<std::mutex> sending(m_sendMutex);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!(speed > 0) || !m_schedule || m_options.topSpeed)
        return;
    ++m_generation; // a wait under way is for a deadline of the old pace
    m_options.speed = speed;
    m_schedule->setSpeed(speed);
    m_wake.notify_all();
}

double PlaybackEngine::speed() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_options.speed;
}

PlaybackEngine::Plan PlaybackEngine::playing() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_plan;
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
    return {m_state, m_frame, m_failed, m_framePass, m_failedErrno};
}

FrameIndex::Read PlaybackEngine::sentWire(qint64 frame, qint64 pass, QByteArray *bytes) const
{
    Source source;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        source = m_source;
    }
    const frame_lines::Shift shift = source.perPass.times(pass);
    const qsizetype k = source.index.entryOf(frame);
    std::vector<qsizetype> ends;
    return source.index.wires(k, 0, bytes, &ends, k, shift.isNull() ? nullptr : &shift);
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

qint64 PlaybackEngine::passOf(qsizetype entry) const
{
    return m_lastEntry >= 0 && entry <= m_lastEntry ? m_pass + 1 : m_pass;
}

bool PlaybackEngine::readAhead(const Source &source, qsizetype k, qint64 pass)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        // The reader goes on where the batch in hand ends; a seek, a new playback or a reader that ran
        // out starts a new one at the frame wanted.
        qsizetype next = -1;
        qint64 nextPass = 0;
        if (m_reader && m_readerStarted == source.started && m_batch.first >= 0)
            m_reader->following(m_batch, &next, &nextPass);
        if (attempt > 0 || next != k || nextPass != pass) {
            m_reader.reset();
            WireReader::Options options;
            options.from = k;
            options.pass = pass;
            options.loop = source.loop;
            options.perPass = source.perPass;
            options.batchBytes = kReadAheadBytes;
            m_reader.reset(new WireReader(source.index, source.first, source.last, options));
            m_readerStarted = source.started;
        }
        m_batch = WireReader::Batch();
        if (m_reader->take(k, &m_batch, pass))
            return true;
        if (!m_batch.read)
            return false;
    }
    return false;
}

void PlaybackEngine::run()
{
    // This thread's sleeps end when asked, not up to 50 µs later.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    pthread_setname_np(pthread_self(), "ostrel-play");
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        if (m_reader && m_state != State::Playing && m_state != State::Paused) {
            // Over: the read-ahead's thread and batches go.
            std::unique_ptr<WireReader> reader = std::move(m_reader);
            m_batch = WireReader::Batch();
            lock.unlock();
            reader.reset();
            lock.lock();
            continue;
        }
        m_wake.wait(lock, [this] { return m_quit || m_state == State::Playing; });
        if (m_quit)
            return;
        const quint64 generation = m_generation;
        const PlaybackSchedule::Step step = m_schedule->next();
        bool read = true;
        if (step.kind == PlaybackSchedule::Kind::Send &&
            (m_readerStarted != m_source.started || !m_batch.holds(step.entry, passOf(step.entry)))) {
            // Read before the deadline, so reading adds nothing to the frame's lateness.
            const Source source = m_source;
            const qint64 pass = passOf(step.entry);
            lock.unlock();
            read = readAhead(source, step.entry, pass);
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
        if (!read) {
            finish(State::FileChanged);
            continue;
        }
        lock.unlock();
        std::lock_guard<std::mutex> sending(m_sendMutex);
        lock.lock();
        if (generation == m_generation)
            sendDue(lock);
    }
}

void PlaybackEngine::sendDue(std::unique_lock<std::mutex> &lock)
{
    // Bytes read ahead leave only while the file is still the one indexed: checked once per batch.
    if (!m_index.unchanged()) {
        finish(State::FileChanged);
        return;
    }
    // The frames due by now, in order, each to every destination in turn.
    const qint64 now = nowNs();
    const size_t destinations = m_options.destinations.size();
    m_due.clear();
    m_datagrams.clear();
    bool ended = false;
    while (m_due.size() < kBatchFrames && !ended) {
        const PlaybackSchedule::Step step = m_schedule->next();
        if (!m_options.topSpeed && step.deadline > now)
            break;
        if (step.kind == PlaybackSchedule::Kind::Prime) {
            m_schedule->advance();
            continue;
        }
        const qint64 pass = passOf(step.entry);
        if (step.kind != PlaybackSchedule::Kind::Send || !m_batch.holds(step.entry, pass))
            break; // the end, or a frame still to be read: on the next round
        const QByteArrayView wire = m_batch.wire(step.entry);
        for (const Destination &to : m_options.destinations)
            m_datagrams.push_back(
                {wire.data(), wire.size() > INT_MAX ? -1 : int(wire.size()), to.ip, to.port});
        m_due.push_back({step.entry, pass, step.deadline});
        m_pass = pass;
        m_lastEntry = step.entry;
        m_schedule->advance();
        ended = step.last;
    }
    if (m_due.empty())
        return;
    lock.unlock();
    // The options and the socket change only under m_sendMutex, which this thread holds.
    const qint64 sentAt = nowNs();
    const int count = int(m_datagrams.size());
    const int sent = ap_udp_send_batch(m_socket, m_datagrams.data(), count, kSendTimeoutUs);
    const int sendError = errno;
    lock.lock();
    const size_t whole = destinations == 0 ? m_due.size() : size_t(std::max(sent, 0)) / destinations;
    for (size_t i = 0; i < whole; ++i)
        m_selfCheck.add(m_options.topSpeed ? 0 : sentAt - m_due[i].deadline);
    if (sent < count) {
        // Frames before the failed one have gone out, and the destinations before it got that one too.
        m_frame = qint64(m_index.first()) + m_due[whole].entry;
        m_framePass = m_due[whole].pass;
        m_failed = int(size_t(std::max(sent, 0)) % destinations);
        m_failedErrno = sendError;
        finish(State::SendFailed);
        return;
    }
    m_frame = qint64(m_index.first()) + m_due.back().entry;
    m_framePass = m_due.back().pass;
    if (ended)
        finish(State::Ended);
    else
        report(false);
}

#include "moc_playback_engine.cpp"

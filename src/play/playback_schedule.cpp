#include "play/playback_schedule.h"

#include <cmath>

PlaybackSchedule::PlaybackSchedule(FrameAtOrAfter frames, qsizetype first, qsizetype last, bool loop,
                                   quint32 periodUs, double speed)
    : m_frames(std::move(frames)), m_first(qMax<qsizetype>(0, first)), m_last(last), m_loop(loop),
      m_slot(double(periodUs) * 1000.0 / (speed > 0 ? speed : 1.0)), m_speed(speed > 0 ? speed : 1.0)
{
}

PlaybackSchedule::PlaybackSchedule(FrameAtOrAfter frames, qsizetype first, qsizetype last, bool loop,
                                   const Timing &timing, double speed)
    : PlaybackSchedule(std::move(frames), first, last, loop, 1u, speed)
{
    m_recorded = true;
    m_timing = timing;
    m_timing.maxGapNs = qMax<qint64>(1, timing.maxGapNs);
    m_timing.medianNs = qBound<qint64>(1, timing.medianNs, m_timing.maxGapNs);
}

qsizetype PlaybackSchedule::frameFrom(qsizetype k) const
{
    if (k > m_last)
        return -1;
    const qsizetype found = m_frames(qMax(k, m_first));
    return found > m_last ? -1 : found;
}

void PlaybackSchedule::restartAt(qint64 now)
{
    m_base = now;
    m_slots = 0;
}

qint64 PlaybackSchedule::deadlineAt(qint64 at) const
{
    return m_base + qint64(std::llround(double(at) / m_speed));
}

void PlaybackSchedule::anchor(qint64 now, qsizetype k)
{
    m_base = now;
    m_cursor = k < 0 ? kEnd : k;
    m_anchored = true;
    m_previousAt = 0;
    m_stampedKnown = false;
}

PlaybackSchedule::Place PlaybackSchedule::place(qsizetype k) const
{
    const Recorded r = m_timing.recorded(k);
    if (m_anchored)
        return {0, r.stamped};
    // Without a timestamp, or one to measure from, the usual interval after the frame before.
    if (!r.stamped || !m_stampedKnown || std::isnan(r.interval))
        return {m_previousAt + m_timing.medianNs, r.stamped};
    if (r.interval < 0)
        return {m_previousAt, true, Event::SteppedBack};
    // Compared in seconds: a corrupt timestamp may lie beyond what nanoseconds in 64 bits hold.
    if (r.interval * 1e9 > double(m_timing.maxGapNs))
        return {qMax(m_previousAt, m_stampedAt + m_timing.maxGapNs), true, Event::Shortened};
    return {qMax(m_previousAt, m_stampedAt + qint64(std::llround(r.interval * 1e9))), true};
}

void PlaybackSchedule::advanceRecorded()
{
    if (m_cursor < 0)
        return;
    const qsizetype k = m_cursor;
    const Place p = place(k);
    if (k > m_counted) {
        m_counted = k;
        m_outOfOrder += p.event == Event::SteppedBack;
        m_shortened += p.event == Event::Shortened;
    }
    m_anchored = false;
    m_previousAt = p.at;
    if (p.stamped) {
        m_stampedAt = p.at;
        m_stampedKnown = true;
    }
    m_cursor = frameFrom(k + 1);
    if (m_cursor < 0 && m_loop)
        anchor(deadlineAt(m_previousAt + m_timing.medianNs), frameFrom(m_first));
    else if (m_cursor < 0)
        m_cursor = kEnd;
}

void PlaybackSchedule::start(qint64 now, qsizetype chosen)
{
    if (m_recorded) {
        const qsizetype k = chosen >= 0 ? frameFrom(chosen) : -1;
        anchor(now, k >= 0 ? k : frameFrom(m_first));
        return;
    }
    restartAt(now);
    m_cursor = chosen >= 0 ? frameFrom(chosen) : kPrime;
    if (m_cursor < 0)
        m_cursor = kPrime;
}

void PlaybackSchedule::resume(qint64 now)
{
    if (m_recorded) {
        // The frames after the next keep their recorded distance from it.
        const qint64 shift = m_cursor >= 0 ? place(m_cursor).at : m_previousAt;
        m_previousAt -= shift;
        m_stampedAt -= shift;
        m_base = now;
        return;
    }
    restartAt(now);
}

void PlaybackSchedule::seek(qint64 now, qsizetype chosen)
{
    const qsizetype found = frameFrom(chosen);
    if (m_recorded) {
        const qsizetype after = found < 0 ? -1 : frameFrom(found + 1);
        anchor(now, found < 0 || (after < 0 && m_loop) ? frameFrom(m_first) : after);
        return;
    }
    restartAt(now);
    if (found < 0) {
        m_cursor = kPrime; // not within what is played: from the start
        return;
    }
    m_cursor = frameFrom(found + 1);
    if (m_cursor < 0 && m_loop) {
        m_cursor = kPrime;
    } else if (m_cursor < 0) {
        m_cursor = kEnd;
        m_slots = -1; // a single playback ends now, not one period later
    }
}

void PlaybackSchedule::setSpeed(double speed)
{
    if (!(speed > 0))
        return;
    if (m_recorded) {
        // Anchored, the cursor's frame is due at m_base itself, which stays.
        const qint64 at = m_anchored ? 0 : m_previousAt;
        const qint64 previous = deadlineAt(at);
        m_speed = speed;
        m_base = previous - qint64(std::llround(double(at) / m_speed));
        return;
    }
    m_base += qint64(std::llround(double(m_slots) * m_slot));
    m_slots = 0;
    m_slot = m_slot * m_speed / speed;
    m_speed = speed;
}

PlaybackSchedule::Step PlaybackSchedule::next() const
{
    Step step;
    if (m_recorded) {
        if (m_cursor < 0) {
            step.deadline = m_anchored ? m_base : deadlineAt(m_previousAt);
            return step;
        }
        step.kind = Kind::Send;
        step.entry = m_cursor;
        step.deadline = deadlineAt(place(m_cursor).at);
        step.last = !m_loop && frameFrom(m_cursor + 1) < 0;
        return step;
    }
    step.deadline = m_base + qint64(std::llround(double(m_slots + 1) * m_slot));
    if (m_cursor == kEnd)
        return step;
    if (m_cursor == kPrime) {
        if (frameFrom(m_first) >= 0)
            step.kind = Kind::Prime; // else a recording with nothing to send ends at its priming slot
        return step;
    }
    step.kind = Kind::Send;
    step.entry = m_cursor;
    step.last = !m_loop && frameFrom(m_cursor + 1) < 0;
    return step;
}

void PlaybackSchedule::advance()
{
    if (m_recorded) {
        advanceRecorded();
        return;
    }
    const Step step = next();
    ++m_slots;
    switch (step.kind) {
    case Kind::Prime:
        m_cursor = frameFrom(m_first);
        break;
    case Kind::Send:
        m_cursor = frameFrom(step.entry + 1);
        if (m_cursor < 0)
            m_cursor = m_loop ? kPrime : kEnd;
        break;
    case Kind::End:
        break;
    }
}

#include "play/playback_schedule.h"

#include <cmath>

PlaybackSchedule::PlaybackSchedule(FrameAtOrAfter frames, qsizetype first, qsizetype last, bool loop,
                                   quint32 periodUs, double speed)
    : m_frames(std::move(frames)), m_first(qMax<qsizetype>(0, first)), m_last(last), m_loop(loop),
      m_slot(double(periodUs) * 1000.0 / (speed > 0 ? speed : 1.0))
{
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

void PlaybackSchedule::start(qint64 now, qsizetype chosen)
{
    restartAt(now);
    m_cursor = chosen >= 0 ? frameFrom(chosen) : kPrime;
    if (m_cursor < 0)
        m_cursor = kPrime;
}

void PlaybackSchedule::resume(qint64 now)
{
    restartAt(now);
}

void PlaybackSchedule::seek(qint64 now, qsizetype chosen)
{
    restartAt(now);
    const qsizetype found = frameFrom(chosen);
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

PlaybackSchedule::Step PlaybackSchedule::next() const
{
    Step step;
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

#include "capture/scheduled_frames.h"

#include "play/playback_schedule.h"

namespace {
// Read at once: small enough to stay in the processor's cache while its packets are made.
constexpr qint64 kBatchBytes = 256 << 10;
constexpr qint64 kProgressBytes = 1 << 20;
} // namespace

ScheduledFrames::ScheduledFrames(const FrameIndex &index, const PlaybackEngine::Options &options)
    : m_index(index)
{
    if (!index.unchanged() || !PlaybackEngine::plan(index, options, &m_plan))
        return;
    m_schedule = PlaybackEngine::schedule(index, options, m_plan, false);
    m_schedule->start(0);
}

ScheduledFrames::~ScheduledFrames() = default;

ScheduledFrames::Next ScheduledFrames::next(Frame *frame, const Progress &progress)
{
    if (m_started)
        m_schedule->advance();
    m_started = true;
    PlaybackSchedule::Step step = m_schedule->next();
    for (; step.kind == PlaybackSchedule::Kind::Prime; step = m_schedule->next())
        m_schedule->advance();
    if (step.kind == PlaybackSchedule::Kind::End)
        return Next::End;
    if (step.entry < m_batchFirst || step.entry >= m_batchFirst + qsizetype(m_ends.size())) {
        // Asked about every megabyte, as a batch of the reader's size once was.
        if (m_sinceProgress <= 0) {
            if (progress && !progress(step.entry - m_plan.first, m_plan.last - m_plan.first + 1))
                return Next::Cancelled;
            m_sinceProgress = kProgressBytes;
        }
        m_batchFirst = step.entry;
        if (m_index.raws(step.entry, kBatchBytes, &m_raw, &m_ends, m_plan.last) != FrameIndex::Read::Ok ||
            m_ends.empty())
            return Next::Changed;
        m_sinceProgress -= m_raw.size();
    }
    if (m_firstDeadline < 0)
        m_firstDeadline = step.deadline;
    frame->entry = step.entry;
    frame->timeNs = step.deadline - m_firstDeadline;
    const size_t i = size_t(step.entry - m_batchFirst);
    const qsizetype begin = i == 0 ? 0 : m_ends[i - 1];
    frame->raw = QByteArrayView(m_raw.constData() + begin, m_ends[i] - begin);
    frame->readable = m_raw.constData() + m_raw.size();
    return Next::Frame;
}

qint64 ScheduledFrames::outOfOrder() const
{
    return m_schedule ? m_schedule->outOfOrder() : 0;
}

qint64 ScheduledFrames::shortened() const
{
    return m_schedule ? m_schedule->shortened() : 0;
}

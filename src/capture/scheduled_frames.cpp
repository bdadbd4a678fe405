#include "capture/scheduled_frames.h"

#include "play/playback_schedule.h"

ScheduledFrames::ScheduledFrames(const FrameIndex &index, const PlaybackEngine::Options &options)
{
    if (!index.unchanged() || !PlaybackEngine::plan(index, options, &m_plan))
        return;
    m_schedule = PlaybackEngine::schedule(index, options, m_plan, false);
    m_schedule->start(0);
    m_reader = std::make_unique<WireReader>(index, m_plan.first, m_plan.last);
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
    if (!m_batch.holds(step.entry)) {
        if (progress && !progress(step.entry - m_plan.first, m_plan.last - m_plan.first + 1))
            return Next::Cancelled;
        if (!m_reader->take(step.entry, &m_batch))
            return Next::Changed;
    }
    if (m_firstDeadline < 0)
        m_firstDeadline = step.deadline;
    frame->entry = step.entry;
    frame->timeNs = step.deadline - m_firstDeadline;
    frame->wire = m_batch.wire(step.entry);
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

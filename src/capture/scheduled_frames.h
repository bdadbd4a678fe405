// The frames a single playback of a recording would send, in its order and at its times on the playback
// schedule, each with its wire form, exactly what playback sends. The wire forms are read a batch ahead by
// a thread of their own (WireReader).
#pragma once

#include "play/playback_engine.h"
#include "recording/frame_index.h"
#include "recording/wire_reader.h"

#include <QByteArrayView>
#include <functional>
#include <memory>

class PlaybackSchedule;

class ScheduledFrames
{
public:
    struct Frame
    {
        qsizetype entry = -1;
        qint64 timeNs = 0;   // since the first frame
        QByteArrayView wire; // valid until the next call of next()
    };
    enum class Next
    {
        Frame,     // *frame is the next frame
        End,       // every frame was given
        Changed,   // the recording changed on disk since it was indexed
        Cancelled, // the progress function asked to stop
    };
    // Called before each batch is taken with the entries given so far and the entries to give.
    using Progress = std::function<bool(qint64 done, qint64 total)>;

    ScheduledFrames(const FrameIndex &index, const PlaybackEngine::Options &options);
    ~ScheduledFrames();

    // False when there is nothing to play: the recording changed on disk since it was indexed.
    bool planned() const { return m_schedule != nullptr; }
    const PlaybackEngine::Plan &plan() const { return m_plan; }
    Next next(Frame *frame, const Progress &progress);
    // Recorded timing: timestamps that stepped back, gaps shortened, so far.
    qint64 outOfOrder() const;
    qint64 shortened() const;

private:
    PlaybackEngine::Plan m_plan;
    std::unique_ptr<PlaybackSchedule> m_schedule;
    std::unique_ptr<WireReader> m_reader;
    WireReader::Batch m_batch;
    qint64 m_firstDeadline = -1;
    bool m_started = false;
};

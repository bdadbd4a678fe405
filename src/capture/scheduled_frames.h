// The frames a single playback of a recording would send, in its order and at its times on the playback
// schedule, each with its bytes in the file, read a batch at a time; FrameIndex::putWire() makes of them
// exactly what playback sends, in place where the caller wants it (no copy of the wire form between).
#pragma once

#include "play/playback_engine.h"
#include "recording/frame_index.h"

#include <QByteArray>
#include <QByteArrayView>
#include <functional>
#include <memory>
#include <vector>

class PlaybackSchedule;

class ScheduledFrames
{
public:
    struct Frame
    {
        qsizetype entry = -1;
        qint64 timeNs = 0;            // since the first frame
        QByteArrayView raw;           // valid until the next call of next()
        const char *readable = nullptr; // bytes after raw up to here may be read too (FrameIndex::putWire())
    };
    enum class Next
    {
        Frame,     // *frame is the next frame
        End,       // every frame was given
        Changed,   // the recording changed on disk since it was indexed
        Cancelled, // the progress function asked to stop
    };
    // Called about every megabyte read, with the entries given so far and the entries to give.
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
    FrameIndex m_index;
    QByteArray m_raw; // the batch read: entries m_batchFirst on, entry m_batchFirst + i ending at m_ends[i]
    std::vector<qsizetype> m_ends;
    qsizetype m_batchFirst = -1;
    qint64 m_sinceProgress = 0; // bytes to read before progress is asked again
    qint64 m_firstDeadline = -1;
    bool m_started = false;
};

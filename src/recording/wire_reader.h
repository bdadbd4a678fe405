// The wire forms of the frames a pass over a recording sends, read a batch at a time by a thread of its own,
// at most two batches ahead of the one taken, so neither a playback nor an export waits for the file
// frame by frame.
#pragma once

#include "recording/frame_index.h"
#include "recording/frame_lines.h"

#include <QByteArray>
#include <QByteArrayView>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

class WireReader
{
public:
    struct Batch
    {
        qsizetype first = -1; // the entry wires begins with
        qint64 pass = 0;      // the pass of a loop it belongs to
        QByteArray wires;
        std::vector<qsizetype> ends; // where the wire form of entry first + i ends
        bool read = true;            // false: the file changed

        bool holds(qsizetype k, qint64 inPass = 0) const
        {
            return inPass == pass && k >= first && k < first + qsizetype(ends.size());
        }
        // The wire form of entry k, which the batch holds.
        QByteArrayView wire(qsizetype k) const
        {
            const size_t i = size_t(k - first);
            const qsizetype begin = i == 0 ? 0 : ends[i - 1];
            return QByteArrayView(wires.constData() + begin, ends[i] - begin);
        }
    };
    struct Options
    {
        qsizetype from = -1; // the entry to begin with; -1: first
        qint64 pass = 0;     // the pass it belongs to
        bool loop = false;   // after last, on from first again, pass after pass
        // Added to each later pass's numbers and times once per pass (see frame_lines::appendShifted).
        frame_lines::Shift perPass;
        qint64 batchBytes = 1 << 20; // of the recording, read at once
    };

    // The frames of entries first..last, in order.
    WireReader(const FrameIndex &index, qsizetype first, qsizetype last, const Options &options);
    WireReader(const FrameIndex &index, qsizetype first, qsizetype last)
        : WireReader(index, first, last, Options())
    {
    }
    ~WireReader();
    WireReader(const WireReader &) = delete;
    WireReader &operator=(const WireReader &) = delete;

    // The batch that holds entry k of the pass into *batch, passing over the ones before it; false when the
    // file changed (batch->read is then false) or the frames ended before it.
    bool take(qsizetype k, Batch *batch, qint64 pass = 0);
    // The entry and pass of the frame that follows the last one of batch in this reader's order; entry -1
    // after the last frame of a pass that does not loop.
    void following(const Batch &batch, qsizetype *k, qint64 *pass) const;

private:
    void run(qsizetype k, qint64 pass);

    const FrameIndex m_index;
    const qsizetype m_first;
    const qsizetype m_last;
    const Options m_options;
    std::deque<Batch> m_ready;
    bool m_done = false;
    bool m_stop = false;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::thread m_thread;
};

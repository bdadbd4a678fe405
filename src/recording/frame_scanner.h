// One pass over a recording: checks its frame numbering, counts lost frames and builds the frame index
// (where each frame number's text lies in the file, an empty entry for a lost frame, and the recorded
// interval before each frame). A large file is scanned in parts at once, one a core, split where
// frame-counter lines begin, and their indexes joined: the result is the one a single pass gives. Free of
// widgets; the window shows the messages.
#pragma once

#include "recording/frame_index.h"

#include <QString>
#include <QtGlobal>
#include <functional>
#include <vector>

class FrameScanner
{
public:
    enum class Status
    {
        Ok,                 // playable; lost frames, if any, are listed in the result
        OpenFailed,         // the file cannot be opened (or is not a regular file)
        FirstNumberInvalid, // the first line is a frame-counter line without a number; reported silently
        BadNumbering,       // a frame number did not increase or is negative, or the index would be too large
        ReadFailed,         // the file failed in the middle of the data
        Cancelled,          // the progress function asked to stop
    };

    // Where BadNumbering found a number no larger than the one before it (a source that started over): the
    // frame-counter line at byte offset reads frame after frame `after`. offset is -1 for the other causes
    // (no frame before it, a negative first number, an index too large).
    struct Break
    {
        qint64 offset = -1;
        qint64 frame = 0;
        qint64 after = 0;
    };

    struct Result
    {
        Status status = Status::Ok;
        qint64 first_frame = 0; // 0 whenever the scan fails
        qint64 last_frame = 0;
        qint64 lost_count = 0;
        Break broken; // BadNumbering only

        bool ok() const { return status == Status::Ok; }
    };

    // The most frames the scanner indexes: 2^27, about 26 days of frames at 60 Hz. Each costs
    // FrameIndex::kBytesPerFrame, so this caps the index at 1.5 GiB; lost frames cost nothing.
    static constexpr qint64 kMaxFrames = qint64(1) << 27;
    // Bytes read per call; lines are found in memory, not one read per line.
    static constexpr qsizetype kDefaultChunkSize = qsizetype(1) << 20;

    // A file is scanned in as many parts as the machine has cores, each of at least so many bytes.
    static constexpr qint64 kMinPartBytes = qint64(16) << 20;

    // Called on the calling thread with the bytes all parts have scanned so far and the file's size: before
    // every read of the first part, then whenever another part has read, until all are done. False cancels
    // the scan, every part of it.
    using Progress = std::function<bool(qint64 scanned, qint64 size)>;

    // When each datagram of a recording made from a capture was captured (seconds since the epoch): datagram
    // i ends at byte ends[i] of the recording.
    struct DatagramTimes
    {
        std::vector<qint64> ends;
        std::vector<double> seconds;
    };

    // Opens the file itself (read-only) and scans it into index. The index is replaced only when the scan
    // succeeds (Ok); otherwise it stays as it was. With times, a frame without a usable timestamp of its
    // own is timed by the capture time of the datagram its frame-counter line lies in: that far after the
    // last frame before it that has one, so the sender's clock and the capture's are never mixed; that
    // carries from frame to frame, so such a scan is one pass. parts: 0 as said above; n > 0 splits any file
    // at the first frame-counter line at or after each n-th of it (fewer parts where there is none).
    static Result scan(const QString &fileName, FrameIndex &index, qsizetype chunkSize = kDefaultChunkSize,
                       const Progress &progress = Progress(), const DatagramTimes *times = nullptr,
                       int parts = 0);
};

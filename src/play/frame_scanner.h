// One pass over a recording: checks its frame numbering, counts lost frames and builds the frame index
// (where each frame number's text lies in the file, an empty entry for a lost frame). Free of widgets; the
// window shows the messages.
#pragma once

#include "frame_index.h"

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
        OpenFailed,         // the file cannot be opened (or is not a regular file); the index is unchanged
        FirstNumberInvalid, // the first line is a frame-counter line without a number; reported silently
        BadNumbering,       // a frame number did not increase, is negative, or the gap is too large
        ReadFailed,         // the file failed in the middle of the data; the index is empty
        Cancelled,          // the progress function asked to stop; the index is unchanged
    };

    struct Result
    {
        Status status = Status::Ok;
        quint32 first_frame = 0; // 0 whenever the scan fails
        quint32 last_frame = 0;
        qint64 lost_count = 0;
        std::vector<int> lost_numbers; // the first kNotedLostFrames lost numbers

        bool ok() const { return status == Status::Ok; }
        // "Lost frame number 3:  5 6 9", "..." appended when more were lost than noted; empty when none.
        QString lostFramesText() const;
    };

    static constexpr int kNotedLostFrames = 10;
    // The largest frame index the scanner builds: 2^27 entries, about 26 days of frames at 60 Hz. Each
    // entry, even an empty one for a lost frame, costs FrameIndex::kBytesPerEntry (8 bytes), so this caps
    // the index at 1 GiB; a frame number far beyond the others (a damaged or foreign file) is refused as
    // bad numbering instead of exhausting memory.
    static constexpr qint64 kMaxEntries = qint64(1) << 27;
    // Bytes read per call; lines are found in memory, not one read per line.
    static constexpr qsizetype kDefaultChunkSize = qsizetype(1) << 20;

    // Called before every read with the bytes scanned so far and the file's size; false cancels the scan.
    using Progress = std::function<bool(qint64 scanned, qint64 size)>;

    // Opens the file itself (read-only) and scans it into index. The index is replaced unless the file
    // cannot be opened or the scan is cancelled; on BadNumbering it holds the entries built up to the
    // offending frame-counter line.
    static Result scan(const QString &fileName, FrameIndex &index, qsizetype chunkSize = kDefaultChunkSize,
                       const Progress &progress = Progress());
};

// One pass over a recording: checks its frame numbering, counts lost frames and builds the frame index
// (one text per frame number, empty for a lost frame). Free of widgets; the window shows the messages.
#pragma once

#include <QString>
#include <QtGlobal>
#include <vector>

class QIODevice;

class FrameScanner
{
public:
    enum class Status
    {
        Ok,                 // playable; lost frames, if any, are listed in the result
        OpenFailed,         // the file cannot be opened; the frame list is unchanged
        FirstNumberInvalid, // the first line is a frame-counter line without a number; reported silently
        BadNumbering,       // a frame number did not increase, is negative, or the gap is too large
        ReadFailed,         // the device failed in the middle of the data; the index is incomplete
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
    // The largest frame index the scanner builds: 2^26 entries, about 13 days of frames at 60 Hz. Each
    // entry, even an empty one for a lost frame, costs a QString (24 bytes), so this caps the index itself
    // at 1.5 GiB; a frame number far beyond the others (a damaged or foreign file) is refused as bad
    // numbering instead of exhausting memory.
    static constexpr qint64 kMaxEntries = qint64(1) << 26;
    // Bytes read per call; lines are found in memory, not one read per line.
    static constexpr qsizetype kDefaultChunkSize = qsizetype(1) << 20;

    // Opens the file itself (read-only) and scans it into frames. The frame list is cleared once the file
    // is open; on BadNumbering it keeps the entries built up to the offending frame-counter line.
    static Result scan(const QString &fileName, std::vector<QString> &frames,
                       qsizetype chunkSize = kDefaultChunkSize);
    // Scans an open, readable device from its current position to its end. A device in text mode is read
    // raw for the scan and given back in text mode: the line rule of frame_lines::takeLine() applies.
    static Result scan(QIODevice &device, std::vector<QString> &frames,
                       qsizetype chunkSize = kDefaultChunkSize);
};

// A range of a recording's frames written as a recording of its own. The frames of a range lie one after the
// other in the file (a lost frame takes no bytes), so the range is one byte range, and writing it is one
// copy of those bytes: copy_file_range, which lets a file system that can share blocks do so.
#pragma once

#include "recording/frame_index.h"

#include <QString>
#include <QtGlobal>
#include <functional>

namespace frame_range_copy {

// The frames of a range: their byte range in the file and their numbers.
struct Range
{
    qint64 begin = 0; // bytes of the file, begin included, end not
    qint64 end = 0;
    qint64 frames = 0; // frames the range holds, lost ones not counted
    qint64 firstFrame = 0;
    qint64 lastFrame = 0;

    bool isEmpty() const { return frames == 0; }
};

// The frames numbered from..until that the index holds; empty when it holds none of them.
Range framesBetween(const FrameIndex &index, qint64 from, qint64 until);

// The frames recorded from start seconds after the first frame's timestamp up to (not including) start +
// duration; a frame without a timestamp of its own goes with the last one before it that has one. False
// when the recording has no timestamps (nor capture times) to go by.
bool framesWithin(const FrameIndex &index, double start, double duration, Range *range);

// Told the bytes copied so far and how many there are; false cancels.
using Progress = std::function<bool(qint64 copied, qint64 total)>;

enum class Status
{
    Ok,
    Changed,   // the recording is no longer the one indexed
    Failed,    // reading or writing failed; *why says which
    Cancelled, // progress asked to stop; nothing is left
};

// Writes the range of the index's recording to file, through FILE.part renamed to FILE when whole (with
// force, an existing FILE.part is replaced). On failure no FILE.part is left, and *why says why.
Status save(const FrameIndex &index, const Range &range, const QString &file, bool force,
            const Progress &progress, QString *why);

// Copies bytes begin..end of descriptor from to the end of descriptor to, in pieces after each of which
// progress (may be empty) is asked; a file system that cannot copy between the two is read and written.
Status copyBytes(int from, qint64 begin, qint64 end, int to, const Progress &progress, QString *why);

// Starts writing what is written to fd so far to the disk, without waiting: the fsync before a rename then
// finds most of it written, and the disk works while the copy goes on.
void startWriteBack(int fd);

} // namespace frame_range_copy

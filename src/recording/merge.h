// Recordings of one stream made into one: the frames of all inputs in frame-number order, each frame once,
// taken from the first input that has it. Inputs recorded one after the other (parts) are joined, inputs
// recorded at the same time (two receivers of one group) are united, each filling the other's lost frames.
// Planned in one pass over the inputs, which refuses inputs that cannot be one stream before anything is
// written; written in a second, as one copy of a byte range per run of frames from one input. What either
// pass holds grows with the inputs and the runs of lost frames, not with the frames.
#pragma once

#include "recording/frame_index.h"
#include "recording/frame_range_copy.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <memory>
#include <vector>

namespace merge {

// The inputs held open from the plan to the write.
struct Opened;

// What came from one input.
struct Input
{
    QString file;
    qint64 taken = 0; // frames taken from it
    bool filling =
        false; // its frame numbers overlap an input's before it: what it gave filled that one's gaps
};

struct Plan
{
    enum class Status
    {
        Ok,
        OpenFailed,   // an input cannot be opened or read; why names it
        NotOneStream, // an input's numbering cannot be part of the stream; why names it and the frame
        NoFrames,     // no input holds a frame
    };
    Status status = Status::Ok;
    QString why;
    std::vector<Input> inputs;
    qint64 first = 0; // frame numbers of the merged recording
    qint64 last = 0;
    std::vector<FrameIndex::Run> lost; // lost in every input
    qint64 differing = 0;              // frames some input's copy of which differs from the copy taken

    qint64 lostCount() const;
    // The bytes the merged recording takes: its pieces'.
    qint64 bytes() const;
    bool ok() const { return status == Status::Ok; }
    // "frames 1–120000: 119,210 from a.orf, 788 filled from b.orf, 2 still lost (frames 5001, 9999)", and
    // a line on differing copies when there are any.
    QString summary() const;
    QJsonObject json() const;

    // Runs of bytes to copy, in order, and the inputs they are copied from.
    struct Piece
    {
        int input;
        qint64 begin;
        qint64 end;
    };
    std::vector<Piece> pieces;
    std::shared_ptr<Opened> opened;
};

// Reads the inputs once and plans the merge; progress (may be empty) hears of the bytes read of all.
Plan plan(const QStringList &inputs, const frame_range_copy::Progress &progress = {});

// Writes a planned merge to file through FILE.part (with force, replacing one left before); false with the
// reason in *why, no FILE.part left. An input that changed since it was planned fails the write.
bool write(const Plan &plan, const QString &file, bool force, QString *why,
           const frame_range_copy::Progress &progress = {});

} // namespace merge

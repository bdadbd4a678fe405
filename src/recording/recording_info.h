// What a recording holds, as `orf info` prints it and the window's Recording info shows it: its frames, the
// runs of lost frames, duration and mean rate from the timestamps, the recorded interval between frames,
// whether it can be played and why not, and the marks the window draws along its slider. Computed once
// after the scan, in one pass over the frame index.
#pragma once

#include "recording/frame_index.h"
#include "recording/frame_scanner.h"

#include <QJsonObject>
#include <QString>
#include <QtGlobal>
#include <optional>
#include <vector>

class RecordingInfo
{
public:
    // What a capture read as this recording contributed, in the words of the capture reader.
    struct CaptureDetails
    {
        QString portChoice;  // one line: the port taken and why
        QString summary;     // one line: what was kept, passed over, put together and dropped
        QString cutNote;     // one line when the capture was cut short; empty for a whole one
        QString snaplenNote; // one line when datagrams were cut by the snapshot length and left out
        QJsonObject json;    // `orf info --json`'s "capture" object
    };

    struct Intervals
    {
        bool known = false; // at least one interval between two recorded timestamps
        double median_ms = 0;
        double p99_ms = 0;
        double max_ms = 0;
    };
    // A run of lost frames, or a frame whose interval before it is more than twice the median.
    struct Mark
    {
        enum Kind
        {
            Lost,
            Late,
        };
        qint64 first = 0;
        qint64 last = 0;
        Kind kind = Lost;
        double seconds = 0; // Late: the interval before the frame
    };

    // From a finished scan of file into index (the index is only read when the scan succeeded). *changed
    // is set when the file changed while its frames were read.
    static RecordingInfo of(const QString &file, const FrameIndex &index, const FrameScanner::Result &scan,
                            bool *changed = nullptr);

    QString file;
    qint64 bytes = 0;
    qint64 frames = 0;
    qint64 first_frame = -1; // of the frames held; -1 without any
    qint64 last_frame = -1;
    qint64 lost = 0;
    std::vector<FrameIndex::Run> lost_runs;
    bool timed = false; // increasing timestamps in the first and last frame
    double duration_s = 0;
    double mean_rate_hz = 0;
    Intervals intervals;
    QString reason; // why it cannot be played; empty when it can
    // Where the frame numbers stopped increasing (a source that started over), when the scan found it.
    FrameScanner::Break broken;
    // Frames whose wire form does not fit into a datagram: playback stops at the first. The first
    // kListedTooLarge of them, and how many there are.
    struct TooLarge
    {
        qint64 frame = 0;
        qint64 bytes = 0; // on the wire
    };
    static constexpr int kListedTooLarge = 1000;
    std::vector<TooLarge> too_large;
    qint64 too_large_count = 0;
    std::vector<Mark> marks;
    // For a recording read from a capture (file then names the capture): the port taken and what the
    // reading kept, passed over and dropped.
    std::optional<CaptureDetails> capture;

    bool playable() const { return reason.isEmpty(); }
    // Not one frame fits into a datagram: nothing could be sent.
    bool nothingFits() const { return frames > 0 && too_large_count == frames; }
    // `orf info --json`'s object.
    QJsonObject json() const;
    // `orf info`'s lines.
    QString text() const;
    // Where the numbers stopped increasing: "frame 1 after frame 100, at byte 12345" (a capture's without
    // the byte).
    QString brokenText() const;
    // The lost frames as the window's message says them: "Lost frame number 3:  5 6 9", the first ten
    // numbers, then "..."; empty when none was lost.
    QString lostFramesText() const;
    // The lost frame numbers alone: "5 6 9", or "5 6 and 12 more" beyond `listed`.
    QString lostNumbers(int listed = 1000) const;
    // The frames too large to send: "201 (65509 bytes), 305 (70008 bytes)", then " and N more" beyond
    // `listed`.
    QString tooLargeFrames(int listed = kListedTooLarge) const;

    // The first lost frame numbers, at most so many.
    std::vector<qint64> lostFrameNumbers(qint64 most) const;

    // The reason given for a recording whose numbering is broken, as the window's message says it.
    static QString badNumberingText();
    // "a datagram holds at most 65,507", as every message about a frame too large says it.
    static QString datagramLimitText();

private:
    // The first `listed` lost numbers, separated by spaces, then more when there are others.
    QString listedLostNumbers(int listed, const QString &more) const;
};

// The frame index of a recording: where each frame's text lies in the file, not the text itself, so a
// recording of gigabytes is indexed in a few bytes per frame. Entry k stands for frame number first() + k;
// lost frames take no memory: the index keeps runs of consecutive frames, and a gap between two runs is a
// run of lost frames, however long. A frame's text is read from the file when it is shown or sent, through
// the same line rules the scanner applies, and the file is checked to be the one scanned before it is
// trusted.
//
// Copies share the open file and the offsets; a copy is cheap and safe to hand to another thread, and
// reading entries (text(), wire()) may happen on several threads at once.
#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <functional>
#include <memory>
#include <vector>

namespace frame_lines {
struct Shift;
}

class FrameIndex
{
public:
    // What reading an entry gave.
    enum class Read
    {
        Ok,
        Changed, // the file is no longer the one scanned (truncated, replaced, removed, rewritten)
    };
    // Frame numbers first..last, all lost.
    struct Run
    {
        qint64 first = 0;
        qint64 last = 0;
        qint64 count() const { return last - first + 1; }
    };

    FrameIndex() = default;

    // Number of entries, lost ones included: last() - first() + 1 after a successful scan; 0 for an index
    // that describes no file.
    qsizetype size() const;
    bool isEmpty() const { return size() == 0; }
    qint64 first() const;
    qint64 last() const;
    QString fileName() const;
    // Frames the recording holds (lost ones not counted).
    qint64 frameCount() const;
    // The runs of lost frames, in order; entry 0 is never lost.
    std::vector<Run> lostRuns() const;
    qint64 lostCount() const;

    // Entry k for frame number n, or -1 when n lies outside the index.
    qsizetype entryOf(qint64 frame) const;
    // True when entry k holds a frame: not lost, and not the lines before the file's first frame-counter
    // line (those belong to no frame and are never sent).
    bool isFrame(qsizetype k) const;
    // The first entry at or after k that holds a frame, or -1.
    qsizetype frameAtOrAfter(qsizetype k) const { return frameAtOrAfter(k, nullptr); }
    // The same for a pass in order: *run (start it at 0) remembers the run of frames the last answer lay in,
    // which spares the search while k stays in it.
    qsizetype frameAtOrAfter(qsizetype k, size_t *run) const;

    // The entry's text as the window shows it: each line as read (CR LF reads as LF, a line ends at its first
    // NUL), bytes taken as Latin-1. Empty for a lost frame. Reads only this entry's bytes.
    Read text(qsizetype k, QString *text) const;
    // The entry as it goes on the wire: each line stripped of surrounding white space and ended with CR LF,
    // comment lines left out; *timestamp (may be null) gets the value of its last "ts " line, or -1.0.
    Read wire(qsizetype k, QByteArray *bytes, double *timestamp = nullptr) const;
    // Frames from entry k on, up to the next lost one and as many as lie within maxBytes of the file (at
    // least one), and none after entry last when it is given, read at once: their wire forms as wire() gives
    // them, one after the other in *bytes, entry k + i ending at (*ends)[i]; nothing when k holds no frame.
    // For a pass over many frames: one check of the file and one read instead of one of each per frame.
    // With a shift, the frames as a later pass of a loop whose numbers go on sends them (see
    // frame_lines::appendShifted).
    Read wires(qsizetype k, qint64 maxBytes, QByteArray *bytes, std::vector<qsizetype> *ends,
               qsizetype last = -1, const frame_lines::Shift *shift = nullptr) const;
    // The same frames as wires() reads (no shift), as they lie in the file: entry k + i's bytes end at
    // (*ends)[i] of *bytes. For a writer that makes the wire forms in place (putWire()).
    Read raws(qsizetype k, qint64 maxBytes, QByteArray *bytes, std::vector<qsizetype> *ends,
              qsizetype last = -1) const;
    // Room the wire form of raw bytes of a frame may take at out for putWire().
    static qsizetype wireRoom(qsizetype rawBytes) { return 2 * rawBytes + 2 + 64; }
    // Writes the wire form of a frame's raw bytes, as wire() gives it, at out, which has wireRoom() bytes;
    // bytes after raw up to readable (at least raw's end) may be read. Returns where the wire form ends.
    static char *putWire(QByteArrayView raw, char *out, const char *readable);
    // True while the file on disk is still the one scanned (same file, size and modification time).
    bool unchanged() const;

    // Calls f for each frame in order: its entry, the bytes it takes in the file, and its recorded interval:
    // the seconds since the last frame before it with a usable timestamp, when it has one too (else NaN). A
    // frame's timestamp is the one playback reads: the value of its last timestamp line (wire()), usable when
    // above 0; in a recording made from a capture, the capture time of its datagram when it has none.
    void forEachFrame(const std::function<void(qsizetype k, qint64 bytes, double seconds)> &f) const;
    // The frames' recorded intervals that are not NaN, in frame order: forEachFrame()'s seconds.
    std::vector<float> intervals() const;
    // Calls f as forEachFrame() does, for the frames of more than bytes in the file or with a recorded
    // interval of more than seconds only: a quick pass over many frames for a few of them.
    void forEachFrameAbove(qint64 bytes, double seconds,
                           const std::function<void(qsizetype k, qint64 bytes, double seconds)> &f) const;
    // Entry k's recorded interval as forEachFrame() gives it (NaN for a lost entry), and in *stamped whether
    // k has a usable timestamp: every frame with an interval, and the first frame with a timestamp.
    double interval(qsizetype k, bool *stamped = nullptr) const;

    // Bytes the index holds in memory per frame: its offset and its interval.
    static constexpr qint64 kBytesPerFrame = qint64(sizeof(qint64) + sizeof(float));

private:
    friend class FrameIndexBuilder;
    struct File; // the open file and the offsets, shared by copies
    // The entry's bytes as they lie in the file.
    Read raw(qsizetype k, QByteArray *bytes) const;
    Read readAt(qint64 begin, qint64 length, QByteArray *bytes) const;
    std::shared_ptr<const File> m_file;
};

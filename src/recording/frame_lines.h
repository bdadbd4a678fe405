// The line rules of a recording: how a line is read and what kind of line it is. The scanner and the
// playback reader both go through these, so the two always agree on what a frame is.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <cmath>
#include <cstring>

namespace frame_lines {

// Prefixes are case-sensitive and must stand at the very first character of the line.
inline constexpr char kFramePrefix[] = "fr ";
inline constexpr char kTimestampPrefix[] = "ts ";
inline constexpr qsizetype kPrefixLength = 3;

bool isFrameCounterLine(QByteArrayView line);
bool isTimestampLine(QByteArrayView line);

// The text between the first and the second space, or to the end of the line (line end included) when
// there is no second space. Every single space splits, so two spaces in a row give an empty field.
QByteArrayView secondField(QByteArrayView line);

// Decimal 64-bit signed integer in Latin-1 bytes, surrounding white space ignored, exactly as
// QString::toLongLong(): an optional sign, nothing else around the digits, out of range fails (*value is
// then 0).
bool parseNumber(QByteArrayView field, qint64 *value);
// A timestamp line's second field as playback reads it (QString::toDouble() of its Latin-1 text): 0.0 when
// it is no number. Plain decimals, nearly every timestamp, are read without building a string, as the scan of
// a whole recording reads one per frame. A timestamp is usable when it is finite and above 0.
double timestampValue(QByteArrayView field);
inline bool isUsableTimestamp(double seconds)
{
    return seconds > 0 && std::isfinite(seconds);
}

// A later pass of a loop whose numbers go on, as its frames' lines say it: every frame number plus frames,
// every timestamp plus timeUnits × 10^-timeDecimals seconds. The time is a decimal, so that pass after pass
// adds exactly the same to timestamps recorded in decimal.
struct Shift
{
    qint64 frames = 0;
    qint64 timeUnits = 0;
    int timeDecimals = 0;

    bool isNull() const { return frames == 0 && timeUnits == 0; }
    // The shift of the pass-th pass when this is one pass's; null when it would overflow.
    Shift times(qint64 pass) const;
};
enum class LineKind
{
    FrameCounter,
    Timestamp,
};
// Appends a frame-counter or timestamp line as it goes on the wire (stripped) with its second field moved
// on by shift, every other byte as it stands. A time keeps its number of decimals and is added to in
// decimal, so "1700000000.123456" loses no digit; a field that is no number stays as it is.
void appendShifted(QByteArrayView line, LineKind kind, const Shift &shift, QByteArray *out);
// The digits after the decimal point of a number as written ("100.250": 3).
int decimalsOf(QByteArrayView field);

// Applies the line-reading rule to one raw line (its bytes up to and including its LF, or up to the end
// of the file for a last line without LF). Returns the text of the line without its line end and sets
// *lineEnd when an LF belongs to the line as read:
//  - the line is taken only up to its first NUL byte; a line cut this way has no line end;
//  - otherwise a CR right before the LF is dropped (CR LF reads as LF); any other CR is an ordinary
//    character, including a CR at the very end of the file.
// This is what Qt 6's QFile::readLine() does in QIODevice::Text mode plus the NUL cut of a QString made
// from the bytes. We apply it ourselves on raw bytes because QIODevice::Text is not consistent across
// read paths (seen with Qt 6.4): QFile::read()/readAll() and every read of a QBuffer in text mode drop every
// CR, lone ones too, which would make the scanner's bulk reads disagree with line reads.
QByteArrayView takeLine(QByteArrayView rawLine, bool *lineEnd);
// Where the raw line that starts at begin ends: just after its LF, or at end when it has none.
inline const char *rawLineEnd(const char *begin, const char *end)
{
    const void *lf = std::memchr(begin, '\n', size_t(end - begin));
    return lf ? static_cast<const char *>(lf) + 1 : end;
}

} // namespace frame_lines

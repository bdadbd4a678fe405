// The playback reader driven over a recording as the window drives it: reads one after the other, a seek
// to a frame number at some point, looping on or off. Every call must give one of its four results with
// the state that goes with it; where the scanner accepts the recording, the frames read one by one must be
// the scanner's frames as sent.
//
// Input: seven control bytes, then the recording.
//   0      flags: 1 loop, 2 start at the file's start (priming read), 4 seek, 8 text mode,
//          16 no timestamp pointer, 32 no frame_line_read pointer
//   1      number of calls, 1 to 256
//   2..5   seek target, a signed 32-bit number (little-endian)
//   6      the call before which the seek is made
#include "frame_lines.h"
#include "frame_reader.h"
#include "frame_scanner.h"
#include "fuzz_check.h"

#include <QBuffer>
#include <cstdint>
#include <vector>

namespace {

constexpr size_t kControlBytes = 7;

struct Control
{
    bool loop = false;
    bool prime = false;
    bool seek = false;
    bool text = false;
    bool timestampPointer = true;
    bool frameLineReadPointer = true;
    int calls = 1;
    int seekTarget = 0;
    int seekBefore = 0;
};

Control control(const uint8_t *data)
{
    Control c;
    c.loop = data[0] & 1;
    c.prime = data[0] & 2;
    c.seek = data[0] & 4;
    c.text = data[0] & 8;
    c.timestampPointer = !(data[0] & 16);
    c.frameLineReadPointer = !(data[0] & 32);
    c.calls = 1 + data[1];
    c.seekTarget =
        int(quint32(data[2]) | quint32(data[3]) << 8 | quint32(data[4]) << 16 | quint32(data[5]) << 24);
    c.seekBefore = data[6] % c.calls;
    return c;
}

// A frame text as the reader builds it: stripped lines, each ended with CR LF. No line of it can hold an
// LF, and no comment line gets in.
void checkFrameText(const QString &text)
{
    if (text.isEmpty())
        return;
    FUZZ_CHECK(text.endsWith(QLatin1String("\r\n")));
    const QStringList lines = text.split(QLatin1String("\r\n"));
    for (const QString &line : lines) {
        FUZZ_CHECK(!line.contains(QLatin1Char('\n')));
        FUZZ_CHECK(line == line.trimmed());
        FUZZ_CHECK(!line.startsWith(QLatin1Char('#')));
    }
}

void driveAsTheWindowDoes(const Control &c, const QByteArray &recording)
{
    QBuffer file;
    file.setData(recording);
    file.open(c.text ? QIODevice::ReadOnly | QIODevice::Text : QIODevice::ReadOnly);
    const bool anyTimestampLine = recording.contains("ts ");

    QString display_text;
    QString next_frame_line;
    int current_frame = 0;
    bool slider_moved = false;
    for (int call = 0; call < c.calls; ++call) {
        if (c.seek && call == c.seekBefore) {
            file.seek(0);
            current_frame = c.seekTarget;
            slider_moved = true;
        }
        const bool seeking = slider_moved;
        const int frameBefore = current_frame;
        const QString lineBefore = next_frame_line;
        double timestamp = c.prime && call == 0 ? FrameReader::kAtStart : 0.0;
        bool frame_line_read = true;
        const int r = FrameReader::readNextFrame(file, display_text, next_frame_line, current_frame,
                                                 slider_moved, c.timestampPointer ? &timestamp : nullptr,
                                                 c.loop, c.frameLineReadPointer ? &frame_line_read : nullptr);
        FUZZ_CHECK(file.isTextModeEnabled() == c.text);
        checkFrameText(display_text);
        if (c.frameLineReadPointer)
            FUZZ_CHECK(frame_line_read == (!seeking && r == FrameReader::kFrameRead));
        if (c.timestampPointer && !seeking && !anyTimestampLine)
            FUZZ_CHECK(timestamp == FrameReader::kNoTimestamp);

        if (seeking) {
            FUZZ_CHECK(r == FrameReader::kFrameRead || r == FrameReader::kSeekFailed);
            FUZZ_CHECK(current_frame == frameBefore);
            FUZZ_CHECK(next_frame_line == lineBefore);
            if (r == FrameReader::kFrameRead) {
                FUZZ_CHECK(!slider_moved);
                const QString target = QStringLiteral("fr %1").arg(frameBefore);
                FUZZ_CHECK(display_text.contains(target));
            } else {
                FUZZ_CHECK(slider_moved);
                FUZZ_CHECK(file.atEnd());
                // As the window does when the index does not describe the file: play from the start.
                slider_moved = false;
                file.seek(0);
            }
            continue;
        }
        switch (r) {
        case FrameReader::kFrameRead: {
            FUZZ_CHECK(frame_lines::isFrameCounterLine(next_frame_line));
            int number = 0;
            frame_lines::parseInt(frame_lines::secondField(next_frame_line), &number);
            FUZZ_CHECK(current_frame == number);
            break;
        }
        case FrameReader::kEndOfFile:
            FUZZ_CHECK(!c.loop);
            FUZZ_CHECK(file.atEnd());
            break;
        case FrameReader::kRewound:
            FUZZ_CHECK(c.loop);
            FUZZ_CHECK(file.pos() == 0);
            break;
        default:
            FUZZ_CHECK(false && "result out of range");
        }
    }
}

// The frames the scanner indexes, read one by one from the start: each as the reader sends it.
QString asSent(const QString &entry)
{
    QStringList lines = entry.split(QLatin1Char('\n'));
    if (entry.endsWith(QLatin1Char('\n')))
        lines.removeLast();
    QString text;
    for (const QString &line : lines) {
        if (!frame_lines::isCommentLine(line))
            text += line.trimmed() + QLatin1String("\r\n");
    }
    return text;
}

// Only for recordings the comparison is meant for: starting with a frame-counter line (the scanner drops
// any other first line), without NUL bytes (the scanner joins a line cut at a NUL with the next one, the
// reader sends them apart), and with frame numbers close enough that the index stays small.
bool comparable(const QByteArray &recording)
{
    if (!recording.startsWith(frame_lines::kFramePrefix) || recording.contains('\0'))
        return false;
    QBuffer file;
    file.setData(recording);
    file.open(QIODevice::ReadOnly);
    QString line;
    bool first = true;
    qint64 firstNumber = 0;
    while (frame_lines::readLine(file, &line)) {
        if (!frame_lines::isFrameCounterLine(line))
            continue;
        int number = 0;
        frame_lines::parseInt(frame_lines::secondField(line), &number);
        if (first)
            firstNumber = number;
        first = false;
        if (qint64(number) - firstNumber > (1 << 16))
            return false;
    }
    return true;
}

void compareWithScanner(const Control &c, const QByteArray &recording)
{
    if (!comparable(recording))
        return;
    QBuffer file;
    file.setData(recording);
    file.open(QIODevice::ReadOnly);
    std::vector<QString> frames;
    const FrameScanner::Result scanned = FrameScanner::scan(file, frames);
    if (!scanned.ok())
        return;

    file.seek(0);
    QString display_text;
    QString next_frame_line;
    int current_frame = 0;
    bool slider_moved = false;
    double timestamp = FrameReader::kAtStart;
    int r = FrameReader::readNextFrame(file, display_text, next_frame_line, current_frame, slider_moved,
                                       &timestamp, c.loop, nullptr);
    FUZZ_CHECK(r == FrameReader::kFrameRead);
    FUZZ_CHECK(display_text.isEmpty());
    size_t remaining = 0;
    for (const QString &entry : frames)
        remaining += entry.isEmpty() ? 0 : 1;
    for (size_t i = 0; i < frames.size(); ++i) {
        if (frames[i].isEmpty())
            continue; // a lost frame
        FUZZ_CHECK(current_frame == int(scanned.first_frame + i));
        timestamp = 0.0; // fresh for every read, as the window passes it
        r = FrameReader::readNextFrame(file, display_text, next_frame_line, current_frame, slider_moved,
                                       &timestamp, c.loop, nullptr);
        FUZZ_CHECK(display_text == asSent(frames[i]));
        const int expected = --remaining > 0 ? FrameReader::kFrameRead
                             : c.loop        ? FrameReader::kRewound
                                             : FrameReader::kEndOfFile;
        FUZZ_CHECK(r == expected);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < kControlBytes)
        return 0;
    const Control c = control(data);
    const QByteArray recording(reinterpret_cast<const char *>(data + kControlBytes),
                               qsizetype(size - kControlBytes));
    driveAsTheWindowDoes(c, recording);
    compareWithScanner(c, recording);
    return 0;
}

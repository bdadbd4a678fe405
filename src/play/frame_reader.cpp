#include "frame_reader.h"

#include "frame_lines.h"

#include <QIODevice>

namespace {

const QString kLineEnd = QStringLiteral("\r\n");

void appendStripped(QString &text, const QString &line)
{
    text += line.trimmed();
    text += kLineEnd;
}

} // namespace

bool FrameReader::isSeekTarget(QStringView line, int frame)
{
    const QString target = QStringLiteral("fr %1").arg(frame);
    if (!line.startsWith(target))
        return false;
    // "fr 1" must not stop at "fr 12": when frame 1 is missing from the file the seek has to fail so that
    // the caller moves on to frame 2, not jump to frame 12.
    const QChar next = line.size() > target.size() ? line.at(target.size()) : QChar();
    return next < QLatin1Char('0') || next > QLatin1Char('9');
}

int FrameReader::readNextFrame(QIODevice &file, QString &display_text, QString &next_frame_line,
                               int &current_frame, bool &slider_moved, double *timestamp, bool loop,
                               bool *frame_line_read)
{
    if (frame_line_read)
        *frame_line_read = false;
    display_text.clear();
    if (!timestamp || *timestamp != kAtStart)
        appendStripped(display_text, next_frame_line);
    if (timestamp)
        *timestamp = kNoTimestamp;

    QString line;
    if (slider_moved) {
        while (frame_lines::readLine(file, &line)) {
            if (isSeekTarget(line, current_frame)) {
                slider_moved = false;
                appendStripped(display_text, line);
                return kFrameRead;
            }
        }
        return kSeekFailed;
    }

    while (frame_lines::readLine(file, &line)) {
        if (frame_lines::isTimestampLine(line)) {
            const double value = frame_lines::parseDouble(frame_lines::secondField(line));
            if (timestamp)
                *timestamp = value;
        }
        if (frame_lines::isFrameCounterLine(line)) {
            next_frame_line = line;
            int number = 0;
            frame_lines::parseInt(frame_lines::secondField(line), &number);
            current_frame = number;
            if (frame_line_read)
                *frame_line_read = true;
            return kFrameRead;
        }
        if (!frame_lines::isCommentLine(line))
            appendStripped(display_text, line);
    }
    if (loop) {
        file.seek(0);
        return kRewound;
    }
    return kEndOfFile;
}

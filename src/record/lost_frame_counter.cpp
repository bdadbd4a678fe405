#include "record/lost_frame_counter.h"

#include "recording/frame_lines.h"

#include <cstring>

namespace {

// The frame number as the scanner reads it (not a number reads as 0).
qint64 frameNumber(QByteArrayView field)
{
    qint64 value = 0;
    frame_lines::parseNumber(field, &value);
    return value;
}

} // namespace

void LostFrameCounter::datagram(const char *data, qsizetype size)
{
    if (size <= 0)
        return;
    const bool lineStart = m_atLineStart;
    m_atLineStart = data[size - 1] == '\n';
    // A datagram that continues a line of the one before does not begin a line of the recording.
    if (!lineStart)
        return;
    const void *lf = std::memchr(data, '\n', size_t(size));
    const qsizetype rawLength = lf ? static_cast<const char *>(lf) - data + 1 : size;
    bool lineEnd = false;
    const QByteArrayView line = frame_lines::takeLine(QByteArrayView(data, rawLength), &lineEnd);
    const bool frameLine = frame_lines::isFrameCounterLine(line);
    if (!m_firstLineSeen) {
        // The recording's first line: a frame number starts the count, any other line is passed over.
        m_firstLineSeen = true;
        if (frameLine)
            m_previous = frameNumber(frame_lines::secondField(line));
        return;
    }
    if (!frameLine)
        return;
    const qint64 number = frameNumber(frame_lines::secondField(line));
    // A number that does not increase makes the recording unplayable; counting goes on from it.
    if (m_previous >= 0 && number > m_previous)
        m_lost += number - m_previous - 1;
    m_previous = number;
}

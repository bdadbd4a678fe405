#include "lost_frame_counter.h"

#include "frame_lines.h"

#include <cstring>

namespace {

// The frame number as frame_lines::parseInt() reads it (not a number reads as 0). Plain digits, the usual
// case, are read here without building a string for every datagram.
int frameNumber(QByteArrayView field)
{
    if (field.size() > 0 && field.size() < 10) {
        int value = 0;
        qsizetype i = 0;
        for (; i < field.size() && field[i] >= '0' && field[i] <= '9'; ++i)
            value = value * 10 + (field[i] - '0');
        if (i == field.size())
            return value;
    }
    int value = 0;
    frame_lines::parseInt(field, &value);
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
    if (number > m_previous && number >= 0)
        m_lost += number - m_previous - 1;
    m_previous = number;
}

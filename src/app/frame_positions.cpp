#include "app/frame_positions.h"

#include <climits>

FramePositions::FramePositions(qint64 first, qint64 last)
    : m_first(first), m_last(last < first ? first : last)
{
    if (m_first >= INT_MIN && m_last <= INT_MAX)
        m_origin = int(m_first);
    else
        m_step = (m_last - m_first) / INT_MAX + 1;
}

int FramePositions::positionOf(qint64 frame) const
{
    return int(m_origin + (qBound(m_first, frame, m_last) - m_first) / m_step);
}

qint64 FramePositions::frameAt(int position) const
{
    return qBound(m_first, m_first + (qint64(position) - m_origin) * m_step, m_last);
}

int FramePositions::columnOf(qint64 frame, int width) const
{
    // Frames first..last share the width evenly; 128-bit, as span * width may not fit 64 bits.
    const __int128 span = __int128(m_last - m_first) + 1;
    return int(__int128(qBound(m_first, frame, m_last) - m_first) * qMax(width, 1) / span);
}

qint64 FramePositions::frameAtColumn(int column, int width) const
{
    const __int128 span = __int128(m_last - m_first) + 1;
    const __int128 w = qMax(width, 1);
    return m_first + qint64((__int128(qBound(0, column, width)) * span + w - 1) / w);
}

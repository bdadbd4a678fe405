// Where the frames of a recording lie along the slider and the strip drawn beside it. A slider holds an
// int: while the first and the last frame number fit one, the position of a frame is its number (what an
// accessibility reader or a test reads off the slider); wider numbers are shifted to start at 0 and, for a
// span wider than an int, stepped: position p stands for frame first + p * step. Free of widgets, so it is
// tested directly.
#pragma once

#include <QtGlobal>

class FramePositions
{
public:
    FramePositions() = default;
    FramePositions(qint64 first, qint64 last);

    qint64 first() const { return m_first; }
    qint64 last() const { return m_last; }
    // The slider's range.
    int minimum() const { return m_origin; }
    int maximum() const { return positionOf(m_last); }
    int positionOf(qint64 frame) const;
    qint64 frameAt(int position) const;
    // The pixel column of a frame on a strip width pixels wide, and the first frame of a column.
    int columnOf(qint64 frame, int width) const;
    qint64 frameAtColumn(int column, int width) const;

private:
    qint64 m_first = 0;
    qint64 m_last = 0;
    qint64 m_step = 1;
    int m_origin = 0; // the position of the first frame
};

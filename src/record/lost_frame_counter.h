// Counts, while a stream arrives, the frames missing from it: by the frame-counter line that begins each
// datagram, with the rules the scanner uses when the recording is opened, so that for a stream of one
// frame per datagram the live count equals the count the lost-frame message gives.
#pragma once

#include <QtGlobal>

class LostFrameCounter
{
public:
    // One datagram as it is appended to the recording.
    void datagram(const char *data, qsizetype size);
    qint64 lost() const { return m_lost; }

private:
    bool m_firstLineSeen = false;
    bool m_atLineStart = true; // the recording so far ends with a line end
    qint64 m_previous = 0;
    qint64 m_lost = 0;
};

// How punctually a playback sent its frames: for each frame, how long after its deadline it left. Kept in a
// fixed histogram (microseconds up to 10 ms, milliseconds up to 1 s), so a loop may run for days.
#pragma once

#include <QString>
#include <QtGlobal>
#include <vector>

class PlaybackSelfCheck
{
public:
    PlaybackSelfCheck();

    void clear();
    void add(qint64 lateNs);
    // What a playback at the recorded times met: timestamps that stepped back, gaps shortened to maxGap s.
    void setTimingEvents(qint64 outOfOrder, qint64 shortened, double maxGap);

    qint64 frames() const { return m_frames; }
    qint64 lateOver1ms() const { return m_over1ms; }
    double medianMs() const { return quantileMs(0.5); }
    double p99Ms() const { return quantileMs(0.99); }
    double maxMs() const { return double(m_maxNs) / 1e6; }
    // "2 timestamps out of order; 1 gap shortened to 5 s", empty when there was neither.
    QString timingText() const { return timingText(m_outOfOrder, m_shortened, m_maxGap); }
    static QString timingText(qint64 outOfOrder, qint64 shortened, double maxGap);
    // "500 frames, p99 0.04 ms late", and the timing text after "; " when there is one.
    QString summary() const;

private:
    double quantileMs(double q) const;

    std::vector<quint32> m_bins;
    qint64 m_frames = 0;
    qint64 m_over1ms = 0;
    qint64 m_maxNs = 0;
    qint64 m_outOfOrder = 0;
    qint64 m_shortened = 0;
    double m_maxGap = 0;
};

#include "play/playback_self_check.h"

#include <QStringList>
#include <cmath>

namespace {
constexpr qint64 kFineUs = 10000;  // 1 µs bins below this
constexpr qint64 kCoarseUs = 1000; // then 1 ms bins
constexpr qint64 kBins = kFineUs + 990 + 1;

qint64 binOf(qint64 us)
{
    if (us < kFineUs)
        return us;
    return qMin(kBins - 1, kFineUs + (us - kFineUs) / kCoarseUs);
}

// The lowest lateness a bin holds.
qint64 binStartUs(qint64 bin)
{
    return bin < kFineUs ? bin : kFineUs + (bin - kFineUs) * kCoarseUs;
}
} // namespace

PlaybackSelfCheck::PlaybackSelfCheck() : m_bins(size_t(kBins), 0) {}

void PlaybackSelfCheck::clear()
{
    std::fill(m_bins.begin(), m_bins.end(), 0);
    m_frames = m_over1ms = m_maxNs = m_outOfOrder = m_shortened = 0;
}

void PlaybackSelfCheck::setTimingEvents(qint64 outOfOrder, qint64 shortened, double maxGap)
{
    m_outOfOrder = outOfOrder;
    m_shortened = shortened;
    m_maxGap = maxGap;
}

QString PlaybackSelfCheck::timingText(qint64 outOfOrder, qint64 shortened, double maxGap)
{
    QStringList parts;
    if (outOfOrder > 0)
        parts << QString("%1 %2 out of order")
                     .arg(outOfOrder)
                     .arg(outOfOrder == 1 ? "timestamp" : "timestamps");
    if (shortened > 0)
        parts << QString("%1 %2 shortened to %3 s")
                     .arg(shortened)
                     .arg(shortened == 1 ? "gap" : "gaps")
                     .arg(maxGap, 0, 'g', 6);
    return parts.join("; ");
}

void PlaybackSelfCheck::add(qint64 lateNs)
{
    lateNs = qMax<qint64>(0, lateNs);
    ++m_bins[size_t(binOf(lateNs / 1000))];
    ++m_frames;
    if (lateNs > 1000000)
        ++m_over1ms;
    m_maxNs = qMax(m_maxNs, lateNs);
}

double PlaybackSelfCheck::quantileMs(double q) const
{
    if (m_frames == 0)
        return 0;
    const qint64 rank = qMax<qint64>(1, qint64(std::ceil(q * double(m_frames))));
    qint64 seen = 0;
    for (qint64 bin = 0; bin < kBins; ++bin) {
        seen += m_bins[size_t(bin)];
        if (seen >= rank)
            return qMin(double(binStartUs(bin)) / 1000.0, maxMs());
    }
    return maxMs();
}

QString PlaybackSelfCheck::summary() const
{
    const QString timing = timingText();
    return QString("%1 frames, p99 %2 ms late").arg(m_frames).arg(p99Ms(), 0, 'f', 2) +
           (timing.isEmpty() ? QString() : "; " + timing);
}

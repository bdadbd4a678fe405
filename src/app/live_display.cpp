#include "app/live_display.h"

#include "app/display_limit.h"
#include "record/clock.h"
#include "record/megabytes.h"
#include "record/ostrel_recorder_thread.h"
#include "record/rate_meter.h"

#include <QCheckBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>

#include <algorithm>

namespace {
constexpr int kRefreshMs = 100;
// Arrivals a report brings are spread over at most this many milliseconds before it: reports come every
// few milliseconds while datagrams flow, and the rate meter's first estimate needs distinct times.
constexpr quint32 kArrivalSpreadMs = 50;
} // namespace

LiveDisplay::LiveDisplay(const Widgets &widgets, const Ostrel_Recorder_Thread *thread, QObject *parent)
    : QObject(parent), m_widgets(widgets), m_thread(thread), m_refreshTimer(new QTimer(this)),
      m_countsLabel(new QLabel(widgets.statusBar)), m_countsTimer(new QTimer(this)), m_systemClock(new Clock)
{
    setObjectName("liveDisplay");
    m_clock = m_systemClock.get();
    connect(m_refreshTimer, &QTimer::timeout, this, &LiveDisplay::refresh);
    m_countsLabel->setObjectName("l_counts");
    widgets.statusBar->addPermanentWidget(m_countsLabel);
    m_countsTimer->setSingleShot(true);
    connect(m_countsTimer, &QTimer::timeout, this, [this] { showCounts(); });
    connect(widgets.clear, &QPushButton::clicked, this, [this] { m_textNew = true; });
}

LiveDisplay::~LiveDisplay() = default;

void LiveDisplay::setClock(Clock *clock)
{
    m_clock = clock ? clock : m_systemClock.get();
}

quint32 LiveDisplay::now() const
{
    return m_clock->ms();
}

void LiveDisplay::start(bool always)
{
    if (always || !m_widgets.disableView->isChecked())
        m_refreshTimer->start(kRefreshMs);
}

void LiveDisplay::stop()
{
    m_refreshTimer->stop();
}

bool LiveDisplay::isRunning() const
{
    return m_refreshTimer->isActive();
}

void LiveDisplay::show(const QString &text)
{
    m_text = text;
    m_textNew = true;
}

void LiveDisplay::forget()
{
    m_text = QString();
    m_textNew = false;
}

void LiveDisplay::refreshText()
{
    // Only what is new is set: laying out a datagram of 64 KB takes longer than the refresh period.
    if (!m_textNew)
        return;
    m_textNew = false;
    // Plain text: a datagram is data, never markup.
    m_widgets.text->setPlainText(display_limit::shown(m_text));
}

void LiveDisplay::refresh()
{
    if (m_receiving) {
        const qint64 datagrams = m_thread->counts().datagrams;
        if (datagrams != m_shownDatagrams) {
            m_shownDatagrams = datagrams;
            show(m_thread->getFrameBuffer());
        }
    }
    refreshText();
    showRate();
}

void LiveDisplay::startRun()
{
    m_reportedDatagrams = 0;
    m_shownDatagrams = 0;
    m_lastReportMs = now();
    showCounts();
}

// The rate meter counts single arrivals; a report may stand for many, which are spread evenly over the
// time since the report before.
void LiveDisplay::takeReport()
{
    const qint64 datagrams = m_thread->counts().datagrams;
    const qint64 arrived = datagrams - m_reportedDatagrams;
    if (arrived > 0) {
        m_reportedDatagrams = datagrams;
        const quint32 ms = now();
        const quint32 span = std::min(ms - m_lastReportMs, kArrivalSpreadMs);
        m_lastReportMs = ms;
        for (qint64 i = arrived - 1; i >= 0; --i)
            rate_meter::update(m_arrivals, m_rateReset, false, ms - quint32(qint64(span) * i / arrived));
    }
    showCounts(true);
}

void LiveDisplay::showCounts(bool later)
{
    const quint32 ms = now();
    if (later && ms - m_countsShownMs < quint32(kRefreshMs)) {
        // Held back, but drawn once the period is over: the last count of a stream is always shown.
        if (!m_countsTimer->isActive())
            m_countsTimer->start(int(kRefreshMs - (ms - m_countsShownMs)));
        return;
    }
    m_countsTimer->stop();
    m_countsShownMs = ms;
    const Ostrel_Recorder_Thread::Counts c = m_thread->counts();
    m_countsLabel->setText(
        tr("%1 datagrams, %2 MB, %3 frames lost").arg(c.datagrams).arg(megabytes::text(c.bytes)).arg(c.lost));
}

void LiveDisplay::updateRate(bool clear)
{
    rate_meter::update(m_arrivals, m_rateReset, clear, now());
}

void LiveDisplay::resetRate()
{
    m_rateReset = true;
    updateRate(true);
}

void LiveDisplay::showRate()
{
    if (m_rateShown)
        m_widgets.rate->setText(rate_meter::label(m_arrivals, now()));
}

#include "cli/progress.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <unistd.h>

namespace orf {

namespace {

Chatter chatter = Chatter::Usual;
bool line_shown = false; // a progress line is on standard error, the cursor at its end

// Rewrites the line; clears to its end, as the new text may be shorter than the last.
void drawLine(const QString &text)
{
    std::fprintf(stderr, "\r%s\033[K", text.toLocal8Bit().constData());
    std::fflush(stderr);
    line_shown = true;
}

} // namespace

void setChatter(Chatter c)
{
    chatter = c;
}

bool showsProgress()
{
    return chatter == Chatter::Progress || (chatter == Chatter::Usual && isatty(STDERR_FILENO) == 1);
}

void say(const char *format, ...)
{
    if (chatter == Chatter::Quiet)
        return;
    eraseProgress();
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stderr, format, arguments);
    va_end(arguments);
}

void eraseProgress()
{
    if (!line_shown)
        return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    line_shown = false;
}

QString clockText(double seconds)
{
    const qint64 s = std::isfinite(seconds) && seconds > 0 ? qint64(std::min(seconds, 3.6e8)) : 0;
    if (s < 3600)
        return QString::asprintf("%lld:%02lld", s / 60, s % 60);
    return QString::asprintf("%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
}

StatusLine::StatusLine(std::function<QString()> text) : m_text(std::move(text))
{
    QObject::connect(&m_ticker, &QTimer::timeout, &m_ticker, [this] { drawLine(m_text()); });
    if (showsProgress())
        m_ticker.start(kRedrawMs);
}

StatusLine::~StatusLine()
{
    end();
}

void StatusLine::end()
{
    if (!m_ticker.isActive())
        return;
    m_ticker.stop();
    eraseProgress();
}

ProgressBar::ProgressBar(const QString &label) : m_label(label), m_enabled(showsProgress())
{
    m_work.start();
    m_stretch.start();
}

ProgressBar::~ProgressBar()
{
    end();
}

void ProgressBar::update(qint64 done, qint64 total)
{
    if (!m_enabled)
        return;
    if (total != m_total) {
        m_total = total;
        m_stretch.restart();
    }
    // Work done within a second shows no bar; after that at most four drawings a second.
    const qint64 now = m_work.elapsed();
    if ((m_drawnAt < 0 && now < 1000) || (m_drawnAt >= 0 && now - m_drawnAt < StatusLine::kRedrawMs))
        return;
    m_drawnAt = now;
    const qint64 took = m_stretch.elapsed();
    drawLine(text(m_label, done, total, took > 0 ? double(done) * 1000.0 / double(took) : 0.0));
}

std::function<bool(qint64, qint64)> ProgressBar::callback(qint64 bytes)
{
    return [this, bytes](qint64 done, qint64 total) {
        if (bytes < 0)
            update(done, total);
        else
            update(total > 0 ? qint64(double(bytes) * double(done) / double(total)) : 0, bytes);
        return true;
    };
}

void ProgressBar::end()
{
    if (m_drawnAt >= 0)
        eraseProgress();
    m_drawnAt = -1;
}

QString ProgressBar::text(const QString &label, qint64 done, qint64 total, double bytesPerSecond)
{
    constexpr int kWidth = 20;
    const double share = total > 0 ? std::clamp(double(done) / double(total), 0.0, 1.0) : 0.0;
    const int filled = int(share * kWidth);
    const QString left = bytesPerSecond > 0 ? clockText(double(total - done) / bytesPerSecond) : "?";
    return QStringLiteral("%1 [%2%3] %4%  %5 MB/s  %6 left")
        .arg(label, QString(filled, '#'), QString(kWidth - filled, '.'))
        .arg(int(share * 100), 3)
        .arg(bytesPerSecond / 1e6, 0, 'f', 1)
        .arg(left);
}

} // namespace orf

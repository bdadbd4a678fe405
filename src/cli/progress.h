// What orf shows on standard error while a command runs: a status line (record, play) or a progress bar
// (work through a file), redrawn in place at most four times a second and erased before what follows. Shown
// when standard error is a terminal, or with --progress; never with --quiet, which leaves only errors.
#pragma once

#include <QElapsedTimer>
#include <QString>
#include <QTimer>

#include <functional>

namespace orf {

// How much a command says besides its errors, from --progress and --quiet.
enum class Chatter
{
    Usual,    // the summary; progress on a terminal
    Progress, // the summary and progress, also on a pipe or a file
    Quiet,    // errors only
};
void setChatter(Chatter chatter);
// Whether progress is drawn.
bool showsProgress();

// A line of what was done ("orf: recorded ..."), a progress line erased first; nothing with --quiet.
void say(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Erases the progress line on screen, if any, so that what is written next starts on a clean line.
void eraseProgress();

// "0:07", "12:34", "1:02:03".
QString clockText(double seconds);

// A line rewritten four times a second with what text() gives, from its construction until end() (or its
// destruction), which erases it. For a command that runs an event loop.
class StatusLine
{
public:
    static constexpr int kRedrawMs = 250;

    explicit StatusLine(std::function<QString()> text);
    ~StatusLine();
    void end();

private:
    std::function<QString()> m_text;
    QTimer m_ticker;
};

// A bar for work on a file done in one call (import, export, info, cut, merge): fed the bytes done and the
// bytes in all, as often as the work likes, it appears once the work has taken a second and is redrawn at
// most four times a second: "importing [#######.............]  35%  48.2 MB/s  0:07 left".
//     ProgressBar bar("importing");
//     CaptureReader::read(file, options, sink, bar.callback());
class ProgressBar
{
public:
    explicit ProgressBar(const QString &label);
    ~ProgressBar();

    // Cheap when nothing is drawn: a clock read. A total that changes starts a new stretch of work (its own
    // rate and time left), as when one pass over a capture is followed by one over its recording.
    void update(qint64 done, qint64 total);
    // update() as a progress function that never cancels, for the engines' Progress parameters. Work
    // counted in frames or entries rather than bytes gives the bytes they stand for in all: done of total
    // is then that share of bytes.
    std::function<bool(qint64, qint64)> callback(qint64 bytes = -1);
    void end();

    // The bar's text for done of total at bytesPerSecond.
    static QString text(const QString &label, qint64 done, qint64 total, double bytesPerSecond);

private:
    QString m_label;
    QElapsedTimer m_work;    // since the bar was made
    QElapsedTimer m_stretch; // since the stretch of work began
    qint64 m_total = -1;     // of the stretch
    qint64 m_drawnAt = -1;   // ms on m_work of the last drawing; -1: none
    bool m_enabled = false;  // drawn at all
};

} // namespace orf

#include "cli/terminal.h"

#include "ap/signal_pipe.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace orf {

namespace {

bool status_shown = false;

// Ends a status line shown, so that what follows starts on a line of its own.
void endStatus()
{
    if (!status_shown)
        return;
    std::fputc('\n', stderr);
    status_shown = false;
}

} // namespace

void error(const QString &text)
{
    endStatus();
    std::fprintf(stderr, "orf: %s\n", text.toLocal8Bit().constData());
}

StatusLine::StatusLine(std::function<QString()> text) : m_text(std::move(text))
{
    QObject::connect(&m_ticker, &QTimer::timeout, &m_ticker, [this] {
        // Clear to the end of the line: the new text may be shorter than the last.
        std::fprintf(stderr, "\r%s\033[K", m_text().toLocal8Bit().constData());
        std::fflush(stderr);
        status_shown = true;
    });
    if (isatty(STDERR_FILENO) == 1)
        m_ticker.start(1000);
}

void StatusLine::end()
{
    m_ticker.stop();
    endStatus();
}

void quitOnSignals()
{
    static SignalPipe *pipe = nullptr;
    if (pipe || !SignalPipe::catchSignals())
        return;
    pipe = new SignalPipe(QCoreApplication::instance());
    QObject::connect(pipe, &SignalPipe::caught, QCoreApplication::instance(), &QCoreApplication::quit);
    // After a hang-up nobody may read standard error any more: a message must not end the program.
    std::signal(SIGPIPE, SIG_IGN);
}

} // namespace orf

#include "cli/terminal.h"

#include "ap/signal_pipe.h"
#include "cli/progress.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>

namespace orf {

void error(const QString &text)
{
    eraseProgress();
    std::fprintf(stderr, "orf: %s\n", text.toLocal8Bit().constData());
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

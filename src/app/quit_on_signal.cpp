#include "quit_on_signal.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int quit_pipe[2] = {-1, -1};

void requestQuit(int)
{
    const char byte = 0;
    [[maybe_unused]] const ssize_t written = ::write(quit_pipe[1], &byte, 1);
}

} // namespace

bool QuitOnSignal::catchSignals()
{
    if (quit_pipe[0] >= 0)
        return true;
    if (::pipe2(quit_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction action = {};
    action.sa_handler = requestQuit;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal_number : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signal_number, &action, nullptr);
    return true;
}

QuitOnSignal::QuitOnSignal(QObject *parent) : QObject(parent)
{
    retry = new QTimer(this);
    retry->setInterval(100);
    connect(retry, &QTimer::timeout, this, &QuitOnSignal::quitWhenFree);
    if (quit_pipe[0] < 0)
        return;
    notifier = new QSocketNotifier(quit_pipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &QuitOnSignal::signalled);
}

QuitOnSignal::~QuitOnSignal() = default;

void QuitOnSignal::signalled()
{
    char bytes[64];
    while (::read(quit_pipe[0], bytes, sizeof bytes) > 0) {
    }
    quitWhenFree();
}

void QuitOnSignal::quitWhenFree()
{
    if (QApplication::activeModalWidget()) {
        retry->start();
        return;
    }
    retry->stop();
    emit quitRequested();
}

#include "moc_quit_on_signal.cpp"

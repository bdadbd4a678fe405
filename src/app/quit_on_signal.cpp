#include "app/quit_on_signal.h"

#include <QApplication>
#include <QDialog>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int quit_pipe[2] = {-1, -1};
bool quit_requested = false; // read and written on the GUI thread only

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

bool QuitOnSignal::requested()
{
    return quit_requested;
}

QuitOnSignal::QuitOnSignal(QObject *parent) : QObject(parent)
{
    // Goes on after the request: the code a closed dialog returns to may open another.
    retry = new QTimer(this);
    retry->setInterval(20);
    connect(retry, &QTimer::timeout, this, &QuitOnSignal::closeDialogs);
    if (quit_pipe[0] < 0)
        return;
    auto *notifier = new QSocketNotifier(quit_pipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &QuitOnSignal::signalled);
}

QuitOnSignal::~QuitOnSignal() = default;

void QuitOnSignal::signalled()
{
    char bytes[64];
    while (::read(quit_pipe[0], bytes, sizeof bytes) > 0) {
    }
    quit_requested = true;
    retry->start();
    closeDialogs();
}

void QuitOnSignal::closeDialogs()
{
    if (QWidget *modal = QApplication::activeModalWidget()) {
        if (auto *dialog = qobject_cast<QDialog *>(modal))
            dialog->reject();
        else
            modal->close();
        return;
    }
    // Before the event loop runs this does nothing; main() asks requested() then.
    if (!emitted) {
        emitted = true;
        emit quitRequested();
    }
}

#include "moc_quit_on_signal.cpp"

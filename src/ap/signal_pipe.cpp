#include "ap/signal_pipe.h"

#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int signal_pipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 0;
    [[maybe_unused]] const ssize_t written = ::write(signal_pipe[1], &byte, 1);
}

} // namespace

bool SignalPipe::catchSignals()
{
    if (signal_pipe[0] >= 0)
        return true;
    if (::pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal_number : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signal_number, &action, nullptr);
    return true;
}

SignalPipe::SignalPipe(QObject *parent) : QObject(parent)
{
    if (signal_pipe[0] < 0)
        return;
    auto *notifier = new QSocketNotifier(signal_pipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &SignalPipe::drain);
}

SignalPipe::~SignalPipe() = default;

void SignalPipe::drain()
{
    char bytes[64];
    while (::read(signal_pipe[0], bytes, sizeof bytes) > 0) {
    }
    emit caught();
}

#include "moc_signal_pipe.cpp"

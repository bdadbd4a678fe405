#include "ostrel_recorder.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QStandardPaths>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The end of a desktop session (log-out, shut-down) and Ctrl+C in a terminal ask with a signal. Without a
// handler the process would die on the spot: no settings saved, receiving not stopped. The handler only
// writes a byte into a pipe; the event loop reads it and quits, so the window ends as it does on Exit.
int quit_pipe[2] = {-1, -1};

void requestQuit(int)
{
    const char byte = 0;
    [[maybe_unused]] const ssize_t written = ::write(quit_pipe[1], &byte, 1);
}

void catchQuitSignals()
{
    if (::pipe2(quit_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    struct sigaction action = {};
    action.sa_handler = requestQuit;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal_number : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signal_number, &action, nullptr);
}

} // namespace

int main(int argc, char *argv[])
{
    catchQuitSignals();
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName("NUV");
    QCoreApplication::setApplicationName("Ostrel Recorder");
    const QString config_dir =
        QStandardPaths::writableLocation(QStandardPaths::HomeLocation) + "/.NUV/Ostrel_Recorder";
    Ostrel_recorder window(config_dir);
    // Watched only from here on: quit() before exec() is ignored, so a request made during start-up waits in
    // the pipe until the event loop runs.
    std::unique_ptr<QSocketNotifier> quit_notifier;
    if (quit_pipe[0] >= 0) {
        quit_notifier.reset(new QSocketNotifier(quit_pipe[0], QSocketNotifier::Read));
        QObject::connect(quit_notifier.get(), &QSocketNotifier::activated, &app, [&quit_notifier] {
            quit_notifier->setEnabled(false);
            QCoreApplication::quit();
        });
    }
    window.show();
    return app.exec();
}

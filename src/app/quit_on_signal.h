// Ends the program in order when the desktop session ends (SIGTERM at log-out or shut-down, SIGHUP) or
// Ctrl+C is pressed in a terminal (SIGINT). Without it the process would die on the spot: settings not
// saved, receiving not stopped. The signal handler only writes a byte into a pipe; the event loop reads it
// and asks the program to quit, so the window ends as it does on Exit. While a modal dialog is open the
// request waits until it has been answered: closing it from here would count as Cancel, and cancelling the
// save dialog after Stop discards the recording.
#pragma once

#include <QObject>

class QSocketNotifier;
class QTimer;

class QuitOnSignal : public QObject
{
    Q_OBJECT

public:
    // Installs the signal handlers; call it first thing in main() so that no early signal kills the process.
    // Returns false if the pipe could not be made (the signals then keep their default action).
    static bool catchSignals();

    // Watches for signals caught since catchSignals(), also those that came before this object existed.
    explicit QuitOnSignal(QObject *parent = nullptr);
    ~QuitOnSignal() override;

signals:
    void quitRequested();

private:
    void signalled();
    void quitWhenFree();

    QSocketNotifier *notifier = nullptr;
    QTimer *retry = nullptr;
};

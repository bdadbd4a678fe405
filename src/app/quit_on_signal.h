// Ends the window in order when the desktop session ends (SIGTERM at log-out or shut-down, SIGHUP) or
// Ctrl+C is pressed in a terminal (SIGINT), heard through SignalPipe: the program quits as it does on Exit.
// A modal dialog that is open then, or opens later, is closed as Cancel would close it, so that nothing
// waits for an answer that will not come; code after a dialog asks requested() so that such a Cancel never
// discards data.
#pragma once

#include <QObject>

class QTimer;

class QuitOnSignal : public QObject
{
    Q_OBJECT

public:
    // Installs the signal handlers; call it first thing in main() so that no early signal kills the process.
    // Returns false if the pipe could not be made (the signals then keep their default action).
    static bool catchSignals();
    // Whether a signal has asked the program to end.
    static bool requested();

    // Watches for signals caught since catchSignals(), also those that came before this object existed.
    // Create it before anything that may show a dialog, so that a signal also ends a dialog of the start.
    explicit QuitOnSignal(QObject *parent = nullptr);
    ~QuitOnSignal() override;

signals:
    // Emitted once, when no modal dialog is open any more.
    void quitRequested();

private:
    void signalled();
    void closeDialogs();

    QTimer *retry = nullptr;
    bool emitted = false;
};

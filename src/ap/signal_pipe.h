// A request to end the program by a signal (SIGINT: Ctrl-C; SIGTERM: log-out or shut-down; SIGHUP: a closed
// terminal or SSH session), heard on the event loop, for the window and orf alike. The handler only writes a
// byte into a pipe; a notifier on the pipe's other end tells the program, which then ends in order (settings
// saved, receiving stopped, files finished) instead of dying on the spot.
#pragma once

#include <QObject>

class SignalPipe : public QObject
{
    Q_OBJECT

public:
    // Installs the handlers; call it early, so that no signal kills the process before. Returns false if the
    // pipe could not be made (the signals then keep their default action).
    static bool catchSignals();

    // Watches the pipe: also signals caught before this object existed are heard.
    explicit SignalPipe(QObject *parent = nullptr);
    ~SignalPipe() override;

signals:
    // On the event loop, after one or more signals.
    void caught();

private:
    void drain();
};

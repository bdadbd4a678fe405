#include "app/quit_on_signal.h"

#include "ap/signal_pipe.h"

#include <QApplication>
#include <QDialog>
#include <QTimer>

namespace {
bool quit_requested = false; // read and written on the GUI thread only
} // namespace

bool QuitOnSignal::catchSignals()
{
    return SignalPipe::catchSignals();
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
    connect(new SignalPipe(this), &SignalPipe::caught, this, &QuitOnSignal::signalled);
}

QuitOnSignal::~QuitOnSignal() = default;

void QuitOnSignal::signalled()
{
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

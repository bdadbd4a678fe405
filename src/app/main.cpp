#include "app/ostrel_recorder.h"
#include "app/quit_on_signal.h"

#include <QApplication>
#include <QStandardPaths>

int main(int argc, char *argv[])
{
    QuitOnSignal::catchSignals();
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName("NUV");
    QCoreApplication::setApplicationName("Ostrel Recorder");
    const QString config_dir =
        QStandardPaths::writableLocation(QStandardPaths::HomeLocation) + "/.NUV/Ostrel_Recorder";
    // Before the window: a signal also ends the dialogs of its start (a settings file that does not parse,
    // a recording left from an earlier run).
    QuitOnSignal quit_on_signal;
    QObject::connect(&quit_on_signal, &QuitOnSignal::quitRequested, &app, &QCoreApplication::quit);
    Ostrel_recorder window(config_dir);
    if (!QuitOnSignal::requested())
        window.startUp(QCoreApplication::arguments());
    // quit() before exec() is ignored: a request that came during start-up ends the program here.
    return QuitOnSignal::requested() ? 0 : app.exec();
}

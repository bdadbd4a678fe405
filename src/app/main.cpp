#include "ostrel_recorder.h"
#include "quit_on_signal.h"

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
    Ostrel_recorder window(config_dir);
    // Watched only from here on: quit() before exec() is ignored, so a signal that came during start-up
    // waits in the pipe until the event loop runs.
    QuitOnSignal quit_on_signal;
    QObject::connect(&quit_on_signal, &QuitOnSignal::quitRequested, &app, &QCoreApplication::quit);
    window.startUp(QCoreApplication::arguments());
    return app.exec();
}

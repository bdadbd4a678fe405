#include "app/dbus_control.h"
#include "app/ostrel_recorder.h"
#include "app/quit_on_signal.h"

#include <QApplication>
#include <QStandardPaths>
#include <cstdio>

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
    // A file given while a window runs goes to that window, as when opened from the file manager.
    if (const QStringList arguments = QCoreApplication::arguments(); arguments.size() > 1) {
        QString error;
        switch (DbusControl::handOver(arguments.at(1), &error)) {
        case DbusControl::HandOver::Opened:
            return 0;
        case DbusControl::HandOver::Refused:
            std::fprintf(stderr, "ostrel_recorder: %s\n", qPrintable(error));
            return 1;
        case DbusControl::HandOver::NoneRunning:
            break;
        }
    }
    Ostrel_recorder window(config_dir);
    if (!QuitOnSignal::requested())
        window.startUp(QCoreApplication::arguments());
    // Once start-up is done: its waits (a file's scan) run before the program's event loop, where a call
    // could not tell them from the loop itself. Without a session bus: as before, silently.
    (new DbusControl(&window))->registerOnSessionBus();
    // quit() before exec() is ignored: a request that came during start-up ends the program here.
    return QuitOnSignal::requested() ? 0 : app.exec();
}

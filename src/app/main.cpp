#include "ostrel_recorder.h"

#include <QApplication>
#include <QStandardPaths>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName("NUV");
    QCoreApplication::setApplicationName("Ostrel Recorder");
    const QString config_dir =
        QStandardPaths::writableLocation(QStandardPaths::HomeLocation) + "/.NUV/Ostrel_Recorder";
    Ostrel_recorder window(config_dir);
    window.show();
    return app.exec();
}

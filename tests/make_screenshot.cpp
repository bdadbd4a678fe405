// Draws the main window as the README shows it, headless: make_screenshot docs/main-window.png
// (run with QT_QPA_PLATFORM=offscreen). It uses a sandbox home so no real settings are read or written.
#include "window_access.h"
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    QTemporaryDir home;
    qputenv("HOME", home.path().toLocal8Bit());
    QDir().mkpath(home.path() + "/.NUV/Ostrel_Recorder/config");
    QFile f(home.path() + "/.NUV/Ostrel_Recorder/config/current-settings.xml");
    f.open(QIODevice::WriteOnly);
    f.write("<OSTREL_RECORDER>\n    <RECORD_PORT PORT_NR=\"5000\"/>\n    <PLAY_HOST_1 HOST=\"localhost\"/>\n "
            "   <PLAY_PORT_1 PORT_NR=\"5001\"/>\n    <PLAY_HOST_2 HOST=\"127.0.0.1\"/>\n    <PLAY_PORT_2 "
            "PORT_NR=\"5002\"/>\n    <ACTIVE ACTIVE=\"true\"/>\n</OSTREL_RECORDER>\n");
    f.close();
    QApplication app(argc, argv);
    Ostrel_recorder w(QDir::homePath() + "/.NUV/Ostrel_Recorder");
    OstrelRecorderTestAccess a(w);
    a.ui().te_datadisplay->setPlainText(
        "fr 18342\nts 366.84\nobj 1 x 12.402 y -3.118 z 0.982 q 0.97\nobj 2 x 11.877 y -2.904 z 1.015 q "
        "0.95\nobj 3 x 13.120 y -3.360 z 0.941 q 0.91\nmarkers 14 residual 0.43 mm\n");
    a.ui().labelFrequency->setText("60 Hz");
    a.ui().l_filename->setText("<temporary buffer>");
    a.mode() = 2;
    a.updateActions();
    w.show();
    QTimer::singleShot(300, [&] {
        w.grab().save(argv[1]);
        app.quit();
    });
    return app.exec();
}

// Draws the main window as the README shows it, headless: make_screenshot docs/main-window.png (run with
// QT_QPA_PLATFORM=offscreen), in a sandboxed home so that no real settings are read or written.
#include "test_support.h"
#include "app/live_display.h"
#include "app/ostrel_recorder.h"

#include <QLabel>
#include <QPlainTextEdit>

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    ostrel_test::Sandbox sandbox;
    ostrel_test::writeHomeSettings(
        "<OSTREL_RECORDER><RECORD_PORT PORT_NR=\"5000\"/><PLAY_HOST_1 HOST=\"localhost\"/>"
        "<PLAY_PORT_1 PORT_NR=\"5001\"/><PLAY_HOST_2 HOST=\"127.0.0.1\"/>"
        "<PLAY_PORT_2 PORT_NR=\"5002\"/><ACTIVE ACTIVE=\"true\"/></OSTREL_RECORDER>");
    QApplication app(argc, argv);
    ostrel_test::ModalAnswerer answerer; // a message (a record port in use) never waits for a user
    Ostrel_recorder w(ostrel_test::sandboxHome() + "/.NUV/Ostrel_Recorder");
    // Recording, as the picture shows the window: the actions of a recording, a datagram and a rate, which
    // no refresh replaces.
    w.findChild<QAction *>("actionRecord")->trigger();
    w.findChild<LiveDisplay *>("liveDisplay")->stop();
    w.findChild<QPlainTextEdit *>("te_datadisplay")
        ->setPlainText("fr 18342\nts 366.84\nobj 1 x 12.402 y -3.118 z 0.982 q 0.97\nobj 2 x 11.877 y -2.904 z "
                       "1.015 q 0.95\nobj 3 x 13.120 y -3.360 z 0.941 q 0.91\nmarkers 14 residual 0.43 mm\n");
    w.findChild<QLabel *>("labelFrequency")->setText("60 Hz");
    w.show();
    return QTest::qWaitForWindowExposed(&w) && w.grab().save(argv[1]) ? 0 : 1;
}

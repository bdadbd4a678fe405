// Recordings a user may open by mistake or that grew extreme, opened and played through the window.
#include "test_support.h"
#include "window_test.h"

#include <QRandomGenerator>
#include <QSlider>

using namespace ostrel_test;

class TestBadInput : public WindowTest
{
    Q_OBJECT

    UdpSink sink;

    void openAndPlay(const QByteArray &content)
    {
        const QString path = sandboxHome() + "/bad.orf";
        QVERIFY(writeFile(path, content));
        answerer->queueFile(path);
        window->on_actionOpen_triggered();
        QCOMPARE(shownFile(), path);
    }

private slots:
    void init()
    {
        settings.text(Setting::PlayPort1) = QString::number(sink.port());
        settings.text(Setting::Timestamp) = settings.text(Setting::Loop) = "false";
        settings.text(Setting::Frequency) = "500";
        newWindow();
    }

    // 50 MB of random bytes without a frame-counter line: a recording without frames, nothing to send.
    void fiftyMegabytesOfGarbage()
    {
        QByteArray garbage(50 << 20, Qt::Uninitialized);
        QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(garbage.data()), garbage.size() / 4);
        garbage.replace('f', 'g'); // never a frame-counter line
        openAndPlay(garbage);
        QVERIFY(child<QSlider>("playSlider")->minimum() == 0 && child<QSlider>("playSlider")->maximum() == 0);
        action("actionPlay")->trigger();
        QTRY_COMPARE(mode(), 0);
        QVERIFY(answerer->messages().isEmpty());
        QVERIFY(sink.drain().isEmpty());
    }

};

OSTREL_TEST_MAIN(TestBadInput)
#include "tst_bad_input.moc"

// Recordings a user may open by mistake or that grew extreme, opened and played through the window.
#include "test_support.h"
#include "window_access.h"

#include <QRandomGenerator>

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
        QCOMPARE(a->file_name(), path);
    }

private slots:
    void initTestCase() { writeHomeSettings(defaultSettingsXml()); }
    void init()
    {
        newWindow();
        a->values().ip_play_1 = 0x7f000001;
        a->values().port_play_1 = sink.port();
        a->values().timestamp = false;
        a->values().loop = false;
        a->values().frequency_play_1 = 500;
    }

    // 50 MB of random bytes without a frame-counter line: a recording without frames, nothing to send.
    void fiftyMegabytesOfGarbage()
    {
        QByteArray garbage(50 << 20, Qt::Uninitialized);
        QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(garbage.data()), garbage.size() / 4);
        garbage.replace('f', 'g'); // never a frame-counter line
        openAndPlay(garbage);
        QVERIFY(a->ui().playSlider->minimum() == 0 && a->ui().playSlider->maximum() == 0);
        a->ui().actionPlay->trigger();
        QTRY_COMPARE(a->mode(), 0);
        QVERIFY(answerer->messages().isEmpty());
        QVERIFY(sink.drain().isEmpty());
    }

};

OSTREL_TEST_MAIN(TestBadInput)
#include "tst_bad_input.moc"

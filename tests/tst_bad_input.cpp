// Bad input through the window, as a user meets it: recordings that are garbage, huge, have lines of
// megabytes, frame numbers beyond 2^31 or gaps that would blow up the frame index; settings files that are
// truncated, recursive, full of entities, nested too deeply or huge; bursts of datagrams while the window is
// busy. Each is answered with its message or taken as it is, and the program goes on.
#include "ostrel_recorder_thread.h"
#include "test_support.h"
#include "window_access.h"

#include <QElapsedTimer>
#include <QMessageBox>
#include <QRandomGenerator>
#include <QTextEdit>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace ostrel_test;

namespace {

// Random bytes from a fixed seed, with every frame-counter line broken up: garbage without any frame.
QByteArray garbage(qsizetype size)
{
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator random(20151105);
    random.fillRange(reinterpret_cast<quint32 *>(data.data()), size / 4);
    for (qsizetype at = data.indexOf("fr "); at >= 0; at = data.indexOf("fr ", at + 1))
        data[at] = 'F';
    return data;
}

const QString kParsing = "Error while parsing %1 (Line %2, Column %3) :\n%4.";
const QString kForeign = "Error while parsing %1 :\nThe file doesn't look like a valid settings file.";

} // namespace

class TestBadInput : public QObject
{
    Q_OBJECT

    std::unique_ptr<ModalAnswerer> answerer;
    std::unique_ptr<Ostrel_recorder> window;
    std::unique_ptr<OstrelRecorderTestAccess> a;
    std::unique_ptr<UdpSink> sink;
    ManualClock clock;

    QString settingsPath() const
    {
        return sandboxHome() + "/.NUV/Ostrel_Recorder/config/current-settings.xml";
    }

    void makeWindow()
    {
        window.reset(new Ostrel_recorder(sandboxHome() + "/.NUV/Ostrel_Recorder"));
        a.reset(new OstrelRecorderTestAccess(*window));
        window->setClock(&clock);
        a->ip_play_1() = 0x7F000001;
        a->port_play_1() = sink->port();
        a->active() = false;
        a->loop() = false;
        a->timestamp() = false;
        a->frequency_play_1() = 50;
    }

    QString write(const QString &name, const QByteArray &content)
    {
        const QString path = sandboxHome() + "/" + name;
        if (!writeFile(path, content))
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }

    void open(const QString &path)
    {
        answerer->queueFile(path);
        a->ui().actionOpen->trigger();
    }

    // Plays until the playback ends by itself; returns the datagrams the destination received.
    QList<QByteArray> playToTheEnd()
    {
        QList<QByteArray> got;
        a->ui().actionPlay->trigger();
        (void)QTest::qWaitFor(
            [&] {
                got += sink->drain();
                return a->mode() != 1;
            },
            10000);
        return got + sink->drain();
    }

private slots:
    void init()
    {
        writeHomeSettings(defaultSettingsXml());
        answerer.reset(new ModalAnswerer);
        sink.reset(new UdpSink);
        makeWindow();
    }

    void cleanup()
    {
        a.reset();
        window.reset();
        answerer.reset();
    }

    // 50 MB of random bytes hold no frame-counter line: a recording without frames. It opens without a
    // message as one entry, and Play finds nothing to send.
    void fiftyMegabytesOfGarbage()
    {
        const QString path = write("garbage.orf", garbage(50 * 1024 * 1024));
        open(path);
        QVERIFY(answerer->messages().isEmpty());
        QCOMPARE(a->file_name(), path);
        QCOMPARE(a->ui().playSlider->minimum(), 0);
        QCOMPARE(a->ui().playSlider->maximum(), 0);
        QCOMPARE(a->frames().size(), size_t(1));
        QVERIFY(playToTheEnd().isEmpty());
        QCOMPARE(a->mode(), 0);
        QVERIFY(answerer->messages().isEmpty());
    }

    // The same garbage between frame-counter lines that go backwards: unplayable, said so, and the
    // recording opened before stays the current one.
    void garbageWithFrameNumbersGoingBack()
    {
        const QString good = write("good.orf", "fr 1\na\nfr 2\nb\nfr 3\nc\n");
        open(good);
        const QByteArray noise = garbage(8 * 1024 * 1024);
        const QString path = write("garbage-frames.orf", "fr 7\n" + noise + "\nfr 3\n" + noise);
        answerer->clear();
        open(path);
        QCOMPARE(answerer->messageTexts(),
                 QStringList("This file has a problem with frame numbers and cannot be played."));
        QCOMPARE(answerer->messages().first().icon, int(QMessageBox::Critical));
        QCOMPARE(a->file_name(), good);
        QCOMPARE(a->ui().l_filename->text(), good);
        QCOMPARE(a->ui().playSlider->maximum(), 3);
        a->updateContent(2); // the index no longer describes the file the slider belongs to
        QCOMPARE(a->ui().te_datadisplay->toPlainText(), QString());
    }

    // A line of 8 MB is indexed and can be looked at, but no datagram can carry it: sending it fails with
    // the message, and playback ends. The field shows as much of it as a datagram could carry: laying out
    // the whole line would hold the window for about an hour.
    void aLineOfEightMegabytes()
    {
        const QByteArray line(8 * 1024 * 1024, 'x');
        const QString path = write("long-line.orf", "fr 1\n" + line + "\nfr 2\nsmall\n");
        open(path);
        QVERIFY(answerer->messages().isEmpty());
        QCOMPARE(a->ui().playSlider->maximum(), 2);
        const QString frame = "fr 1\n" + QString(line.size(), 'x') + "\n";
        QCOMPARE(a->read_from_vector(1), frame);

        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        QElapsedTimer timer;
        timer.start();
        a->ui().playSlider->setEnabled(true);
        window->on_playSlider_sliderPressed();
        a->updateContent(1); // dragged over it
        window->on_playSlider_sliderReleased();
        a->ui().te_datadisplay->viewport()->repaint();
        qInfo("the frame shown in %lld ms", timer.elapsed());
        const QString cut =
            frame.left(65507) + QString("\n[%1 more characters not shown]").arg(frame.size() - 65507);
        QCOMPARE(a->ui().te_datadisplay->toPlainText(), cut);
        QCOMPARE(a->display_text(), frame);

        QVERIFY(playToTheEnd().isEmpty());
        QCOMPARE(answerer->messageTexts(), QStringList("Error while sending data"));
        QCOMPARE(a->mode(), 0);
        QVERIFY(a->ui().actionPlay->isEnabled());
        // The display tick takes the same cut of the frame as it went to the wire.
        QCOMPARE(a->display_text().size(), frame.size() + 2); // CR LF line ends
        a->update_display();
        QVERIFY(a->ui().te_datadisplay->toPlainText().startsWith("fr 1\n" + QString(1000, 'x')));
        QVERIFY(a->ui().te_datadisplay->toPlainText().endsWith(
            QString("x\n[%1 more characters not shown]").arg(frame.size() + 2 - 65507)));
    }

    void frameNumbersBeyondTwoToThe31_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QStringList>("messages");
        // The first number does not parse: refused without a message, as a file whose first frame line
        // carries no number.
        QTest::newRow("fr 2147483648 first")
            << QByteArray("fr 2147483648\nbody\nfr 2147483649\n") << QStringList();
        QTest::newRow("fr 2147483648 after fr 2147483647")
            << QByteArray("fr 2147483647\nbody\nfr 2147483648\n")
            << QStringList("This file has a problem with frame numbers and cannot be played.");
        QTest::newRow("fr 4294967297 after fr 1")
            << QByteArray("fr 1\nfr 4294967297\n")
            << QStringList("This file has a problem with frame numbers and cannot be played.");
        // A gap that would need an index entry for every number up to 2^31 - 1.
        QTest::newRow("gap to fr 2147483647")
            << QByteArray("fr 0\nfr 2147483647\n")
            << QStringList("This file has a problem with frame numbers and cannot be played.");
    }

    void frameNumbersBeyondTwoToThe31()
    {
        QFETCH(QByteArray, content);
        QFETCH(QStringList, messages);
        const QString good = write("good.orf", "fr 5\na\nfr 6\nb\n");
        open(good);
        answerer->clear();
        QElapsedTimer timer;
        timer.start();
        open(write("beyond.orf", content));
        qInfo("scanned in %lld ms", timer.elapsed());
        QCOMPARE(answerer->messageTexts(), messages);
        QCOMPARE(a->file_name(), good);
        QCOMPARE(a->ui().playSlider->minimum(), 5);
        QCOMPARE(a->ui().playSlider->maximum(), 6);
        QVERIFY(a->frames().size() <= 2);
    }

    void badSettingsFiles_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("message");
        const QString path = settingsPath();
        const QByteArray complete = defaultSettingsXml(6000, 6001, 6002, true).toUtf8();
        QTest::newRow("truncated") << complete.left(complete.indexOf("<ACTIVE") + 10)
                                   << kParsing.arg(path).arg(7).arg(14).arg("Premature end of document");
        QTest::newRow("empty") << QByteArray()
                               << kParsing.arg(path).arg(1).arg(0).arg("Premature end of document");
        QTest::newRow("recursive entities")
            << QByteArray("<!DOCTYPE OSTREL_RECORDER [<!ENTITY a \"x&b;\"><!ENTITY b \"y&a;\">]>\n"
                          "<OSTREL_RECORDER><SAVE_FILE_DIR SAVE_FILE_DIR=\"&a;\"/></OSTREL_RECORDER>\n")
            << kParsing.arg(path).arg(2).arg(50).arg("Self-referencing entity detected");
        QByteArray bomb =
            "<!DOCTYPE OSTREL_RECORDER [<!ENTITY a \"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\">";
        const char *names[] = {"b", "c", "d", "e", "f", "g", "h"};
        const char *previous = "a";
        for (const char *name : names) {
            bomb += QByteArray("<!ENTITY ") + name + " \"";
            for (int i = 0; i < 10; ++i)
                bomb += QByteArray("&") + previous + ";";
            bomb += "\">";
            previous = name;
        }
        bomb += "]>\n<OSTREL_RECORDER><SAVE_FILE_DIR SAVE_FILE_DIR=\"&h;\"/></OSTREL_RECORDER>\n";
        QTest::newRow("full of entities")
            << bomb
            << kParsing.arg(path).arg(2).arg(50).arg(
                   "Entity expands to more characters than the entity expansion limit");
        QByteArray deep = "<OSTREL_RECORDER>";
        for (int i = 0; i < 100000; ++i)
            deep += "<RECORD_PORT PORT_NR=\"1\">";
        QTest::newRow("deeply nested") << deep << kForeign.arg(path);
        QByteArray huge = "<OSTREL_RECORDER>\n";
        while (huge.size() < 64 * 1024 * 1024)
            huge += "    <RECORD_PORT PORT_NR=\"7\"/><!-- the same element again and again -->\n";
        huge += "</OSTREL_RECORDER>\n";
        QTest::newRow("huge") << huge << kForeign.arg(path);
    }

    // The settings of a bad file are not taken; the message names the problem, the program runs with its
    // start values and writes a complete file at its end.
    void badSettingsFiles()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, message);
        cleanup();
        QVERIFY(writeFile(settingsPath(), content));
        answerer.reset(new ModalAnswerer);
        QElapsedTimer timer;
        timer.start();
        makeWindow();
        qInfo("started in %lld ms", timer.elapsed());
        QCOMPARE(answerer->messageTexts(), QStringList(message));
        QCOMPARE(answerer->messages().first().title, QString("Error loading settings"));
        QCOMPARE(answerer->messages().first().icon, int(QMessageBox::Warning));
        QCOMPARE(a->port_record_string(), QString("5000"));
        QCOMPARE(a->ui().label_receive->text(), QString("port 5000"));
        QCOMPARE(a->save_file_dir(), sandboxHome());
        cleanup();
        const QString home = sandboxHome();
        QCOMPARE(readFile(settingsPath()), QByteArray("<OSTREL_RECORDER>\n"
                                                      "    <RECORD_PORT PORT_NR=\"5000\"/>\n"
                                                      "    <PLAY_HOST_1 HOST=\"localhost\"/>\n"
                                                      "    <PLAY_PORT_1 PORT_NR=\"5001\"/>\n"
                                                      "    <PLAY_HOST_2 HOST=\"localhost\"/>\n"
                                                      "    <PLAY_PORT_2 PORT_NR=\"5001\"/>\n"
                                                      "    <ACTIVE ACTIVE=\"false\"/>\n"
                                                      "    <FREQUENCY FREQUENCY=\"4\"/>\n"
                                                      "    <LOOP LOOP=\"true\"/>\n"
                                                      "    <TIMESTAMP TIMESTAMP=\"true\"/>\n"
                                                      "    <SAVE_FILE_DIR SAVE_FILE_DIR=\"" +
                                                      home.toUtf8() +
                                                      "\"/>\n"
                                                      "    <OPEN_FILE_DIR OPEN_FILE_DIR=\"" +
                                                      home.toUtf8() +
                                                      "\"/>\n"
                                                      "</OSTREL_RECORDER>\n"));
    }

    // A burst while the GUI thread is busy: the kernel queues the datagrams, the receiving thread writes
    // each one before it reports it, and the reports wait for the GUI thread. Nothing is lost as long as the
    // burst fits into the receive queue, which is sized here from the socket itself.
    void aBurstWhileTheWindowIsBusy()
    {
        const quint16 port = freeUdpPort();
        a->port_record() = port;
        a->port_record_string() = QString::number(port);
        a->ui().actionRecord->trigger();
        QCOMPARE(a->mode(), 2);
        const int fd = udpSocketOnPort(port);
        QVERIFY(fd >= 0);
        int queue = 0;
        socklen_t length = sizeof queue;
        QVERIFY(::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &queue, &length) == 0);
        // A 1,000-byte datagram takes well under 4 KiB of queue with its bookkeeping.
        const int count = qBound(50, queue / 4096, 2000);
        qInfo("receive queue %d bytes: a burst of %d datagrams", queue, count);

        QByteArray expected;
        const int sender = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(port);
        for (int n = 1; n <= count; ++n) { // no event is processed meanwhile
            QByteArray d = "fr " + QByteArray::number(n) + "\n";
            d += QByteArray(1000 - d.size() - 1, char('a' + n % 26)) + "\n";
            expected += d;
            QCOMPARE(::sendto(sender, d.constData(), size_t(d.size()), 0, reinterpret_cast<sockaddr *>(&addr),
                              sizeof addr),
                     ssize_t(d.size()));
        }
        ::close(sender);
        QTRY_COMPARE_WITH_TIMEOUT(a->packets_recorded(), count, 30000);
        answerer->queueFile(sandboxHome() + "/burst.orf");
        a->ui().actionStop->trigger();
        QCOMPARE(readFile(sandboxHome() + "/burst.orf"), expected);
        QVERIFY(answerer->messages().isEmpty()); // no frame lost
        QCOMPARE(a->ui().playSlider->maximum(), count);
    }
};

OSTREL_TEST_MAIN(TestBadInput)
#include "tst_bad_input.moc"

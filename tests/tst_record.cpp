// Record, Stop and Save as over real loopback datagrams; and the recording an earlier run left unsaved.
#include "record/temp_recording.h"
#include "test_support.h"
#include "window_test.h"

#include "app/live_display.h"

#include <QAbstractButton>
#include <QPlainTextEdit>
#include <QMessageBox>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace ostrel_test;

class TestRecord : public WindowTest
{
    Q_OBJECT

    // Waits for work of the receiving thread and the window: generous, for a loaded machine under ASan.
    static constexpr int kWorkMs = 60000;

    ManualClock clock;
    quint16 port = freeUdpPort();
    QString home = sandboxHome();
    const QString temp = QDir::tempPath() + "/ostrel_recorder_temp.orf";

    static QByteArray frame(int n) { return "fr " + QByteArray::number(n) + "\nts 0.02\nvalue 1 2\n"; }
    QString counts() const { return child<QLabel>("l_counts")->text(); }
    int datagramsCounted() const { return int(ostrel_test::datagramsCounted(*window)); }
    QString displayed() const { return child<QPlainTextEdit>("te_datadisplay")->toPlainText(); }

private slots:
    void init()
    {
        settings.text(Setting::RecordPort) = QString::number(port);
        newWindow();
        window->setClock(&clock);
    }
    void cleanup()
    {
        window.reset();
        QFile::remove(temp);
        settings = startSettings();
    }

    // What the window counted while recording is what Open finds in the saved file.
    void aRecordingIsSavedByteForByteWithItsLostFrames_data()
    {
        QTest::addColumn<QList<QByteArray>>("stream");
        QTest::addColumn<int>("lost");
        QTest::addColumn<QString>("group"); // joined on lo
        const QByteArray nul("fr 1\na\0b\n", 9),
            big = "fr 6\n" + QByteArray(65499, 'x') + "  \n"; // 65,507 bytes, on the wire too
        QTest::newRow("gaps, NUL, CR LF, largest")
            << QList<QByteArray>{nul, "fr 2\r\nts 1\r\n", "fr +4\n", big} << 2 << "";
        QTest::newRow("no frame first") << QList<QByteArray>{"# x\n", "fr 003\n", frame(4)} << 2 << "";
        QTest::newRow("from a group") << QList<QByteArray>{frame(1), frame(2)} << 0 << "239.255.1.7";
    }
    void aRecordingIsSavedByteForByteWithItsLostFrames()
    {
        QFETCH(QList<QByteArray>, stream);
        QFETCH(int, lost);
        QFETCH(QString, group);
        settings.text(Setting::RecordGroup) = group;
        settings.text(Setting::RecordInterface) = "lo";
        init();
        action("actionRecord")->trigger();
        // Each datagram counted before the clock moves on: the rate's arrival times are the clock's.
        for (int i = 0; i < stream.size(); ++i) {
            clock.advanceUs(10000);
            QVERIFY(
                sendUdp(port, stream[i], group.isEmpty() ? 0x7f000001u : *SettingsFile::groupFromText(group)));
            QTRY_COMPARE_WITH_TIMEOUT(datagramsCounted(), i + 1, kWorkMs);
        }
        QTRY_COMPARE_WITH_TIMEOUT(child<QLabel>("labelFrequency")->text(),
                                  stream.size() < 4 ? QString("%1 Hz").arg(stream.size()) : "100 Hz", kWorkMs);
        answerer->queueFile(home + "/" + QTest::currentDataTag());
        struct stat tempStat, saved;
        QVERIFY(::stat(qPrintable(temp), &tempStat) == 0);
        action("actionStop")->trigger();
        QCOMPARE(readFile(home + "/" + QTest::currentDataTag() + ".orf"), stream.join());
        // Moved into place, not copied: the same file, and no temporary recording left to save.
        QVERIFY(::stat(qPrintable(home + "/" + QTest::currentDataTag() + ".orf"), &saved) == 0);
        QCOMPARE(saved.st_ino, tempStat.st_ino);
        QVERIFY(!QFile::exists(temp) && !action("actionSave_as")->isEnabled());
        QCOMPARE(counts(), QString("%1 datagrams, %2 MB, %3 frames lost")
                               .arg(stream.size())
                               .arg(QString::number(stream.join().size() / 1e6, 'f', 1))
                               .arg(lost));
        QCOMPARE(answerer->messageTexts().filter(QString("Lost frame number %1:").arg(lost)).size(),
                 lost ? 1 : 0);
        action("actionPreview")->trigger();
        QCOMPARE(counts(), QString("0 datagrams, 0.0 MB, 0 frames lost"));
    }

    // A datagram of 64 KB is laid out once, not at every refresh; the counts of a stream that stops end
    // exact, however close together the reports came, and the display ends on its last datagram.
    void theDisplayAndTheCountsDrawOnlyWhatIsNew()
    {
        action("actionRecord")->trigger();
        const QByteArray big = "fr 1\n" + QByteArray(65502, 'x');
        QVERIFY(sendUdp(port, big));
        QTRY_COMPARE_WITH_TIMEOUT(displayed().size(), big.size(), kWorkMs);
        QSignalSpy set(child<QPlainTextEdit>("te_datadisplay"), &QPlainTextEdit::textChanged);
        for (int refresh = 0; refresh < 10; ++refresh)
            window->findChild<LiveDisplay *>("liveDisplay")->refresh();
        QCOMPARE(set.count(), 0);
        for (int n = 2; n <= 6; ++n) // the clock stands still: every report is within the refresh limit
            QVERIFY(sendUdp(port, frame(n)));
        QTRY_COMPARE_WITH_TIMEOUT(counts().section(',', 0, 0), QString("6 datagrams"), kWorkMs);
        QTRY_COMPARE_WITH_TIMEOUT(displayed(), QString(frame(6)), kWorkMs);
    }

    void aReceiveErrorKeepsTheRecordingSaveable()
    {
        action("actionRecord")->trigger();
        QVERIFY(sendUdp(port, frame(1)));
        QTRY_COMPARE_WITH_TIMEOUT(datagramsCounted(), 1, kWorkMs);
        const int devnull = ::open("/dev/null", O_RDONLY); // under the socket's descriptor: receiving fails
        QVERIFY(::dup2(devnull, udpSocketOnPort(port)) >= 0);
        ::close(devnull);
        // The thread may be waiting, without a time limit, on the socket that was under the descriptor (a
        // wait holds it): a datagram ends that wait, and the next read, from /dev/null, fails.
        sendUdp(port, frame(2));
        QTRY_COMPARE_WITH_TIMEOUT(answerer->messageTexts().join("|"),
                                  QString("Receiving on port %1 stopped because of a receive error."
                                          "\nThe data recorded so far are kept: save them with Save as.")
                                      .arg(port),
                                  kWorkMs);
        answerer->queueFile(home + "/rescued.orf");
        action("actionSave_as")->trigger();
        QCOMPARE(readFile(home + "/rescued.orf"), frame(1));
    }

    void anEarlierRunsRecordingIsOffered_data()
    {
        QTest::addColumn<QString>("choice");
        QTest::newRow("save") << "Save";
        QTest::newRow("discard") << "Discard";
        QTest::newRow("later") << "Later";
        QTest::newRow("locked by a running instance") << "";
    }
    void anEarlierRunsRecordingIsOffered()
    {
        QFETCH(QString, choice);
        const QString saved = home + "/earlier-" + choice + ".orf";
        QVERIFY(writeFile(temp, frame(1)));
        FILE *other = choice.isEmpty() ? temp_recording::open(temp) : nullptr; // another instance records
        QVERIFY(!choice.isEmpty() || (other && fputs("fr 1\n", other) >= 0 && fflush(other) == 0));
        init();
        QString asked;
        QTimer clicker; // answers the question with the chosen button
        connect(&clicker, &QTimer::timeout, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            for (QAbstractButton *button : box ? box->buttons() : QList<QAbstractButton *>())
                if (button->text() == (choice.isEmpty() ? "Later" : choice)) {
                    asked = box->text();
                    answerer.reset(new ModalAnswerer); // for the save dialog
                    answerer->queueFile(saved);
                    button->click();
                }
        });
        answerer.reset(); // the clicker alone answers the question
        clicker.start(5);
        window->offerEarlierRecording();
        clicker.stop();
        answerer.reset(new ModalAnswerer);
        QCOMPARE(asked.startsWith("A recording from an earlier run was not saved (0.0 MB, "), !other);
        QCOMPARE(QFile::exists(temp), choice == "Later" || other);
        QCOMPARE(readFile(saved), choice == "Save" ? frame(1) : QByteArray());
        // Record asks again before it truncates, when it was kept; the answerer says Later.
        action("actionRecord")->trigger();
        QCOMPARE(answerer->messageTexts().filter("A recording from an earlier run").size(),
                 choice == "Later" ? 1 : 0);
        QCOMPARE(mode(), choice == "Later" || other ? 0 : 2);
        if (other)
            fclose(other);
        action("actionStop")->trigger();
    }
};

OSTREL_TEST_MAIN(TestRecord)
#include "tst_record.moc"

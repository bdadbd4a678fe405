// Record, Stop and Save as over real loopback datagrams; and the recording an earlier run left unsaved.
#include "record/temp_recording.h"
#include "test_support.h"
#include "window_access.h"

#include <QAbstractButton>
#include <QLabel>
#include <QMessageBox>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace ostrel_test;

class TestRecord : public WindowTest
{
    Q_OBJECT

    ManualClock clock;
    quint16 port = freeUdpPort();
    QString home = sandboxHome();

    static QByteArray frame(int n) { return "fr " + QByteArray::number(n) + "\nts 0.02\nvalue 1 2\n"; }
    QString counts() const { return window->findChild<QLabel *>("l_counts")->text(); }

private slots:
    void init()
    {
        writeHomeSettings(defaultSettingsXml(port));
        newWindow();
        window->setClock(&clock);
    }
    // The window writes its settings as it closes: before the next init() writes the defaults again.
    void cleanup()
    {
        QFile::remove(a->temp_file_name());
        window.reset();
    } // its settings written before init's

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
        a->settings().text(SettingsFile::Setting::RecordGroup) = group;
        a->settings().text(SettingsFile::Setting::RecordInterface) = "lo";
        window->on_actionRecord_triggered();
        for (const QByteArray &datagram : stream) {
            clock.advanceUs(10000);
            QVERIFY(
                sendUdp(port, datagram, group.isEmpty() ? 0x7f000001u : *SettingsFile::groupFromText(group)));
            QTRY_COMPARE(a->packets_recorded(), stream.indexOf(datagram) + 1);
        }
        a->update_display();
        QCOMPARE(a->ui().labelFrequency->text(),
                 QString(stream.size() < 4 ? "%1 Hz" : "100 Hz").arg(stream.size()));
        answerer->queueFile(home + "/" + QTest::currentDataTag());
        struct stat temp, saved;
        QVERIFY(::stat(qPrintable(a->temp_file_name()), &temp) == 0);
        window->on_actionStop_triggered();
        QCOMPARE(readFile(home + "/" + QTest::currentDataTag() + ".orf"), stream.join());
        // Moved into place, not copied: the same file, and no temporary recording left to save.
        QVERIFY(::stat(qPrintable(home + "/" + QTest::currentDataTag() + ".orf"), &saved) == 0);
        QCOMPARE(saved.st_ino, temp.st_ino);
        QVERIFY(!QFile::exists(a->temp_file_name()) && !a->ui().actionSave_as->isEnabled());
        QCOMPARE(counts(), QString("%1 datagrams, %2 MB, %3 frames lost")
                               .arg(stream.size())
                               .arg(QString::number(stream.join().size() / 1e6, 'f', 1))
                               .arg(lost));
        QCOMPARE(answerer->messageTexts().filter(QString("Lost frame number %1:").arg(lost)).size(),
                 lost ? 1 : 0);
        window->on_actionPreview_triggered();
        QCOMPARE(counts(), QString("0 datagrams, 0.0 MB, 0 frames lost"));
    }

    // A datagram of 64 KB is laid out once, not at every refresh; the counts of a stream that stops end
    // exact, however close together the reports came.
    void theDisplayAndTheCountsDrawOnlyWhatIsNew()
    {
        window->on_actionRecord_triggered();
        const QByteArray big = "fr 1\n" + QByteArray(65502, 'x');
        QVERIFY(sendUdp(port, big));
        QTRY_COMPARE(a->ui().te_datadisplay->toPlainText().size(), big.size());
        QSignalSpy set(a->ui().te_datadisplay, &QPlainTextEdit::textChanged);
        for (int refresh = 0; refresh < 10; ++refresh)
            a->update_display();
        QCOMPARE(set.count(), 0);
        for (int n = 2; n <= 6; ++n) // the clock stands still: every report is within the refresh limit
            QVERIFY(sendUdp(port, frame(n)));
        QTRY_COMPARE(counts().section(',', 0, 0), QString("6 datagrams"));
        QTRY_COMPARE(set.count(), 1);
    }

    void aReceiveErrorKeepsTheRecordingSaveable()
    {
        window->on_actionRecord_triggered();
        QVERIFY(sendUdp(port, frame(1)));
        QTRY_COMPARE(a->packets_recorded(), 1);
        const int devnull = ::open("/dev/null", O_RDONLY); // under the socket's descriptor: receiving fails
        QVERIFY(::dup2(devnull, udpSocketOnPort(port)) >= 0);
        ::close(devnull);
        QTRY_COMPARE(answerer->messageTexts().join("|"),
                     QString("Receiving on port %1 stopped because of a receive error."
                             "\nThe data recorded so far are kept: save them with Save as.")
                         .arg(port));
        answerer->queueFile(home + "/rescued.orf");
        window->on_actionSave_as_triggered();
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
        const QString temp = a->temp_file_name(), saved = home + "/earlier-" + choice + ".orf";
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
        answerer.reset();
        clicker.start(5);
        window->offerEarlierRecording();
        answerer.reset(new ModalAnswerer);
        QCOMPARE(asked.startsWith("A recording from an earlier run was not saved (0.0 MB, "), !other);
        QCOMPARE(QFile::exists(temp), choice == "Later" || other);
        QCOMPARE(readFile(saved), choice == "Save" ? frame(1) : QByteArray());
        asked.clear();
        window->on_actionRecord_triggered(); // asks again before it truncates, when it was kept
        QCOMPARE(!asked.isEmpty(), choice == "Later");
        QCOMPARE(a->mode(), choice == "Later" || other ? 0 : 2);
        if (other)
            fclose(other);
        window->on_actionStop_triggered();
    }
};

OSTREL_TEST_MAIN(TestRecord)
#include "tst_record.moc"

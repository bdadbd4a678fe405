// Opening a recording through the window: the dialog, the frame index, the slider and every message.
#include "test_support.h"
#include "window_access.h"

#include <QMessageBox>

using namespace ostrel_test;

class TestOpen : public QObject
{
    Q_OBJECT

    std::unique_ptr<Ostrel_recorder> window;
    std::unique_ptr<OstrelRecorderTestAccess> a;
    std::unique_ptr<ModalAnswerer> answerer;

    QString recording(const QString &name, const QByteArray &content)
    {
        const QString dir = sandboxHome() + "/recordings";
        QDir().mkpath(dir);
        writeFile(dir + "/" + name, content);
        return dir + "/" + name;
    }

private slots:
    void initTestCase() { writeHomeSettings(defaultSettingsXml()); }

    void init()
    {
        answerer.reset(new ModalAnswerer);
        window.reset(new Ostrel_recorder(sandboxHome() + "/.NUV/Ostrel_Recorder"));
        a.reset(new OstrelRecorderTestAccess(*window));
    }

    void cleanup()
    {
        a.reset();
        window.reset();
        answerer.reset();
    }

    void openMakesTheRecordingCurrent()
    {
        const QString path = recording("good.orf", "fr 17\nts 0.5\na\nfr 18\n# note\nb\nfr 19\nc\n");
        a->open_file_dir() = sandboxHome();
        answerer->queueFile(path);
        window->on_actionOpen_triggered();
        QCOMPARE(answerer->records().size(), 1);
        QCOMPARE(answerer->records()[0].title, QString("Open File"));
        QCOMPARE(answerer->records()[0].text, sandboxHome() + "|Ostrel Recorder files (*.orf)");
        QCOMPARE(a->file_name(), path);
        QCOMPARE(a->ui().l_filename->text(), path);
        QCOMPARE(a->open_file_dir(), sandboxHome() + "/recordings");
        QCOMPARE(a->first_frame(), 17u);
        QCOMPARE(a->last_frame(), 19u);
        QCOMPARE(a->ui().playSlider->minimum(), 17);
        QCOMPARE(a->ui().playSlider->maximum(), 19);
        QCOMPARE(a->ui().playSlider->value(), 17);
        QVERIFY(a->ui().playSlider->isEnabled());
        QVERIFY(a->ui().actionPlay->isEnabled());
        QCOMPARE(a->read_from_vector(18), QString("fr 18\n# note\nb\n"));
        QVERIFY(answerer->messages().isEmpty());
    }

    void cancellingDisablesTheSlider()
    {
        a->ui().playSlider->setEnabled(true);
        window->on_actionOpen_triggered();
        QVERIFY(!a->ui().playSlider->isEnabled());
        QVERIFY(a->file_name().isEmpty());
    }

    void messagesOfOpening_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("opened");
        QTest::addColumn<int>("icon");
        QTest::addColumn<QString>("text");
        QTest::newRow("gap") << QByteArray("fr 5\nfr 6\nfr 8\nfr 9\n") << true << int(QMessageBox::Warning)
                             << "Lost frame number 1:  7";
        QTest::newRow("twelve lost") << QByteArray("fr 1\nfr 14\n") << true << int(QMessageBox::Warning)
                                     << "Lost frame number 12:  2 3 4 5 6 7 8 9 10 11...";
        QTest::newRow("repeated") << QByteArray("fr 8\nfr 8\n") << false << int(QMessageBox::Critical)
                                  << "This file has a problem with frame numbers and cannot be played.";
        QTest::newRow("not a number later")
            << QByteArray("fr 3\nfr x\n") << false << int(QMessageBox::Critical)
            << "This file has a problem with frame numbers and cannot be played.";
        QTest::newRow("not a number first") << QByteArray("fr x\nfr 3\n") << false << 0 << QString();
        QTest::newRow("empty") << QByteArray() << true << 0 << QString();
    }

    void messagesOfOpening()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, opened);
        QFETCH(int, icon);
        QFETCH(QString, text);
        answerer->queueFile(recording("case.orf", content));
        window->on_actionOpen_triggered();
        QCOMPARE(a->file_name().isEmpty(), !opened);
        const QList<ModalRecord> messages = answerer->messages();
        if (text.isEmpty()) {
            QVERIFY(messages.isEmpty());
            return;
        }
        QCOMPARE(messages.size(), 1);
        QCOMPARE(messages[0].title, QString("Ostrel Recorder"));
        QCOMPARE(messages[0].icon, icon);
        QCOMPARE(messages[0].text, text);
    }

    void aFileThatCannotBeOpenedIsReported()
    {
        const QString missing = sandboxHome() + "/gone.orf";
        QVERIFY(!a->initSlider(missing));
        QCOMPARE(answerer->messages().size(), 1);
        QCOMPARE(answerer->messages()[0].title, QString("Error opening file"));
        QCOMPARE(answerer->messages()[0].text, QString("File %1 cannot be opened.").arg(missing));
    }

    void aFailedOpenKeepsThePreviousRecordingAndLooksUpSafely()
    {
        const QString good = recording("first.orf", "fr 100\na\nfr 101\nb\nfr 102\nc\n");
        answerer->queueFile(good);
        window->on_actionOpen_triggered();
        answerer->queueFile(recording("broken.orf", "fr 4\nfr 3\n"));
        window->on_actionOpen_triggered();
        QCOMPARE(a->file_name(), good);
        // The slider still spans the first recording while the index no longer describes it.
        QCOMPARE(a->ui().playSlider->maximum(), 102);
        for (int position : {100, 101, 102, -1, 2147483647})
            QCOMPARE(a->read_from_vector(position), QString());
        a->updateContent(101);
        QCOMPARE(a->ui().te_datadisplay->toPlainText(), QString());
    }
};

OSTREL_TEST_MAIN(TestOpen)
#include "tst_open.moc"

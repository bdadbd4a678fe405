// The main window as a whole: its form, the enabled actions of every state, the Help menu, start-up with
// and without a send socket, and the end of the program.
#include "aboutdlg.h"
#include "help.h"
#include "test_support.h"
#include "window_access.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QToolBar>
#include <QToolButton>
#include <QWhatsThis>

#include <QMessageBox>

#include <sys/resource.h>
#include <unistd.h>

using namespace ostrel_test;

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { writeHomeSettings(defaultSettingsXml(5000, 5001, 5002, true)); }

    void formLooksAsDesigned()
    {
        Ostrel_recorder w(sandboxHome() + "/.NUV/Ostrel_Recorder");
        OstrelRecorderTestAccess a(w);
        QCOMPARE(w.windowTitle(), QString("Ostrel Recorder"));
        QCOMPARE(w.size(), QSize(523, 567));
        QCOMPARE(w.objectName(), QString("mw_ostrel_recorder"));
        QVERIFY(!w.windowIcon().isNull());

        QToolBar *toolBar = a.ui().toolBar;
        QCOMPARE(toolBar->windowTitle(), QString("Show button"));
        QCOMPARE(toolBar->iconSize(), QSize(22, 22));
        QCOMPARE(toolBar->toolButtonStyle(), Qt::ToolButtonIconOnly);
        QStringList entries;
        for (QAction *action : toolBar->actions())
            entries << (action->isSeparator() ? QString("|") : action->objectName());
        QCOMPARE(entries, QStringList({"actionOpen", "actionSave_as", "|", "actionPlay", "actionPause",
                                       "actionRecord", "actionStop", "|", "actionPreview"}));
        for (QAction *action : toolBar->actions())
            QVERIFY2(action->isSeparator() || !action->icon().isNull(), qPrintable(action->objectName()));

        QStringList menus;
        for (QAction *action : a.ui().menubar->actions())
            menus << action->text();
        QCOMPARE(menus, QStringList({"&File", "&Settings", "&Help"}));

        QCOMPARE(a.ui().actionExit->shortcut(), QKeySequence(Qt::Key_Q));
        QCOMPARE(a.ui().actionOpen->shortcut(), QKeySequence("Ctrl+O"));
        QCOMPARE(a.ui().actionSave_as->shortcut(), QKeySequence("Ctrl+S"));
        QCOMPARE(a.ui().actionRecordSettings->shortcut(), QKeySequence(Qt::Key_F8));
        QCOMPARE(a.ui().actionPlaySettings->shortcut(), QKeySequence(Qt::Key_F9));
        QCOMPARE(a.ui().actionHelp->whatsThis(), QString("Help text"));
        QCOMPARE(
            a.ui().label_receive->whatsThis(),
            QString("This shows the  port from which Ostrel Recorder is receiving for data. Make sure that "
                    "it corresponds to the output settings in Ostrel2"));
        QVERIFY(!a.ui().playSlider->hasTracking());
        QVERIFY(a.ui().te_datadisplay->isReadOnly());
        QCOMPARE(a.ui().cb_disableView->text(), QString("&disable view"));
    }

    void labelsShowTheLoadedSettings()
    {
        Ostrel_recorder w(sandboxHome() + "/.NUV/Ostrel_Recorder");
        OstrelRecorderTestAccess a(w);
        QCOMPARE(a.ui().label_receive->text(), QString("port 5000"));
        QCOMPARE(a.ui().label_send_1->text(), QString("127.0.0.1  port 5001"));
        QCOMPARE(a.ui().label_send_2->text(), QString("127.0.0.1  port 5002"));
        QCOMPARE(a.ui().labelFrequency->text(), QString("-- Hz"));
        QCOMPARE(a.ui().l_filename->text(), QString("no file selected"));
    }

    void actionsFollowTheMode_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("data");
        // open, save as, play, pause, record, stop, preview, settings, slider, disable view
        QTest::addColumn<QString>("expected");
        QTest::newRow("idle, nothing to play") << 0 << false << "1000101101";
        QTest::newRow("idle with data") << 0 << true << "1110101101";
        QTest::newRow("play") << 1 << true << "0001010001";
        QTest::newRow("record") << 2 << true << "0000010001";
        QTest::newRow("preview") << 4 << true << "0000110000";
    }

    void actionsFollowTheMode()
    {
        QFETCH(int, mode);
        QFETCH(bool, data);
        QFETCH(QString, expected);
        Ostrel_recorder w(sandboxHome() + "/.NUV/Ostrel_Recorder");
        OstrelRecorderTestAccess a(w);
        a.file_name() = data ? QString("/somewhere/recording.orf") : QString();
        a.mode() = mode;
        a.updateActions();
        QCOMPARE(enabledPattern(a), expected);
        // Help, About, Exit and What's this stay available in every state.
        for (QAction *action :
             {a.ui().actionExit, a.ui().actionHelp, a.ui().actionAbout, a.ui().actionEnterWhatsThis})
            QVERIFY(action->isEnabled());
        QVERIFY(a.ui().btn_clear->isEnabled());
    }

    void anUnknownModeChangesNothing()
    {
        Ostrel_recorder w(sandboxHome() + "/.NUV/Ostrel_Recorder");
        OstrelRecorderTestAccess a(w);
        const QString before = enabledPattern(a);
        a.mode() = 3;
        a.updateActions();
        QCOMPARE(enabledPattern(a), before);
    }

    void packetsCountAsDataToo()
    {
        Ostrel_recorder w(sandboxHome() + "/.NUV/Ostrel_Recorder");
        OstrelRecorderTestAccess a(w);
        a.packets_recorded() = 3;
        a.updateActions();
        QVERIFY(a.ui().actionPlay->isEnabled());
        QVERIFY(a.ui().actionSave_as->isEnabled());
    }

    void clearEmptiesTheTextField()
    {
        Ostrel_recorder w(sandboxHome() + "/.NUV/Ostrel_Recorder");
        OstrelRecorderTestAccess a(w);
        a.ui().te_datadisplay->setPlainText("fr 1\nbody");
        a.ui().btn_clear->click();
        QVERIFY(a.ui().te_datadisplay->toPlainText().isEmpty());
    }

    void helpAndAboutAreModalAndReused()
    {
        Ostrel_recorder w(sandboxHome() + "/.NUV/Ostrel_Recorder");
        OstrelRecorderTestAccess a(w);
        ModalAnswerer answerer;
        QList<QWidget *> shown;
        auto remember = [&shown](QWidget *dialog) {
            shown << dialog;
            static_cast<QDialog *>(dialog)->accept();
        };
        for (int i = 0; i < 2; ++i) {
            answerer.queueDialog(remember);
            w.on_actionHelp_triggered();
            answerer.queueDialog(remember);
            w.on_actionAbout_triggered();
        }
        QCOMPARE(shown.size(), 4);
        QCOMPARE(shown[0], static_cast<QWidget *>(a.help_dialog()));
        QCOMPARE(shown[2], static_cast<QWidget *>(a.help_dialog()));
        QCOMPARE(shown[1], static_cast<QWidget *>(a.about_dialog()));
        QCOMPARE(shown[3], static_cast<QWidget *>(a.about_dialog()));
        QCOMPARE(answerer.records()[0].title, QString("Help"));
        QCOMPARE(answerer.records()[1].title, QString("About"));
        QCOMPARE(a.about_dialog()->findChild<QLabel *>("label_version")->text(),
                 QString("Ostrel Recorder v1.1.4 "));
        QCOMPARE(a.about_dialog()->findChild<QLabel *>("label_date")->text(), QString("05.11.2015"));
    }

    void whatsThisModeFromTheHelpMenu()
    {
        Ostrel_recorder w(sandboxHome() + "/.NUV/Ostrel_Recorder");
        w.on_actionEnterWhatsThis_triggered();
        QVERIFY(QWhatsThis::inWhatsThisMode());
        QWhatsThis::leaveWhatsThisMode();
    }

    void settingsShortcutsAreDeadOutsideIdle()
    {
        // The Settings menu is disabled while anything runs; its keyboard shortcuts must not open the
        // dialogs.
        Ostrel_recorder w(sandboxHome() + "/.NUV/Ostrel_Recorder");
        OstrelRecorderTestAccess a(w);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        a.mode() = 2;
        a.updateActions();
        ModalAnswerer answerer;
        QTest::keyClick(&w, Qt::Key_F8);
        QTest::keyClick(&w, Qt::Key_F9);
        QCoreApplication::processEvents();
        QVERIFY(answerer.records().isEmpty());
    }

    void startsWithoutASendSocket()
    {
        // No descriptor left for the send socket: the message names the result and the window still opens.
#if defined(__SANITIZE_ADDRESS__)
        QSKIP("the sanitizers' own checks need free descriptors; this case runs in the plain build");
#endif
        rlimit old;
        QVERIFY(getrlimit(RLIMIT_NOFILE, &old) == 0);
        int probe = ::dup(0);
        QVERIFY(probe >= 0);
        ::close(probe);
        ModalAnswerer answerer;
        rlimit tight = old;
        tight.rlim_cur = rlim_t(probe);
        QVERIFY(setrlimit(RLIMIT_NOFILE, &tight) == 0);
        auto *w = new Ostrel_recorder(sandboxHome() + "/.NUV/Ostrel_Recorder");
        QVERIFY(setrlimit(RLIMIT_NOFILE, &old) == 0);
        OstrelRecorderTestAccess a(*w);
        QVERIFY(a.socket_play() == nullptr);
        const QList<ModalRecord> messages = answerer.messages();
        QVERIFY(!messages.isEmpty());
        QCOMPARE(messages.first().title, QString("Ostrel Recorder"));
        QCOMPARE(messages.first().text, QString("Please check your UDP settings. (-2)"));
        QCOMPARE(messages.first().icon, int(QMessageBox::Critical));
        w->show();
        QVERIFY(w->isVisible());
        // Play refuses instead of sending through a socket that does not exist.
        a.file_name() = QDir(sandboxHome()).filePath("any.orf");
        answerer.clear();
        w->on_actionPlay_triggered();
        QCOMPARE(answerer.messageTexts(),
                 QStringList("Nothing can be sent: the UDP socket could not be opened at start-up.\n"
                             "Please check your UDP settings."));
        QCOMPARE(a.mode(), 0);
        delete w;
    }

    void exitClosesTheWindow()
    {
        Ostrel_recorder w(sandboxHome() + "/.NUV/Ostrel_Recorder");
        w.show();
        QVERIFY(w.isVisible());
        w.on_actionExit_triggered();
        QVERIFY(!w.isVisible());
    }

private:
    static QString enabledPattern(OstrelRecorderTestAccess &a)
    {
        auto &ui = a.ui();
        QString s;
        for (bool on : {ui.actionOpen->isEnabled(), ui.actionSave_as->isEnabled(), ui.actionPlay->isEnabled(),
                        ui.actionPause->isEnabled(), ui.actionRecord->isEnabled(), ui.actionStop->isEnabled(),
                        ui.actionPreview->isEnabled(), ui.menuSettings->isEnabled(),
                        ui.playSlider->isEnabled(), ui.cb_disableView->isEnabled()})
            s += on ? '1' : '0';
        return s;
    }
};

OSTREL_TEST_MAIN(TestMainWindow)
#include "tst_main_window.moc"

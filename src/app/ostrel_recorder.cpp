#include "app/ostrel_recorder.h"

#include "ap/ap_socket.h"
#include "app/live_display.h"
#include "dialogs/aboutdlg.h"
#include "dialogs/help.h"
#include "dialogs/settings_play.h"
#include "dialogs/settings_record.h"
#include "play/playback_engine.h"
#include "record/ostrel_recorder_thread.h"

#include <QFileInfo>
#include <QMessageBox>
#include <QStandardPaths>
#include <QWhatsThis>

Ostrel_recorder::Ostrel_recorder(QString config_dir)
    : QMainWindow(nullptr), config_dir(config_dir)
{
    ui.setupUi(this);

    const int result = ap_udp_init(&socket_play, 0, 1);
    if (result < 0) {
        socket_play = nullptr;
        QMessageBox::critical(this, tr("Ostrel Recorder"),
                              tr("Please check your UDP settings. (") + QString::number(result) + ")",
                              QMessageBox::Ok, QMessageBox::NoButton);
    }

    engine = new PlaybackEngine(this);
    engine->setSocket(socket_play);
    connect(engine, &PlaybackEngine::progressed, this, &Ostrel_recorder::playbackProgressed);

    recorder_thread = new Ostrel_Recorder_Thread(nullptr);
    connect(recorder_thread, &Ostrel_Recorder_Thread::status, this, &Ostrel_recorder::update_status);
    live = new LiveDisplay({ui.te_datadisplay, ui.labelFrequency, ui.statusbar, ui.cb_disableView, ui.btn_clear},
                           recorder_thread, this);

    settings_record = new Settings_record(this);
    settings_play = new Settings_play(this);
    about_dialog = new AboutDlg(this);
    help_dialog = new Help(this);
    connect(settings_play, &Settings_play::writeSettingFile, this, &Ostrel_recorder::writeSettings);
    connect(settings_record, &Settings_record::writeSettingFile, this, &Ostrel_recorder::writeSettings);

    // Until the file names others: the home directory for both, the dialogs' own start values for the rest.
    const QString home = QStandardPaths::writableLocation(QStandardPaths::HomeLocation);
    settings.text(SettingsFile::Setting::SaveFileDir) = settings.text(SettingsFile::Setting::OpenFileDir) =
        home;
    loadSettingsXML();
    updateSettingsLabels();
    updateActions();

    ui.l_filename->setText("no file selected");
    updateLabelFrequency();
}

Ostrel_recorder::~Ostrel_recorder()
{
    writeSettingsXML();
    // The threads may still use the sockets: they must stop before any socket is closed.
    engine->stop();
    delete recorder_thread;
    if (socket_play)
        ap_udp_exit(socket_play);
    if (socket_record)
        ap_udp_exit(socket_record);
    socket_play = socket_record = nullptr;
    delete settings_record;
    delete settings_play;
    delete about_dialog;
    delete help_dialog;
    // The temporary recording is closed with its member and left for the next start to offer.
}

void Ostrel_recorder::setClock(Clock *clock)
{
    live->setClock(clock);
}

void Ostrel_recorder::startUp(const QStringList &arguments)
{
    show();
    offerEarlierRecording();
    if (arguments.size() > 1)
        openRecording(QFileInfo(arguments.at(1)).absoluteFilePath());
}

void Ostrel_recorder::setState(State next)
{
    state = next;
    live->setRateShown(state != State::Playing && state != State::Paused);
    updateActions();
}

void Ostrel_recorder::updateActions()
{
    const bool idle = state == State::Idle, paused = state == State::Paused;
    const bool opened = !file_name.isEmpty();
    // An unsaved temporary recording: kept after a failed or interrupted save, or a receive error.
    const bool unsavedOpen = unsaved.isOpen();
    ui.actionOpen->setEnabled(idle);
    ui.actionSave_as->setEnabled(idle && unsavedOpen);
    ui.actionRecordingInfo->setEnabled(opened);
    ui.actionExportCapture->setEnabled(idle && opened);
    ui.actionSaveFrames->setEnabled(idle && opened);
    ui.actionPlay->setEnabled((idle && (opened || unsavedOpen)) || paused);
    ui.actionPause->setEnabled(state == State::Playing);
    ui.actionRecord->setEnabled(idle || state == State::Previewing);
    ui.actionStop->setEnabled(!idle);
    ui.actionPreview->setEnabled(idle);
    ui.menuSettings->setEnabled(idle);
    ui.playSlider->setEnabled((idle && opened) || paused);
    ui.cb_disableView->setEnabled(state != State::Previewing);
    ui.frameStrip->setVisible(opened);
    emit actionsUpdated();
}

void Ostrel_recorder::on_actionHelp_triggered()
{
    help_dialog->exec();
}

void Ostrel_recorder::on_actionAbout_triggered()
{
    about_dialog->exec();
}

void Ostrel_recorder::on_actionExit_triggered()
{
    close();
}

void Ostrel_recorder::on_actionEnterWhatsThis_triggered()
{
    QWhatsThis::enterWhatsThisMode();
}

#include "moc_ostrel_recorder.cpp"

#include "app/ostrel_recorder.h"

#include "dialogs/aboutdlg.h"
#include "ap/ap_socket.h"
#include "record/clock.h"
#include "app/frame_strip.h"
#include "dialogs/help.h"
#include "record/ostrel_recorder_thread.h"
#include "play/playback_engine.h"
#include "dialogs/settings_play.h"
#include "dialogs/settings_record.h"
#include "record/temp_recording.h"

#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QMutex>
#include <QPushButton>
#include <QStandardPaths>
#include <QTimer>
#include <QWhatsThis>

Ostrel_recorder::Ostrel_recorder(QString config_dir)
    : QMainWindow(nullptr), config_dir(config_dir), system_clock(new Clock)
{
    clock = system_clock.get();
    ui.setupUi(this);

    const int result = ap_udp_init(&socket_play, 0, 1);
    if (result < 0) {
        socket_play = nullptr;
        QMessageBox::critical(this, tr("Ostrel Recorder"),
                              tr("Please check your UDP settings. (") + QString::number(result) + ")",
                              QMessageBox::Ok, QMessageBox::NoButton);
    }

    socket_record = nullptr;
    record_file = nullptr;
    temp_file_name = QDir::tempPath() + "/ostrel_recorder_temp.orf";
    file_name = "";
    // Noted before anything can write to the file; offered once the window shows, asked again by Record.
    earlier_recording = temp_recording::leftover(temp_file_name).found;

    engine = new PlaybackEngine(this);
    engine->setSocket(socket_play);
    connect(engine, &PlaybackEngine::progressed, this, &Ostrel_recorder::playbackProgressed);
    display_timer = new QTimer(this);
    connect(display_timer, &QTimer::timeout, this, &Ostrel_recorder::update_display);

    recorder_thread = new Ostrel_Recorder_Thread(nullptr);
    connect(recorder_thread, &Ostrel_Recorder_Thread::status, this, &Ostrel_recorder::update_status);

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

    frequency_mutex = new QMutex;
    frequency_reset = false;

    ui.l_filename->setText("no file selected");
    updateLabelFrequency();
    counts_label = new QLabel(this);
    counts_label->setObjectName("l_counts");
    ui.statusbar->addPermanentWidget(counts_label);
    counts_timer = new QTimer(this);
    counts_timer->setSingleShot(true);
    connect(counts_timer, &QTimer::timeout, this, [this] { showCounts(); });
    // After Clear the next refresh shows the latest datagram or frame again.
    connect(ui.btn_clear, &QPushButton::clicked, this, [this] { display_new = true; });
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
    delete frequency_mutex;
    delete settings_record;
    delete settings_play;
    delete about_dialog;
    delete help_dialog;
    if (record_file) {
        fclose(record_file);
        record_file = nullptr;
    }
}

void Ostrel_recorder::setClock(Clock *c)
{
    clock = c ? c : system_clock.get();
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
    updateActions();
}

void Ostrel_recorder::updateActions()
{
    const bool idle = state == State::Idle, paused = state == State::Paused;
    const bool opened = !file_name.isEmpty();
    // An unsaved temporary recording: kept after a failed or interrupted save, or a receive error.
    const bool unsaved = record_file != nullptr;
    ui.actionOpen->setEnabled(idle);
    ui.actionSave_as->setEnabled(idle && unsaved);
    ui.actionRecordingInfo->setEnabled(opened);
    ui.actionExportCapture->setEnabled(idle && opened);
    ui.actionPlay->setEnabled((idle && (opened || unsaved)) || paused);
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

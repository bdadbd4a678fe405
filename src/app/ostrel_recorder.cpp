#include "ostrel_recorder.h"

#include "aboutdlg.h"
#include "ap_socket.h"
#include "clock.h"
#include "help.h"
#include "ostrel_recorder_thread.h"
#include "playback_engine.h"
#include "settings_play.h"
#include "settings_record.h"
#include "temp_recording.h"

#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QMutex>
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

    paused = false;
    slider_moved = false;
    mode = 0;
    packets_recorded = 0;
    updateActions();

    frequency_mutex = new QMutex;
    frequency_reset = false;

    ui.l_filename->setText("no file selected");
    updateLabelFrequency();
    counts_label = new QLabel(this);
    counts_label->setObjectName("l_counts");
    ui.statusbar->addPermanentWidget(counts_label);
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

void Ostrel_recorder::updateActions()
{
    struct Row
    {
        bool open, save_as, play, pause, record, stop, preview, settings, slider, disable_view;
    };
    const bool data = !file_name.isEmpty() || packets_recorded != 0;
    Row row;
    switch (mode) {
    case 0:
        row = {true, data, data, false, true, false, true, true, false, true};
        break;
    case 1:
        row = {false, false, false, true, false, true, false, false, false, true};
        break;
    case 2:
        row = {false, false, false, false, false, true, false, false, false, true};
        break;
    case 4:
        row = {false, false, false, false, true, true, false, false, false, false};
        break;
    default:
        return;
    }
    ui.actionOpen->setEnabled(row.open);
    ui.actionSave_as->setEnabled(row.save_as);
    ui.actionPlay->setEnabled(row.play);
    ui.actionPause->setEnabled(row.pause);
    ui.actionRecord->setEnabled(row.record);
    ui.actionStop->setEnabled(row.stop);
    ui.actionPreview->setEnabled(row.preview);
    ui.menuSettings->setEnabled(row.settings);
    ui.playSlider->setEnabled(row.slider);
    ui.cb_disableView->setEnabled(row.disable_view);
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

// The main window controller: owns the form, the sockets, the receiving thread, the live display, the
// temporary recording, the frame index of the current recording, all settings values and the dialogs. Its
// slots are the program's operations; the implementation is split by subject over ostrel_recorder_*.cpp.
#pragma once

#include "app/frame_positions.h"
#include "app/unsaved_recording.h"
#include "capture/capture_recording.h"
#include "capture/capture_writer.h"
#include "capture/opened_recording.h"
#include "play/playback_engine.h"
#include "recording/frame_index.h"
#include "recording/recording_info.h"
#include "settings/settings_file.h"
#include "ui_mw_ostrel_recorder.h"

#include <QMainWindow>
#include <QString>

class AboutDlg;
class Clock;
class Help;
class LiveDisplay;
class Ostrel_Recorder_Thread;
class Settings_play;
class Settings_record;

class Ostrel_recorder : public QMainWindow
{
    Q_OBJECT

public:
    // What the window is doing; every action's enabled state follows from it (updateActions()).
    enum class State
    {
        Idle,
        Previewing,
        Recording,
        Playing,
        Paused,
    };

    explicit Ostrel_recorder(QString config_dir);
    ~Ostrel_recorder() override;

    // The clock of the live display's rate and refresh limit; tests drive time through their own. The
    // window never owns it; null: the system clock.
    void setClock(Clock *clock);
    // What main() does once the window exists: shows it, offers a recording an earlier run left unsaved, and
    // opens the recording named on the command line (arguments as QCoreApplication::arguments() gives
    // them, Qt's own options already taken out; a second file is ignored).
    void startUp(const QStringList &arguments);
    // At start-up, once the window shows: offers a recording an earlier run left unsaved.
    void offerEarlierRecording();
    // Opens a recording, or a capture as the recording its datagrams make, as File -> Open does after its
    // dialog: the same checks and messages. True when it became the current recording; otherwise the
    // previous one stays exactly as it was.
    bool openRecording(const QString &name);

    // What a script reads and does beyond the actions (the D-Bus interface, app/dbus_control.h).
    State currentState() const { return state; }
    QString currentFile() const { return file_name; }
    qint64 currentFrame() const { return current_frame; }
    qint64 receivedDatagrams() const; // of the current or last receiving run
    qint64 receivedLostFrames() const;
    // Off: a Stop of a recording keeps the temporary recording for saveRecordingAs(), asking nothing.
    void setAskToSaveAtStop(bool ask) { ask_to_save_at_stop = ask; }
    // Save as to a name given instead of one from its dialog (".orf" added when missing); an existing file
    // is refused with *why. True when saved.
    bool saveRecordingAs(const QString &name, QString *why);
    // Moves to the frame as dragging the slider there and letting it go does.
    void seekFrame(qint64 frame);

signals:
    void actionsUpdated(); // the state, the current file or what the actions allow may have changed

public slots:
    void on_actionOpen_triggered();
    void on_actionRecord_triggered();
    void on_actionPlay_triggered();
    void startFromNew();
    void on_actionPause_triggered();
    void on_playSlider_sliderPressed();
    void on_playSlider_sliderReleased();
    void on_actionStop_triggered();
    void on_actionAbout_triggered();
    void on_actionHelp_triggered();
    void on_actionPreview_triggered();
    void on_actionSave_as_triggered();
    void on_actionRecordingInfo_triggered();
    void on_actionExportCapture_triggered();
    void on_actionSaveFrames_triggered();
    void on_actionEnterWhatsThis_triggered();
    void on_actionExit_triggered();
    void on_actionRecordSettings_triggered();
    void on_actionPlaySettings_triggered();
    void on_cb_disableView_stateChanged(int state);
    void writeSettings();
    void update_status(int status);
    void updateLabelFrequency();
    void updateListFrequency(bool clear);

private slots:
    void playbackProgressed();
    void update_display();
    void updateContent(int i);

private:
    enum class SaveResult
    {
        Saved,
        Cancelled,   // the save dialog was cancelled
        NotSaved,    // no temporary recording to save
        Failed,      // said in a message; the temporary recording is kept
        Interrupted, // a copy cancelled in its progress dialog; the temporary recording is kept
    };

    void setState(State next);
    void updateActions();
    void loadSettingsXML();
    void writeSettingsXML();
    bool saveFile();
    // Opens a recording into *opened, showing progress when it takes long, and says what stands in the way
    // of playing it. True when it can be played; the members are not touched. With captures, a capture is
    // first made into the temporary recording *opened holds, in the same wait.
    bool scanRecording(const QString &name, bool captures, OpenedRecording *opened);
    bool playable(const OpenedRecording &opened, const QString &name);
    // Says how an export ended: its frames in the status bar, or why it failed.
    void reportExport(const QString &name, const CaptureWriter::Written &written, QString why);
    // Makes a scanned recording the current one: index, figures, slider, strip.
    void takeRecording(const FrameIndex &index, const RecordingInfo &info);
    // Scans and takes a recording (or, with captures, a capture); the temporary recording of a capture
    // opened before goes with the index that read it.
    bool initSlider(QString file_name, bool captures = false);
    QString read_from_vector(qint64 frame);
    // Says once per opened recording that its file changed on disk since it was scanned.
    void reportFileChanged();
    void setDialogValues();
    void updateSettingsLabels();
    bool openRecordSocket();
    void startReceiving(bool record);
    void stopReceiving();
    void finishRecording();
    SaveResult saveRecording(bool earlierRun = false);
    void takeSavedRecording(const QString &name);
    bool settleEarlierRecording();
    void receivingFailed();
    void takePacketCount();
    void endPlayback();
    bool openForPlay();
    PlaybackEngine::Options playOptions() const;
    bool setUpMulticastSending();

    Ui_mw_ostrel_recorder ui;
    Ostrel_Recorder_Thread *recorder_thread = nullptr;
    Settings_record *settings_record = nullptr;
    Settings_play *settings_play = nullptr;
    AboutDlg *about_dialog = nullptr;
    Help *help_dialog = nullptr;
    PlaybackEngine *engine = nullptr;
    LiveDisplay *live = nullptr;

    State state = State::Idle;
    bool slider_moved = false;
    bool resume_after_drag = false; // the slider was pressed during a playback, which goes on at its release
    int packets_recorded = 0;
    UnsavedRecording unsaved;
    QString file_name;
    void *socket_record = nullptr;
    void *socket_play = nullptr;

    QString config_dir;
    // The settings as they stand in the file (both directories included), and what they stand for.
    SettingsFile::SettingsTexts settings = SettingsFile::defaultTexts();
    SettingsFile::WorkingValues values;

    FrameIndex frames;
    CaptureRecording capture_recording; // what frames reads when the current recording is a capture's
    RecordingInfo recording;            // what the current recording holds
    bool file_change_reported = false;  // for frames: the change has been reported
    qint64 first_frame = 0;
    qint64 last_frame = 0;
    qint64 current_frame = 0;
    FramePositions positions;     // slider positions of the frames
    qint64 shown_frame = -1;      // the frame last sent whose text the display holds
    bool recorded_timing = false; // the playback sends each frame at its recorded time
    QString timing_shown;         // what its timing met, as the status bar shows it
    int stale_end_reports = 0;    // end reports of runs the window stopped itself, still to arrive
    bool ask_to_save_at_stop = true;
    QString save_as_name; // saveRecordingAs()'s name, which the save dialog is not asked for
};

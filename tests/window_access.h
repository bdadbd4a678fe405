// Reaches the window's private members for the tests (the window names this class its friend), and a clock
// the tests advance by hand.
#pragma once

#include "clock.h"
#include "ostrel_recorder.h"

#include <QMetaObject>

class OstrelRecorderTestAccess
{
public:
    explicit OstrelRecorderTestAccess(Ostrel_recorder &window) : w(window) {}

    Ui_mw_ostrel_recorder &ui() { return w.ui; }
    int &mode() { return w.mode; }
    bool &paused() { return w.paused; }
    bool &slider_moved() { return w.slider_moved; }
    int &packets_recorded() { return w.packets_recorded; }
    QString &display_text() { return w.display_text; }
    QString &file_name() { return w.file_name; }
    QString &temp_file_name() { return w.temp_file_name; }
    FILE *&record_file() { return w.record_file; }
    void *&socket_play() { return w.socket_play; }
    void *&socket_record() { return w.socket_record; }
    QString &port_record_string() { return w.port_record_string; }
    quint16 &port_record() { return w.port_record; }
    QString &host_play_string_1() { return w.host_play_string_1; }
    QString &host_play_string_2() { return w.host_play_string_2; }
    QString &port_play_string_1() { return w.port_play_string_1; }
    QString &port_play_string_2() { return w.port_play_string_2; }
    quint32 &ip_play_1() { return w.ip_play_1; }
    quint32 &ip_play_2() { return w.ip_play_2; }
    quint16 &port_play_1() { return w.port_play_1; }
    quint16 &port_play_2() { return w.port_play_2; }
    bool &active() { return w.active; }
    float &frequency_play_1() { return w.frequency_play_1; }
    QString &frequency_play_string() { return w.frequency_play_string; }
    bool &loop() { return w.loop; }
    bool &timestamp() { return w.timestamp; }
    QString &save_file_dir() { return w.save_file_dir; }
    QString &open_file_dir() { return w.open_file_dir; }
    QString &config_dir() { return w.config_dir; }
    FrameIndex &frames() { return w.frames; }
    quint32 &first_frame() { return w.first_frame; }
    quint32 &last_frame() { return w.last_frame; }
    int &current_frame() { return w.current_frame; }
    QList<unsigned int> &frequency_list() { return w.frequency_list; }
    PlaybackEngine *engine() { return w.engine; }
    QTimer *display_timer() { return w.display_timer; }
    Ostrel_Recorder_Thread *recorder_thread() { return w.recorder_thread; }
    Settings_play *settings_play() { return w.settings_play; }
    Settings_record *settings_record() { return w.settings_record; }
    Help *help_dialog() { return w.help_dialog; }
    AboutDlg *about_dialog() { return w.about_dialog; }

    void updateActions() { w.updateActions(); }
    QString read_from_vector(int frame) { return w.read_from_vector(frame); }
    bool initSlider(const QString &name) { return w.initSlider(name); }
    bool saveFile() { return w.saveFile(); }
    void writeSettingsXML() { w.writeSettingsXML(); }
    void update_display() { QMetaObject::invokeMethod(&w, "update_display", Qt::DirectConnection); }
    void updateContent(int i)
    {
        QMetaObject::invokeMethod(&w, "updateContent", Qt::DirectConnection, Q_ARG(int, i));
    }

private:
    Ostrel_recorder &w;
};

// A clock that moves only when the test moves it. A wait for a later reading jumps there.
class ManualClock : public Clock
{
public:
    quint32 now_us = 1000000;
    quint32 ms() const override { return now_us / 1000u; }
    quint32 us() const override { return now_us; }
    void waitUntilUs(quint32 target) override
    {
        if (qint32(target - now_us) > 0)
            now_us = target;
    }
    void advanceUs(quint32 us) { now_us += us; }
};

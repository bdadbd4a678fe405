// The play settings dialog: destinations, frame rate, loop or single playback (numbers continued or not),
// timestamp pacing (the rate of the first timestamps, or each frame at its recorded time), and the TTL and
// interface of datagrams to multicast groups. It checks the hosts by resolving them and the interface by
// finding it, and announces confirmed values; the window reads them back.
#pragma once

#include "settings/settings_file.h"
#include "ui_d_play.h"

#include <QDialog>
#include <QString>

class Settings_play : public QDialog
{
    Q_OBJECT

public:
    explicit Settings_play(QWidget *parent = nullptr);
    ~Settings_play() override;

    void set_values(QString host_play_string_1, unsigned long ip_play_1, unsigned short port_play_1,
                    unsigned int frequency_play_1, QString host_play_string_2, unsigned long ip_play_2,
                    unsigned short port_play_2, bool loop, bool timestamp, bool active, int ttl,
                    QString interface_string);

    QString get_host_play_string_1() const { return host_play_string_1; }
    unsigned long get_ip_play_1() const { return ip_play_1; }
    QString get_host_play_string_2() const { return host_play_string_2; }
    unsigned long get_ip_play_2() const { return ip_play_2; }
    unsigned short get_port_play_1() const;
    QString get_port_play_string_1() const;
    unsigned short get_port_play_2() const;
    QString get_port_play_string_2() const;
    unsigned int get_frequency_play_1() const;
    QString get_frequency_play_string_1() const;
    bool get_loop() const;
    QString get_loop_play_string() const;
    bool get_timestamp() const;
    QString get_timestamp_play_string() const;
    bool get_active() const;
    QString get_active_play_string() const;
    QString get_ttl_string() const;
    // Whether a loop continues its frame numbers and timestamps; the check box is enabled with loop.
    void set_continue_numbers(bool on);
    bool get_continue_numbers() const;
    QString get_continue_numbers_string() const;
    QString get_interface_string() const { return interface_string; }
    // Each frame at its recorded time; offered only while timestamps are used.
    void set_recorded_timing(bool on);
    bool get_recorded_timing() const;
    QString get_recorded_timing_string() const;

signals:
    void writeSettingFile();

public slots:
    void clickOk();
    void clickActive();

private:
    Ui_d_play ui;
    QString host_play_string_1;
    QString host_play_string_2;
    unsigned long ip_play_1 = 0;
    unsigned long ip_play_2 = 0;
    QString interface_string;
};

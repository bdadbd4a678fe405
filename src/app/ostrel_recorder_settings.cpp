// The window's settings: the settings file, and the values confirmed in the two dialogs.
#include "app/ostrel_recorder.h"

#include "ap/ap_socket.h"
#include "dialogs/settings_play.h"
#include "dialogs/settings_record.h"

#include <QCoreApplication>
#include <QMessageBox>

using SettingsFile::Setting;

void Ostrel_recorder::loadSettingsXML()
{
    const SettingsFile::LoadResult result =
        SettingsFile::load(SettingsFile::settingsPath(config_dir),
                           QCoreApplication::applicationDirPath() + "/config/current-settings.xml", settings);
    values = SettingsFile::workingValues(settings, ap_ip_name2ip);
    if (!result.ok())
        QMessageBox::warning(
            this, tr("Error loading settings"),
            SettingsFile::formatLoadError(result, tr(SettingsFile::loadErrorTemplate(result.error))),
            QMessageBox::Ok);
}

void Ostrel_recorder::writeSettingsXML()
{
    const SettingsFile::WriteResult result = SettingsFile::write(config_dir, settings);
    if (!result.ok())
        QMessageBox::warning(
            this, tr("Error writing settings"),
            SettingsFile::formatWriteError(result, tr(SettingsFile::writeErrorTemplate(result.error))),
            QMessageBox::Ok);
}

void Ostrel_recorder::writeSettings()
{
    settings.text(Setting::PlayHost1) = settings_play->get_host_play_string_1();
    settings.text(Setting::PlayPort1) = settings_play->get_port_play_string_1();
    settings.text(Setting::PlayHost2) = settings_play->get_host_play_string_2();
    settings.text(Setting::PlayPort2) = settings_play->get_port_play_string_2();
    settings.text(Setting::Frequency) = settings_play->get_frequency_play_string_1();
    settings.text(Setting::Timestamp) = settings_play->get_timestamp_play_string();
    settings.text(Setting::Loop) = settings_play->get_loop_play_string();
    settings.text(Setting::Active) = settings_play->get_active_play_string();
    settings.text(Setting::RecordPort) = settings_record->get_port_record_string();
    settings.text(Setting::RecordGroup) = settings_record->get_group_string();
    settings.text(Setting::RecordInterface) = settings_record->get_interface_string();
    settings.text(Setting::PlayTtl) = settings_play->get_ttl_string();
    settings.text(Setting::PlayInterface) = settings_play->get_interface_string();
    settings.text(Setting::RecordedTiming) = settings_play->get_recorded_timing_string();
    settings.text(Setting::PlayContinueNumbers) = settings_play->get_continue_numbers_string();
    // The hosts were resolved by the dialog that checked them.
    values = SettingsFile::workingValues(settings, nullptr);
    values.ip_play_1 = quint32(settings_play->get_ip_play_1());
    values.ip_play_2 = quint32(settings_play->get_ip_play_2());

    writeSettingsXML();
    updateSettingsLabels();
    repaint();
}

void Ostrel_recorder::updateSettingsLabels()
{
    const QString group = settings.text(Setting::RecordGroup);
    ui.label_receive->setText((group.isEmpty() ? QString() : "group " + group + " ") + "port " +
                              settings.text(Setting::RecordPort));
    ui.label_send_1->setText(settings.text(Setting::PlayHost1) + "  port " +
                             settings.text(Setting::PlayPort1));
    ui.label_send_2->setText(values.active ? settings.text(Setting::PlayHost2) + "  port " +
                                                 settings.text(Setting::PlayPort2)
                                           : QString());
}

void Ostrel_recorder::setDialogValues()
{
    settings_record->set_values(settings.text(Setting::RecordPort), values.port_record,
                                settings.text(Setting::RecordGroup), settings.text(Setting::RecordInterface));
    settings_play->set_values(settings.text(Setting::PlayHost1), values.ip_play_1, values.port_play_1,
                              values.frequency_play_1 > 0 ? (unsigned int)values.frequency_play_1 : 0u,
                              settings.text(Setting::PlayHost2), values.ip_play_2, values.port_play_2,
                              values.loop, values.timestamp, values.active, values.play_ttl,
                              settings.text(Setting::PlayInterface));
    settings_play->set_recorded_timing(values.recorded_timing);
    settings_play->set_continue_numbers(values.continue_numbers);
}

void Ostrel_recorder::on_actionPlaySettings_triggered()
{
    // Reachable by its shortcut even while the Settings menu is disabled: settings change only when idle.
    if (state != State::Idle)
        return;
    setDialogValues();
    settings_play->exec();
}

void Ostrel_recorder::on_actionRecordSettings_triggered()
{
    if (state != State::Idle)
        return;
    setDialogValues();
    settings_record->exec();
}

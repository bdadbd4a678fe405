// The window's settings: start values, the settings file, and the values confirmed in the two dialogs.
#include "ostrel_recorder.h"

#include "ap_socket.h"
#include "settings_file.h"
#include "settings_play.h"
#include "settings_record.h"

#include <QCoreApplication>
#include <QMessageBox>

using SettingsFile::Setting;

void Ostrel_recorder::setDefaultSettings()
{
    // The dialogs' own start values, so a first run without a settings file works and writes a usable file.
    const SettingsFile::SettingsTexts texts = SettingsFile::defaultTexts();
    for (Setting s :
         {Setting::RecordPort, Setting::PlayHost1, Setting::PlayPort1, Setting::PlayHost2, Setting::PlayPort2,
          Setting::Active, Setting::Frequency, Setting::Loop, Setting::Timestamp}) {
        settingText(s) = texts.text(s);
        deriveWorkingValue(s);
    }
}

QString &Ostrel_recorder::settingText(Setting setting)
{
    switch (setting) {
    case Setting::RecordPort:
        return port_record_string;
    case Setting::PlayHost1:
        return host_play_string_1;
    case Setting::PlayPort1:
        return port_play_string_1;
    case Setting::PlayHost2:
        return host_play_string_2;
    case Setting::PlayPort2:
        return port_play_string_2;
    case Setting::Active:
        return active_play_string;
    case Setting::Frequency:
        return frequency_play_string;
    case Setting::Loop:
        return loop_play_string;
    case Setting::Timestamp:
        return timestamp_play_string;
    case Setting::SaveFileDir:
        return save_file_dir;
    case Setting::OpenFileDir:
        break;
    }
    return open_file_dir;
}

void Ostrel_recorder::deriveWorkingValue(Setting setting)
{
    const QString &text = settingText(setting);
    switch (setting) {
    case Setting::RecordPort:
        port_record = SettingsFile::portFromText(text);
        break;
    case Setting::PlayHost1:
        ip_play_1 = SettingsFile::hostFromText(text, ap_ip_name2ip);
        break;
    case Setting::PlayPort1:
        port_play_1 = SettingsFile::portFromText(text);
        break;
    case Setting::PlayHost2:
        ip_play_2 = SettingsFile::hostFromText(text, ap_ip_name2ip);
        break;
    case Setting::PlayPort2:
        port_play_2 = SettingsFile::portFromText(text);
        break;
    case Setting::Active:
        active = SettingsFile::flagFromText(text);
        break;
    case Setting::Frequency:
        frequency_play_1 = SettingsFile::frequencyFromText(text);
        break;
    case Setting::Loop:
        loop = SettingsFile::flagFromText(text);
        break;
    case Setting::Timestamp:
        timestamp = SettingsFile::flagFromText(text);
        break;
    case Setting::SaveFileDir:
    case Setting::OpenFileDir:
        break;
    }
}

void Ostrel_recorder::loadSettingsXML()
{
    const SettingsFile::LoadResult result =
        SettingsFile::load(SettingsFile::settingsPath(config_dir),
                           QCoreApplication::applicationDirPath() + "/config/current-settings.xml",
                           settings_doc, [this](const QDomElement &element) { readSettingsXML(element); });
    if (!result.ok())
        QMessageBox::warning(
            this, tr("Error loading settings"),
            SettingsFile::formatLoadError(result, tr(SettingsFile::loadErrorTemplate(result.error))),
            QMessageBox::Ok);
}

void Ostrel_recorder::readSettingsXML(const QDomElement &element)
{
    const std::optional<SettingsFile::ElementValue> value = SettingsFile::readElement(element);
    if (!value)
        return;
    settingText(value->setting) = value->text;
    deriveWorkingValue(value->setting);
}

void Ostrel_recorder::writeSettingsXML()
{
    SettingsFile::SettingsTexts texts;
    for (int i = 0; i < SettingsFile::SettingCount; ++i)
        texts.text(Setting(i)) = settingText(Setting(i));
    const SettingsFile::WriteResult result = SettingsFile::write(config_dir, texts);
    if (!result.ok())
        QMessageBox::warning(
            this, tr("Error writing settings"),
            SettingsFile::formatWriteError(result, tr(SettingsFile::writeErrorTemplate(result.error))),
            QMessageBox::Ok);
}

void Ostrel_recorder::writeSettings()
{
    host_play_string_1 = settings_play->get_host_play_string_1();
    port_play_string_1 = settings_play->get_port_play_string_1();
    host_play_string_2 = settings_play->get_host_play_string_2();
    port_play_string_2 = settings_play->get_port_play_string_2();
    frequency_play_string = settings_play->get_frequency_play_string_1();
    timestamp_play_string = settings_play->get_timestamp_play_string();
    loop_play_string = settings_play->get_loop_play_string();
    active_play_string = settings_play->get_active_play_string();
    ip_play_1 = quint32(settings_play->get_ip_play_1());
    ip_play_2 = quint32(settings_play->get_ip_play_2());
    port_play_1 = settings_play->get_port_play_1();
    port_play_2 = settings_play->get_port_play_2();
    frequency_play_1 = float(settings_play->get_frequency_play_1());
    active = settings_play->get_active();
    loop = settings_play->get_loop();
    timestamp = settings_play->get_timestamp();

    port_record = settings_record->get_port_record();
    port_record_string = settings_record->get_port_record_string();

    writeSettingsXML();

    ui.label_receive->setText("port " + port_record_string);
    updateDestinationLabels(settings_play->get_port_play_string_1(), settings_play->get_port_play_string_2());
    repaint();
}

void Ostrel_recorder::updateDestinationLabels(const QString &port_1, const QString &port_2)
{
    ui.label_send_1->setText(host_play_string_1 + "  port " + port_1);
    ui.label_send_2->setText(active ? host_play_string_2 + "  port " + port_2 : QString());
}

void Ostrel_recorder::setPlayDialogValues()
{
    settings_play->set_values(host_play_string_1, ip_play_1, port_play_1,
                              frequency_play_1 > 0 ? (unsigned int)frequency_play_1 : 0u, host_play_string_2,
                              ip_play_2, port_play_2, loop, timestamp, active);
}

void Ostrel_recorder::on_actionPlaySettings_triggered()
{
    // Reachable by its shortcut even while the Settings menu is disabled: settings change only when idle.
    if (mode != 0)
        return;
    settings_record->set_values(port_record_string, port_record);
    setPlayDialogValues();
    settings_play->exec();
}

void Ostrel_recorder::on_actionRecordSettings_triggered()
{
    if (mode != 0)
        return;
    setPlayDialogValues();
    settings_record->set_values(port_record_string, port_record);
    settings_record->exec();
}

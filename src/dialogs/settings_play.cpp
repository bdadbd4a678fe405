#include "dialogs/settings_play.h"

#include "ap/ap_socket.h"

#include <QMessageBox>

namespace {

QString flagText(bool value)
{
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

} // namespace

Settings_play::Settings_play(QWidget *parent) : QDialog(parent)
{
    ui.setupUi(this);
    if (parent)
        setWindowIcon(parent->windowIcon());
    connect(ui.pb_ok, &QPushButton::clicked, this, &Settings_play::clickOk);
    connect(ui.activeBox, &QCheckBox::clicked, this, &Settings_play::clickActive);
    connect(ui.cb_timestamp, &QCheckBox::toggled, ui.cb_recorded_timing, &QCheckBox::setEnabled);
    connect(ui.rb_loop, &QRadioButton::toggled, ui.cb_continue_numbers, &QCheckBox::setEnabled);
}

Settings_play::~Settings_play() = default;

void Settings_play::set_values(QString host_play_string_1, unsigned long ip_play_1,
                               unsigned short port_play_1, unsigned int frequency_play_1,
                               QString host_play_string_2, unsigned long ip_play_2,
                               unsigned short port_play_2, bool loop, bool timestamp, bool active, int ttl,
                               QString interface_string)
{
    this->host_play_string_1 = host_play_string_1;
    this->host_play_string_2 = host_play_string_2;
    this->ip_play_1 = ip_play_1;
    this->ip_play_2 = ip_play_2;
    ui.rb_loop->setChecked(loop);
    ui.rb_single->setChecked(!loop);
    ui.activeBox->setChecked(active);
    ui.cb_timestamp->setChecked(timestamp);
    ui.le_host_1->setText(host_play_string_1);
    ui.le_host_2->setText(host_play_string_2);
    ui.sb_port_1->setValue(port_play_1);
    // A rate beyond int would wrap to a negative value and clamp to the minimum instead of the maximum.
    ui.sb_frequency_1->setValue(
        int(qMin<unsigned int>(frequency_play_1, unsigned(ui.sb_frequency_1->maximum()))));
    ui.sb_port_2->setValue(port_play_2);
    ui.le_host_2->setEnabled(active);
    ui.sb_port_2->setEnabled(active);
    ui.sb_ttl->setValue(ttl);
    this->interface_string = interface_string;
    ui.le_play_interface->setText(interface_string);
}

unsigned short Settings_play::get_port_play_1() const
{
    return static_cast<unsigned short>(ui.sb_port_1->value());
}

QString Settings_play::get_port_play_string_1() const
{
    return QString::number(get_port_play_1());
}

unsigned short Settings_play::get_port_play_2() const
{
    return static_cast<unsigned short>(ui.sb_port_2->value());
}

QString Settings_play::get_port_play_string_2() const
{
    return QString::number(get_port_play_2());
}

unsigned int Settings_play::get_frequency_play_1() const
{
    return static_cast<unsigned int>(ui.sb_frequency_1->value());
}

QString Settings_play::get_frequency_play_string_1() const
{
    return QString::number(ui.sb_frequency_1->value());
}

bool Settings_play::get_loop() const
{
    return ui.rb_loop->isChecked();
}

QString Settings_play::get_loop_play_string() const
{
    return flagText(get_loop());
}

bool Settings_play::get_timestamp() const
{
    return ui.cb_timestamp->isChecked();
}

QString Settings_play::get_timestamp_play_string() const
{
    return flagText(get_timestamp());
}

bool Settings_play::get_active() const
{
    return ui.activeBox->isChecked();
}

QString Settings_play::get_active_play_string() const
{
    return flagText(get_active());
}

void Settings_play::set_recorded_timing(bool on)
{
    ui.cb_recorded_timing->setChecked(on);
    ui.cb_recorded_timing->setEnabled(ui.cb_timestamp->isChecked());
}

bool Settings_play::get_recorded_timing() const
{
    return ui.cb_recorded_timing->isChecked();
}

QString Settings_play::get_recorded_timing_string() const
{
    return flagText(get_recorded_timing());
}

QString Settings_play::get_ttl_string() const
{
    return QString::number(ui.sb_ttl->value());
}

void Settings_play::set_continue_numbers(bool on)
{
    ui.cb_continue_numbers->setChecked(on);
    ui.cb_continue_numbers->setEnabled(ui.rb_loop->isChecked());
}

bool Settings_play::get_continue_numbers() const
{
    return ui.cb_continue_numbers->isChecked();
}

QString Settings_play::get_continue_numbers_string() const
{
    return flagText(get_continue_numbers());
}

void Settings_play::clickOk()
{
    host_play_string_1 = ui.le_host_1->text();
    ip_play_1 = SettingsFile::hostFromText(host_play_string_1, ap_ip_name2ip);
    host_play_string_2 = ui.le_host_2->text();
    ip_play_2 = SettingsFile::hostFromText(host_play_string_2, ap_ip_name2ip);

    QLineEdit *failed = nullptr;
    if (ip_play_1 == 0)
        failed = ui.le_host_1;
    else if (ip_play_2 == 0 && ui.activeBox->isChecked())
        failed = ui.le_host_2;
    if (failed) {
        QMessageBox::critical(this, tr("host play"), tr("Please check your ip address\n"), QMessageBox::Ok);
        failed->setFocus();
        return;
    }
    interface_string = ui.le_play_interface->text();
    if (!interface_string.isEmpty() &&
        ap_ip_interface(interface_string.toLocal8Bit().constData(), nullptr, nullptr) < 0) {
        QMessageBox::critical(
            this, tr("interface play"),
            tr("Please check your interface\nThere is no network interface %1.").arg(interface_string),
            QMessageBox::Ok);
        ui.le_play_interface->setFocus();
        return;
    }
    emit writeSettingFile();
    accept();
}

void Settings_play::clickActive()
{
    const bool active = ui.activeBox->isChecked();
    ui.le_host_2->setEnabled(active);
    ui.sb_port_2->setEnabled(active);
}

#include "moc_settings_play.cpp"

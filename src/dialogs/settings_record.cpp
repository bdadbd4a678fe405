#include "dialogs/settings_record.h"

#include "ap/ap_socket.h"
#include "settings/settings_file.h"

#include <QMessageBox>

Settings_record::Settings_record(QWidget *parent) : QDialog(parent)
{
    ui.setupUi(this);
    if (parent)
        setWindowIcon(parent->windowIcon());
    connect(ui.pb_ok, &QPushButton::clicked, this, &Settings_record::clickOk);
}

Settings_record::~Settings_record() = default;

void Settings_record::set_values(QString port_record_string, unsigned short port_record, QString group_string,
                                 QString interface_string)
{
    this->port_record_string = port_record_string;
    this->port_record = port_record;
    this->group_string = group_string;
    this->interface_string = interface_string;
    ui.le_port->setText(port_record_string);
    ui.le_group->setText(group_string);
    ui.le_interface->setText(interface_string);
}

void Settings_record::clickOk()
{
    port_record_string = ui.le_port->text();
    bool ok = false;
    port_record = port_record_string.toUShort(&ok, 10);
    if (!ok) {
        QMessageBox::critical(this, tr("port record"), tr("Please check your port\n"), QMessageBox::Ok);
        ui.le_port->setFocus();
        return;
    }
    group_string = ui.le_group->text();
    if (!SettingsFile::groupFromText(group_string)) {
        QMessageBox::critical(this, tr("group record"),
                              tr("Please check your multicast group\n%1 is not an IPv4 multicast address "
                                 "(224.0.0.0 to 239.255.255.255).")
                                  .arg(group_string),
                              QMessageBox::Ok);
        ui.le_group->setFocus();
        return;
    }
    interface_string = ui.le_interface->text();
    if (!interface_string.isEmpty() &&
        ap_ip_interface(interface_string.toLocal8Bit().constData(), nullptr, nullptr) < 0) {
        QMessageBox::critical(
            this, tr("interface record"),
            tr("Please check your interface\nThere is no network interface %1.").arg(interface_string),
            QMessageBox::Ok);
        ui.le_interface->setFocus();
        return;
    }
    close();
    emit writeSettingFile();
}

#include "moc_settings_record.cpp"

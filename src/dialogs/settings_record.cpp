#include "settings_record.h"

#include <QMessageBox>

Settings_record::Settings_record(QWidget *parent) : QDialog(parent)
{
    ui.setupUi(this);
    if (parent)
        setWindowIcon(parent->windowIcon());
    connect(ui.pb_ok, &QPushButton::clicked, this, &Settings_record::clickOk);
}

Settings_record::~Settings_record() = default;

void Settings_record::set_values(QString port_record_string, unsigned short port_record)
{
    this->port_record_string = port_record_string;
    this->port_record = port_record;
    ui.le_port->setText(port_record_string);
}

void Settings_record::clickOk()
{
    port_record_string = ui.le_port->text();
    bool ok = false;
    port_record = port_record_string.toUShort(&ok, 10);
    if (ok) {
        close();
        emit writeSettingFile();
        return;
    }
    QMessageBox::critical(this, tr("port record"), tr("Please check your port\n"), QMessageBox::Ok);
    ui.le_port->setFocus();
}

#include "moc_settings_record.cpp"

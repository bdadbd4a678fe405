// The record settings dialog: the UDP port the recorder listens on, and the multicast group it receives
// from with the interface it joins on (both may be empty). The texts are kept as typed; the port's number
// is its value.
#pragma once

#include "ui_d_record.h"

#include <QDialog>
#include <QString>

class Settings_record : public QDialog
{
    Q_OBJECT

public:
    explicit Settings_record(QWidget *parent = nullptr);
    ~Settings_record() override;

    void set_values(QString port_record_string, unsigned short port_record, QString group_string,
                    QString interface_string);
    unsigned short get_port_record() const { return port_record; }
    QString get_port_record_string() const { return port_record_string; }
    QString get_group_string() const { return group_string; }
    QString get_interface_string() const { return interface_string; }

signals:
    void writeSettingFile();

public slots:
    void clickOk();

private:
    Ui_d_record ui;
    unsigned short port_record = 0;
    QString port_record_string;
    QString group_string;
    QString interface_string;
};

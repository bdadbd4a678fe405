#pragma once

#include "ui_d_help.h"

#include <QDialog>

// Static help text, run modally from the Help menu.
class Help : public QDialog
{
    Q_OBJECT
public:
    explicit Help(QWidget *parent = nullptr);

private:
    Ui_d_help ui;
};

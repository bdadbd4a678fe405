#include "dialogs/help.h"

Help::Help(QWidget *parent) : QDialog(parent)
{
    ui.setupUi(this);
    if (parent)
        setWindowIcon(parent->windowIcon());
}

#include "moc_help.cpp"

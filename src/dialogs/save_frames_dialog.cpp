#include "dialogs/save_frames_dialog.h"

#include <QFileDialog>
#include <QRegularExpressionValidator>

SaveFramesDialog::SaveFramesDialog(qint64 from, qint64 until, const QString &file, QWidget *parent)
    : QDialog(parent)
{
    ui.setupUi(this);
    // Frame numbers are 64-bit: more than a spin box holds.
    auto *number = new QRegularExpressionValidator(QRegularExpression(QStringLiteral("\\d{1,18}")), this);
    ui.le_from->setValidator(number);
    ui.le_until->setValidator(number);
    ui.le_from->setText(QString::number(from));
    ui.le_until->setText(QString::number(until));
    ui.le_file->setText(file);
    for (QLineEdit *field : {ui.le_from, ui.le_until, ui.le_file})
        connect(field, &QLineEdit::textChanged, this, &SaveFramesDialog::check);
    connect(ui.pb_browse, &QPushButton::clicked, this, &SaveFramesDialog::browse);
    check();
}

void SaveFramesDialog::browse()
{
    const QString name =
        QFileDialog::getSaveFileName(this, tr("Save frames as"), file(), tr("Ostrel Recorder files (*.orf)"));
    if (!name.isEmpty())
        ui.le_file->setText(name);
}

void SaveFramesDialog::check()
{
    ui.pb_ok->setEnabled(ui.le_from->hasAcceptableInput() && ui.le_until->hasAcceptableInput() &&
                         !file().isEmpty());
}

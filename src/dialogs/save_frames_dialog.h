// File -> Save frames as: which frames of the opened recording to write, by their first and last number,
// and into which file.
#pragma once

#include "ui_d_save_frames.h"

#include <QDialog>

class SaveFramesDialog : public QDialog
{
    Q_OBJECT

public:
    SaveFramesDialog(qint64 from, qint64 until, const QString &file, QWidget *parent = nullptr);

    qint64 from() const { return ui.le_from->text().toLongLong(); }
    qint64 until() const { return ui.le_until->text().toLongLong(); }
    QString file() const { return ui.le_file->text().trimmed(); }

private:
    void browse();
    // OK only for two frame numbers and a file name.
    void check();

    Ui_d_save_frames ui;
};

// File -> Recording info: what the opened recording holds, as `orf info` says it, with a button that puts
// `orf info --json`'s object on the clipboard.
#pragma once

#include "recording/recording_info.h"
#include "ui_d_recording_info.h"

#include <QDialog>

class RecordingInfoDialog : public QDialog
{
    Q_OBJECT

public:
    RecordingInfoDialog(const RecordingInfo &info, QWidget *parent = nullptr);

    // The value column as shown, row by row (for the tests and the accessible names).
    QStringList values() const;

private:
    void copy();

    Ui_d_recording_info ui;
    RecordingInfo m_info;
};

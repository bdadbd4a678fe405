// Open: the frame scan with its messages, the frame index behind the slider and its preview lookups.
#include "ostrel_recorder.h"

#include "frame_scanner.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

bool Ostrel_recorder::scannFrame(QString file_name, quint32 &first_frame, quint32 &last_frame,
                                 FrameIndex &frames)
{
    const FrameScanner::Result result = FrameScanner::scan(file_name, frames);
    first_frame = result.first_frame;
    last_frame = result.last_frame;
    switch (result.status) {
    case FrameScanner::Status::OpenFailed:
        QMessageBox::warning(this, tr("Error opening file"), tr("File %1 cannot be opened.").arg(file_name),
                             QMessageBox::Ok);
        return false;
    case FrameScanner::Status::FirstNumberInvalid:
    case FrameScanner::Status::Cancelled:
        return false;
    case FrameScanner::Status::BadNumbering:
        QMessageBox::critical(this, tr("Ostrel Recorder"),
                              "This file has a problem with frame numbers and cannot be played.",
                              QMessageBox::Ok);
        return false;
    case FrameScanner::Status::ReadFailed:
        QMessageBox::warning(this, tr("Error opening file"),
                             tr("File %1 cannot be read to its end.").arg(file_name), QMessageBox::Ok);
        return false;
    case FrameScanner::Status::Ok:
        break;
    }
    if (result.lost_count > 0)
        QMessageBox::warning(this, tr("Ostrel Recorder"), result.lostFramesText(), QMessageBox::Ok);
    return true;
}

bool Ostrel_recorder::initSlider(QString file_name)
{
    if (!scannFrame(file_name, first_frame, last_frame, frames))
        return false;
    current_frame = int(first_frame);
    ui.playSlider->setMinimum(int(first_frame));
    ui.playSlider->setMaximum(int(last_frame));
    ui.playSlider->setTickPosition(QSlider::NoTicks);
    ui.playSlider->setEnabled(true);
    ui.playSlider->setValue(current_frame);
    return true;
}

QString Ostrel_recorder::read_from_vector(int frame)
{
    // After a failed scan the slider may still describe the previous recording: out of the index, empty.
    QString text;
    frames.text(frames.entryOf(frame), &text);
    return text;
}

int Ostrel_recorder::recordedFrameAtOrAfter(int frame) const
{
    const qint64 first = qint64(qint32(frames.first()));
    const qsizetype found = frames.frameAtOrAfter(qsizetype(qMax<qint64>(0, qint64(frame) - first)));
    return found < 0 ? frame : int(first + found);
}

void Ostrel_recorder::on_actionOpen_triggered()
{
    const QString name = QFileDialog::getOpenFileName(this, tr("Open File"), open_file_dir,
                                                      tr("Ostrel Recorder files (*.orf)"));
    if (name.isEmpty()) {
        ui.playSlider->setEnabled(false);
        return;
    }
    if (!initSlider(name))
        return;
    file_name = name;
    ui.l_filename->setText(name);
    open_file_dir = QFileInfo(name).absolutePath();
    packets_recorded = 0;
    slider_moved = false;
    ui.actionPlay->setEnabled(true);
    ui.playSlider->setEnabled(true);
}

// Open: the frame scan with its messages, the frame index behind the slider and its preview lookups, the
// strip of lost and late frames along the slider, and Recording info.
#include "ostrel_recorder.h"

#include "background_work.h"
#include "frame_scanner.h"
#include "frame_strip.h"
#include "recording_info_dialog.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

using SettingsFile::Setting;

bool Ostrel_recorder::scanRecording(const QString &name, FrameIndex *index, RecordingInfo *info)
{
    FrameScanner::Result result;
    bool changed = false;
    const bool finished =
        BackgroundWork::run(this, tr("Reading %1 ...").arg(name), [&](BackgroundWork::Progress &p) {
            result = FrameScanner::scan(name, *index, FrameScanner::kDefaultChunkSize,
                                        [&](qint64 bytes, qint64 total) {
                                            p.done.store(bytes, std::memory_order_relaxed);
                                            p.total.store(total, std::memory_order_relaxed);
                                            return !p.cancel.load(std::memory_order_relaxed);
                                        });
            // The figures and the strip's marks, in the same wait.
            if (result.ok())
                *info = RecordingInfo::of(name, *index, result, &changed);
        });
    if (!finished)
        return false; // the user's choice: the previous recording stays, nothing to say
    switch (result.status) {
    case FrameScanner::Status::OpenFailed:
        QMessageBox::warning(this, tr("Error opening file"), tr("File %1 cannot be opened.").arg(name),
                             QMessageBox::Ok);
        return false;
    case FrameScanner::Status::FirstNumberInvalid:
    case FrameScanner::Status::Cancelled:
        return false;
    case FrameScanner::Status::BadNumbering:
        QMessageBox::critical(this, tr("Ostrel Recorder"), RecordingInfo::badNumberingText(),
                              QMessageBox::Ok);
        return false;
    case FrameScanner::Status::ReadFailed:
        QMessageBox::warning(this, tr("Error opening file"),
                             tr("File %1 cannot be read to its end.").arg(name), QMessageBox::Ok);
        return false;
    case FrameScanner::Status::Ok:
        break;
    }
    if (changed) {
        QMessageBox::warning(this, tr("Ostrel Recorder"),
                             tr("File %1 has changed since it was opened. Please open it again.").arg(name),
                             QMessageBox::Ok);
        return false;
    }
    if (info->oversized_frame >= 0) {
        QMessageBox::critical(this, tr("Ostrel Recorder"),
                              tr("File %1 cannot be played: %2.").arg(name, info->reason), QMessageBox::Ok);
        return false;
    }
    if (info->lost > 0)
        QMessageBox::warning(this, tr("Ostrel Recorder"), info->lostFramesText(), QMessageBox::Ok);
    return true;
}

void Ostrel_recorder::takeRecording(const FrameIndex &index, const RecordingInfo &info)
{
    frames = index;
    recording = info;
    file_change_reported = false;
    first_frame = index.first();
    last_frame = index.last();
    current_frame = first_frame;
    positions = FramePositions(first_frame, last_frame);
    ui.playSlider->setMinimum(0);
    ui.playSlider->setMaximum(positions.maximum());
    ui.playSlider->setTickPosition(QSlider::NoTicks);
    ui.playSlider->setValue(0);
    // The strip holds the marks; the window keeps the rest of the figures.
    ui.frameStrip->setMarks(std::move(recording.marks), positions, ui.playSlider);
    recording.marks.clear();
}

bool Ostrel_recorder::initSlider(QString file_name)
{
    FrameIndex index;
    RecordingInfo info;
    if (!scanRecording(file_name, &index, &info))
        return false;
    takeRecording(index, info);
    return true;
}

QString Ostrel_recorder::read_from_vector(qint64 frame)
{
    QString text;
    if (frames.text(frames.entryOf(frame), &text) == FrameIndex::Read::Changed)
        reportFileChanged();
    return text;
}

void Ostrel_recorder::reportFileChanged()
{
    if (file_change_reported)
        return;
    file_change_reported = true;
    const QString text =
        tr("File %1 has changed since it was opened. Please open it again.").arg(frames.fileName());
    if (!ui.playSlider->isSliderDown()) {
        QMessageBox::warning(this, tr("Ostrel Recorder"), text, QMessageBox::Ok);
        return;
    }
    // A box opened under a held mouse button would swallow the slider's release; it waits for it.
    connect(
        ui.playSlider, &QSlider::sliderReleased, this,
        [this, text] { QMessageBox::warning(this, tr("Ostrel Recorder"), text, QMessageBox::Ok); },
        Qt::ConnectionType(Qt::QueuedConnection | Qt::SingleShotConnection));
}

void Ostrel_recorder::on_actionOpen_triggered()
{
    const QString name = QFileDialog::getOpenFileName(
        this, tr("Open File"), settings.text(Setting::OpenFileDir), tr("Ostrel Recorder files (*.orf)"));
    if (!name.isEmpty())
        openRecording(name);
}

bool Ostrel_recorder::openRecording(const QString &name)
{
    if (state != State::Idle || !initSlider(name))
        return false;
    file_name = name;
    ui.l_filename->setText(name);
    settings.text(Setting::OpenFileDir) = QFileInfo(name).absolutePath();
    packets_recorded = 0;
    slider_moved = false;
    updateActions();
    return true;
}

void Ostrel_recorder::on_actionRecordingInfo_triggered()
{
    if (file_name.isEmpty())
        return;
    RecordingInfoDialog dialog(recording, this);
    dialog.exec();
}

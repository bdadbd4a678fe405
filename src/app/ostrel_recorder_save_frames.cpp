// File -> Save frames as: a range of the opened recording's frames written as a recording of its own, the
// bytes orf cut writes for the same range, through NAME.part in the background work of Open.
#include "app/ostrel_recorder.h"

#include "app/background_work.h"
#include "dialogs/save_frames_dialog.h"
#include "recording/frame_range_copy.h"

#include <QFileInfo>
#include <QMessageBox>
#include <QStatusBar>

using SettingsFile::Setting;

void Ostrel_recorder::on_actionSaveFrames_triggered()
{
    if (state != State::Idle || file_name.isEmpty())
        return;
    const qint64 from = positions.frameAt(ui.playSlider->value()), until = frames.last();
    const QString suggested =
        QStringLiteral("%1/%2-%3-%4.orf")
            .arg(settings.text(Setting::SaveFileDir), QFileInfo(file_name).completeBaseName())
            .arg(from)
            .arg(until);
    SaveFramesDialog dialog(from, until, suggested, this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    const QString name = dialog.file();
    const frame_range_copy::Range range =
        frame_range_copy::framesBetween(frames, dialog.from(), dialog.until());
    if (range.isEmpty()) {
        QMessageBox::warning(
            this, tr("Ostrel Recorder"),
            tr("The recording holds no frame from %1 until %2.").arg(dialog.from()).arg(dialog.until()),
            QMessageBox::Ok);
        return;
    }
    if (QFileInfo::exists(name) &&
        QMessageBox::question(this, tr("Save frames as"),
                              tr("%1 already exists.\nDo you want to replace it?").arg(name),
                              QMessageBox::Yes | QMessageBox::No, QMessageBox::No) != QMessageBox::Yes)
        return;
    const FrameIndex index = frames;
    frame_range_copy::Status status = frame_range_copy::Status::Cancelled;
    QString why;
    BackgroundWork::run(this, tr("Saving frames as %1 ...").arg(name), [&](BackgroundWork::Progress &p) {
        status = frame_range_copy::save(
            index, range, name, true, [&p](qint64 done, qint64 total) { return p.report(done, total); },
            &why);
    });
    switch (status) {
    case frame_range_copy::Status::Ok:
        settings.text(Setting::SaveFileDir) = QFileInfo(name).absolutePath();
        statusBar()->showMessage(tr("Frames %1–%2 (%3 frames) saved as %4")
                                     .arg(range.firstFrame)
                                     .arg(range.lastFrame)
                                     .arg(range.frames)
                                     .arg(name));
        return;
    case frame_range_copy::Status::Cancelled:
        return; // the user's choice; no part is left
    case frame_range_copy::Status::Changed:
        file_change_reported = false;
        reportFileChanged();
        return;
    case frame_range_copy::Status::Failed:
        break;
    }
    QMessageBox::warning(this, tr("Ostrel Recorder"),
                         tr("The frames could not be saved as %1.\n%2").arg(name, why), QMessageBox::Ok);
}

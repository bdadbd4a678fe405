// The temporary recording after Stop: the save dialog, Save as for one kept after a failed save or a
// receive error, and a recording an earlier run left unsaved.
#include "app/ostrel_recorder.h"

#include "app/background_work.h"
#include "app/quit_on_signal.h"
#include "record/megabytes.h"
#include "record/ostrel_recorder_thread.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>

using SettingsFile::Setting;

void Ostrel_recorder::finishRecording()
{
    if (packets_recorded < 1) {
        QMessageBox::warning(this, "Ostrel Recorder",
                             "No data received on port " + settings.text(Setting::RecordPort) +
                                 ".\nPlease check your network settings in Ostrel.",
                             QMessageBox::Ok);
        unsaved.discard();
        return;
    }
    if (recorder_thread->writeFailed())
        QMessageBox::warning(this, tr("Ostrel Recorder"),
                             tr("Not every datagram could be written to the temporary file %1 (is the disk "
                                "full?).\nThe recording is incomplete.")
                                 .arg(unsaved.fileName()),
                             QMessageBox::Ok);
    // A recording whose save failed or was interrupted stays in the temporary file, still open, for
    // Save as; a saved one is closed by the save. Cancelling the dialog discards it, unless a quit
    // request closed the dialog: then it stays for the next start to offer.
    // A script's Stop keeps it for its SaveAs, as an interrupted save does.
    const SaveResult result = ask_to_save_at_stop ? saveRecording() : SaveResult::Interrupted;
    if ((result == SaveResult::Cancelled && !QuitOnSignal::requested()) || result == SaveResult::NotSaved)
        unsaved.discard();
}

void Ostrel_recorder::on_actionSave_as_triggered()
{
    saveFile();
}

bool Ostrel_recorder::saveFile()
{
    return saveRecording() == SaveResult::Saved;
}

Ostrel_recorder::SaveResult Ostrel_recorder::saveRecording(bool earlierRun)
{
    QString name = !save_as_name.isEmpty()
                       ? save_as_name
                       : QFileDialog::getSaveFileName(this, tr("Save File"), settings.text(Setting::SaveFileDir),
                                                      tr("Ostrel Recorder files (*.orf)"));
    if (name.isEmpty())
        return SaveResult::Cancelled;
    if (!name.endsWith(".orf"))
        name += ".orf";
    if ((!earlierRun && !unsaved.isOpen()) || !QFile::exists(unsaved.fileName()))
        return SaveResult::NotSaved;
    QString why;
    temp_recording::Saved saved = temp_recording::Saved::Failed;
    // Moved into place when it can be; a copy to another file system runs with progress and a Cancel.
    BackgroundWork::run(this, tr("Saving %1 ...").arg(name), [&](BackgroundWork::Progress &p) {
        saved = unsaved.save(earlierRun, name, &why,
                             [&p](qint64 done, qint64 total) { return p.report(done, total); });
    });
    if (saved == temp_recording::Saved::Cancelled)
        return SaveResult::Interrupted;
    if (saved == temp_recording::Saved::Failed) {
        QMessageBox::warning(this, tr("Ostrel Recorder"),
                             tr("The recording could not be saved as %1.\n%2").arg(name, why), QMessageBox::Ok);
        return SaveResult::Failed;
    }
    settings.text(Setting::SaveFileDir) = QFileInfo(name).absolutePath();
    takeSavedRecording(name);
    return SaveResult::Saved;
}

// The saved recording becomes the current one.
void Ostrel_recorder::takeSavedRecording(const QString &name)
{
    if (initSlider(name)) {
        file_name = name;
        ui.l_filename->setText(name);
    } else {
        file_name = "";
        ui.l_filename->setText("no file selected");
    }
    updateActions();
}

void Ostrel_recorder::offerEarlierRecording()
{
    if (unsaved.earlierWaiting())
        settleEarlierRecording();
}

// Asks what becomes of a recording an earlier run left unsaved. True once it is saved or discarded, false
// while it is kept (Later, a cancelled or failed save).
bool Ostrel_recorder::settleEarlierRecording()
{
    const temp_recording::Leftover left = temp_recording::leftover(unsaved.fileName());
    if (!left.found) {
        unsaved.earlierSettled(); // gone, emptied, or another running instance records into it
        return true;
    }
    QMessageBox box(
        QMessageBox::Question, tr("Ostrel Recorder"),
        tr("A recording from an earlier run was not saved (%1 MB, %2). Save it now?")
            .arg(megabytes::text(left.bytes), QLocale().toString(left.modified, QLocale::ShortFormat)),
        QMessageBox::NoButton, this);
    QPushButton *save = box.addButton(tr("Save"), QMessageBox::AcceptRole);
    QPushButton *discard = box.addButton(tr("Discard"), QMessageBox::DestructiveRole);
    QPushButton *later = box.addButton(tr("Later"), QMessageBox::RejectRole);
    box.setDefaultButton(save);
    box.setEscapeButton(later);
    box.exec();
    if (box.clickedButton() == discard) {
        QFile::remove(unsaved.fileName());
    } else if (box.clickedButton() != save || saveRecording(true) != SaveResult::Saved) {
        return false;
    }
    unsaved.earlierSettled();
    return true;
}

// Live receiving: Preview, Record, Stop, Save as, the thread's status reports and the live display.
#include "ostrel_recorder.h"

#include "ap_socket.h"
#include "clock.h"
#include "display_limit.h"
#include "ostrel_recorder_thread.h"
#include "playback_engine.h"
#include "rate_meter.h"
#include "temp_recording.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QMutexLocker>
#include <QTimer>

namespace {
// The default socket buffer holds about a hundred datagrams of a kilobyte: too little to ride out a short
// stall of the receiving thread at tens of thousands of datagrams a second. The kernel caps the request.
constexpr int kRecordSocketBuffer = 8 * 1024 * 1024;
} // namespace

bool Ostrel_recorder::openRecordSocket()
{
    if (ap_udp_init(&socket_record, port_record, 1) < 0) {
        socket_record = nullptr;
        QMessageBox::critical(this, tr("Ostrel Recorder"), tr("Please check your UDP settings\n"),
                              QMessageBox::Ok);
        return false;
    }
    ap_udp_set_receive_buffer(socket_record, kRecordSocketBuffer);
    return true;
}

void Ostrel_recorder::stopReceiving()
{
    if (recorder_thread->isRunning()) {
        // The run's end report is already on its way; it must not end a run started after it.
        ++stale_end_reports;
        recorder_thread->stop();
    }
    if (socket_record) {
        ap_udp_exit(socket_record);
        socket_record = nullptr;
    }
}

void Ostrel_recorder::startReceiving(bool record)
{
    recorder_thread->setSocket(socket_record);
    recorder_thread->setRecordOutput(record ? record_file : nullptr);
    recorder_thread->setModeRecord(record);
    recorder_thread->start(QThread::InheritPriority);
}

void Ostrel_recorder::on_actionPreview_triggered()
{
    if (!openRecordSocket())
        return;
    frequency_reset = true;
    updateListFrequency(true);
    mode = 4;
    updateActions();
    packets_recorded = 0;
    startReceiving(false);
    display_timer->start(100);
}

void Ostrel_recorder::on_actionRecord_triggered()
{
    const bool fromPreview = mode == 4;
    if (fromPreview) {
        stopReceiving();
        updateListFrequency(true);
    }
    // After a stopped preview a refusal leaves the window idle, not in a preview that no longer runs.
    auto backToIdle = [this, fromPreview] {
        if (!fromPreview)
            return;
        display_timer->stop();
        mode = 0;
        updateActions();
    };
    if (!openRecordSocket()) {
        backToIdle();
        return;
    }
    if (record_file) {
        fclose(record_file);
        record_file = nullptr;
    }
    record_file = temp_recording::open(temp_file_name);
    if (!record_file) {
        ap_udp_exit(socket_record);
        socket_record = nullptr;
        backToIdle();
        QMessageBox::warning(nullptr, tr("Save Record Data"), tr("Error while writing temporary file"),
                             QMessageBox::Ok);
        return;
    }
    packets_recorded = 0;
    file_name = "";
    ui.l_filename->setText("<temporary buffer>");
    mode = 2;
    updateActions();
    frequency_reset = true;
    updateListFrequency(true);
    updateLabelFrequency();
    startReceiving(true);
    if (!ui.cb_disableView->isChecked())
        display_timer->start(100);
}

void Ostrel_recorder::on_actionStop_triggered()
{
    engine->stop();
    display_timer->stop();
    {
        QMutexLocker locker(frequency_mutex);
        frequency_list.clear();
    }
    updateLabelFrequency();
    paused = false;
    display_text = QString();

    if (mode == 4) {
        stopReceiving();
    } else if (mode == 2) {
        stopReceiving();
        finishRecording();
    } else {
        current_frame = int(first_frame);
        slider_moved = false;
        ui.playSlider->setValue(current_frame);
    }
    mode = 0;
    updateActions();
}

void Ostrel_recorder::finishRecording()
{
    if (packets_recorded < 1) {
        QMessageBox::warning(this, "Ostrel Recorder",
                             "No data received on port " + port_record_string +
                                 ".\nPlease check your network settings in Ostrel.",
                             QMessageBox::Ok);
    } else {
        if (recorder_thread->writeFailed())
            QMessageBox::warning(
                this, tr("Ostrel Recorder"),
                tr("Not every datagram could be written to the temporary file %1 (is the disk "
                   "full?).\nThe recording is incomplete.")
                    .arg(temp_file_name),
                QMessageBox::Ok);
        const SaveResult result = saveRecording();
        if (result == SaveResult::Saved && !initSlider(file_name)) {
            file_name = "";
            ui.l_filename->setText("no file selected");
        }
        // A recording whose copy failed stays in the temporary file, still open, for Save as.
        if (result == SaveResult::Failed)
            return;
    }
    if (record_file) {
        fclose(record_file);
        record_file = nullptr;
        QFile::remove(temp_file_name);
    }
}

void Ostrel_recorder::on_actionSave_as_triggered()
{
    saveFile();
}

bool Ostrel_recorder::saveFile()
{
    return saveRecording() == SaveResult::Saved;
}

Ostrel_recorder::SaveResult Ostrel_recorder::saveRecording()
{
    save_file_name = QFileDialog::getSaveFileName(this, tr("Save File"), save_file_dir,
                                                  tr("Ostrel Recorder files (*.orf)"));
    if (save_file_name == "")
        return SaveResult::Cancelled;
    if (!save_file_name.endsWith(".orf"))
        save_file_name += ".orf";
    if (!record_file || !QFile::exists(temp_file_name))
        return SaveResult::NotSaved;
    QString why;
    if (!temp_recording::save(record_file, temp_file_name, save_file_name, &why)) {
        QMessageBox::warning(this, tr("Ostrel Recorder"),
                             tr("The recording could not be saved as %1.\n%2").arg(save_file_name, why),
                             QMessageBox::Ok);
        return SaveResult::Failed;
    }
    ui.l_filename->setText(save_file_name);
    file_name = save_file_name;
    save_file_dir = QFileInfo(save_file_name).absolutePath();
    return SaveResult::Saved;
}

void Ostrel_recorder::update_status(int status)
{
    switch (status) {
    case 0: {
        bool failed = false;
        if (sender() == recorder_thread) {
            if (stale_end_reports > 0) {
                --stale_end_reports;
                return;
            }
            failed = (mode == 2 || mode == 4) && recorder_thread->endedByError();
        }
        updateListFrequency(true);
        if (failed)
            receivingFailed();
        mode = 0;
        break;
    }
    case 2:
        ++packets_recorded;
        if (!ui.cb_disableView->isChecked())
            display_text = recorder_thread->getFrameBuffer();
        updateListFrequency(false);
        mode = 2;
        break;
    case 4:
        display_text = recorder_thread->getFrameBuffer();
        updateListFrequency(false);
        mode = 4;
        break;
    default:
        mode = status;
        break;
    }
}

void Ostrel_recorder::receivingFailed()
{
    const bool recording = mode == 2;
    recorder_thread->stop();
    if (socket_record) {
        ap_udp_exit(socket_record);
        socket_record = nullptr;
    }
    if (record_file)
        fflush(record_file);
    display_timer->stop();
    mode = 0;
    updateActions();
    updateLabelFrequency();
    QString text = tr("Receiving on port %1 stopped because of a receive error.").arg(port_record_string);
    if (recording && packets_recorded > 0)
        text += tr("\nThe data recorded so far are kept: save them with Save as.");
    QMessageBox::warning(this, tr("Ostrel Recorder"), text, QMessageBox::Ok);
}

void Ostrel_recorder::update_display()
{
    // Plain text: a datagram is data, never markup.
    ui.te_datadisplay->setPlainText(display_limit::shown(display_text));
    ui.te_datadisplay->update();
    updateLabelFrequency();
}

void Ostrel_recorder::on_cb_disableView_stateChanged(int state)
{
    if (state == Qt::Checked)
        display_timer->stop();
    else if (mode != 0)
        display_timer->start(100);
}

void Ostrel_recorder::updateListFrequency(bool clear)
{
    QMutexLocker locker(frequency_mutex);
    rate_meter::update(frequency_list, frequency_reset, clear, clock->ms());
}

void Ostrel_recorder::updateListFrequency()
{
    updateListFrequency(false);
}

void Ostrel_recorder::updateLabelFrequency()
{
    QMutexLocker locker(frequency_mutex);
    if (mode == 1)
        return;
    ui.labelFrequency->setText(rate_meter::label(frequency_list, clock->ms()));
}

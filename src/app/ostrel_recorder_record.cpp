// Live receiving: Preview, Record, Stop, Save as, the thread's status reports and the live display.
#include "app/ostrel_recorder.h"

#include "ap/ap_socket.h"
#include "app/background_work.h"
#include "app/display_limit.h"
#include "app/quit_on_signal.h"
#include "play/playback_engine.h"
#include "record/clock.h"
#include "record/megabytes.h"
#include "record/ostrel_recorder_thread.h"
#include "record/rate_meter.h"
#include "record/record_socket.h"
#include "record/temp_recording.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QMutexLocker>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <climits>

using SettingsFile::Setting;

namespace {
// Arrivals a report brings are spread over at most this many milliseconds before it: reports come every
// few milliseconds while datagrams flow, and the rate meter's first estimate needs distinct times.
constexpr quint32 kArrivalSpreadMs = 50;
constexpr quint32 kCountsRefreshMs = 100;
} // namespace

bool Ostrel_recorder::openRecordSocket()
{
    socket_record = nullptr;
    const QString groupText = settings.text(Setting::RecordGroup);
    const QString interface = settings.text(Setting::RecordInterface);
    const std::optional<quint32> group = SettingsFile::groupFromText(groupText);
    QString detail, reason;
    if (!group) {
        detail = tr("%1 is not a multicast group (224.0.0.0 to 239.255.255.255).").arg(groupText);
    } else {
        const record_socket::Result result =
            record_socket::open(&socket_record, values.port_record, *group, interface, &reason);
        if (result == record_socket::Result::Opened)
            return true;
        detail = record_socket::failureText(result, record_socket::Wording::Window, values.port_record,
                                            groupText, interface, reason);
    }
    QMessageBox::critical(this, tr("Ostrel Recorder"), tr("Please check your UDP settings\n") + detail,
                          QMessageBox::Ok);
    return false;
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
    reported_datagrams = 0;
    displayed_datagrams = 0;
    last_report_ms = clock->ms();
    recorder_thread->setSocket(socket_record);
    recorder_thread->setRecordOutput(record ? record_file : nullptr);
    recorder_thread->setModeRecord(record);
    recorder_thread->start(QThread::InheritPriority);
    showCounts(); // the new run's counts, all zero
}

void Ostrel_recorder::showCounts(bool now)
{
    const quint32 ms = clock->ms();
    if (!now && ms - counts_shown_ms < kCountsRefreshMs) {
        // Held back, but drawn once the period is over: the last count of a stream is always shown.
        if (!counts_timer->isActive())
            counts_timer->start(int(kCountsRefreshMs - (ms - counts_shown_ms)));
        return;
    }
    counts_timer->stop();
    counts_shown_ms = ms;
    const Ostrel_Recorder_Thread::Counts c = recorder_thread->counts();
    counts_label->setText(
        tr("%1 datagrams, %2 MB, %3 frames lost").arg(c.datagrams).arg(megabytes::text(c.bytes)).arg(c.lost));
}

// The rate meter counts single arrivals; a report may stand for many, which are spread evenly over the
// time since the report before.
void Ostrel_recorder::countArrivals(qint64 datagrams)
{
    const qint64 arrived = datagrams - reported_datagrams;
    if (arrived <= 0)
        return;
    reported_datagrams = datagrams;
    const quint32 now = clock->ms();
    const quint32 span = std::min(now - last_report_ms, kArrivalSpreadMs);
    last_report_ms = now;
    QMutexLocker locker(frequency_mutex);
    for (qint64 i = arrived - 1; i >= 0; --i)
        rate_meter::update(frequency_list, frequency_reset, false, now - quint32(qint64(span) * i / arrived));
}

void Ostrel_recorder::on_actionPreview_triggered()
{
    if (!openRecordSocket())
        return;
    frequency_reset = true;
    updateListFrequency(true);
    setState(State::Previewing);
    packets_recorded = 0;
    startReceiving(false);
    display_timer->start(100);
}

void Ostrel_recorder::on_actionRecord_triggered()
{
    // Recording truncates the temporary file: an earlier run's recording in it is settled first.
    if (earlier_recording && !settleEarlierRecording())
        return;
    const bool fromPreview = state == State::Previewing;
    if (fromPreview) {
        stopReceiving();
        updateListFrequency(true);
    }
    // After a stopped preview a refusal leaves the window idle, not in a preview that no longer runs.
    auto backToIdle = [this, fromPreview] {
        if (!fromPreview)
            return;
        display_timer->stop();
        setState(State::Idle);
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
    // Nothing is opened while the temporary recording is being written.
    file_name = "";
    frames = FrameIndex();
    recording = RecordingInfo();
    ui.l_filename->setText("<temporary buffer>");
    setState(State::Recording);
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
    resume_after_drag = false;
    display_text = QString();
    display_new = false;

    const State stopped = state;
    setState(State::Idle);
    if (stopped == State::Previewing) {
        stopReceiving();
        showCounts();
    } else if (stopped == State::Recording) {
        stopReceiving();
        // Reports that were still on their way when the thread stopped are dropped: take its final count.
        packets_recorded = int(std::min<qint64>(recorder_thread->counts().datagrams, INT_MAX));
        showCounts();
        finishRecording();
    } else {
        current_frame = first_frame;
        slider_moved = false;
        ui.playSlider->setValue(positions.positionOf(current_frame));
    }
    updateActions();
}

void Ostrel_recorder::finishRecording()
{
    if (packets_recorded < 1) {
        QMessageBox::warning(this, "Ostrel Recorder",
                             "No data received on port " + settings.text(Setting::RecordPort) +
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
        // A recording whose save failed or was interrupted stays in the temporary file, still open, for
        // Save as; a saved one is closed by the save. Cancelling the dialog discards it, unless a quit
        // request closed the dialog: then it stays for the next start to offer.
        // A script's Stop keeps it for its SaveAs, as an interrupted save does.
        const SaveResult result = ask_to_save_at_stop ? saveRecording() : SaveResult::Interrupted;
        if ((result != SaveResult::Cancelled && result != SaveResult::NotSaved) ||
            (result == SaveResult::Cancelled && QuitOnSignal::requested()))
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

Ostrel_recorder::SaveResult Ostrel_recorder::saveRecording(bool earlierRun)
{
    save_file_name =
        !save_as_name.isEmpty()
            ? save_as_name
            : QFileDialog::getSaveFileName(this, tr("Save File"), settings.text(Setting::SaveFileDir),
                                           tr("Ostrel Recorder files (*.orf)"));
    if (save_file_name == "")
        return SaveResult::Cancelled;
    if (!save_file_name.endsWith(".orf"))
        save_file_name += ".orf";
    if ((!earlierRun && !record_file) || !QFile::exists(temp_file_name))
        return SaveResult::NotSaved;
    QString why;
    temp_recording::Saved saved = temp_recording::Saved::Failed;
    FILE *stream = earlierRun ? nullptr : record_file;
    // Moved into place when it can be; a copy to another file system runs with progress and a Cancel.
    BackgroundWork::run(this, tr("Saving %1 ...").arg(save_file_name), [&](BackgroundWork::Progress &p) {
        saved = temp_recording::save(stream, temp_file_name, save_file_name, &why,
                                     [&p](qint64 done, qint64 total) { return p.report(done, total); });
    });
    if (saved == temp_recording::Saved::Cancelled)
        return SaveResult::Interrupted;
    if (saved == temp_recording::Saved::Failed) {
        QMessageBox::warning(this, tr("Ostrel Recorder"),
                             tr("The recording could not be saved as %1.\n%2").arg(save_file_name, why),
                             QMessageBox::Ok);
        return SaveResult::Failed;
    }
    // Saved: the temporary recording is done with. A moved one is gone from its place, which may hold
    // another instance's recording by now.
    if (record_file) {
        fclose(record_file);
        record_file = nullptr;
    }
    if (saved == temp_recording::Saved::Copied)
        QFile::remove(temp_file_name);
    settings.text(Setting::SaveFileDir) = QFileInfo(save_file_name).absolutePath();
    // The saved recording becomes the current one.
    if (initSlider(save_file_name)) {
        file_name = save_file_name;
        ui.l_filename->setText(save_file_name);
    } else {
        file_name = "";
        ui.l_filename->setText("no file selected");
    }
    updateActions();
    return SaveResult::Saved;
}

void Ostrel_recorder::offerEarlierRecording()
{
    if (earlier_recording)
        settleEarlierRecording();
}

// Asks what becomes of a recording an earlier run left unsaved. True once it is saved or discarded, false
// while it is kept (Later, a cancelled or failed save).
bool Ostrel_recorder::settleEarlierRecording()
{
    const temp_recording::Leftover left = temp_recording::leftover(temp_file_name);
    if (!left.found) {
        earlier_recording = false; // gone, emptied, or another running instance records into it
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
        QFile::remove(temp_file_name);
    } else if (box.clickedButton() != save || saveRecording(true) != SaveResult::Saved) {
        return false;
    }
    earlier_recording = false;
    return true;
}

void Ostrel_recorder::update_status(int status)
{
    const bool receiving = state == State::Previewing || state == State::Recording;
    if (status == 0) {
        if (stale_end_reports > 0) {
            --stale_end_reports;
            return;
        }
        updateListFrequency(true);
        if (receiving && recorder_thread->endedByError()) {
            receivingFailed();
        } else if (receiving) {
            stopReceiving();
            display_timer->stop();
            setState(State::Idle);
        }
        return;
    }
    if (!receiving)
        return;
    // One report may stand for many datagrams: the counts are read now; the display takes the latest
    // datagram at its next refresh.
    const qint64 datagrams = recorder_thread->counts().datagrams;
    if (state == State::Recording)
        packets_recorded = int(std::min<qint64>(datagrams, INT_MAX));
    countArrivals(datagrams);
    showCounts(false);
}

void Ostrel_recorder::receivingFailed()
{
    const bool recording = state == State::Recording;
    recorder_thread->stop();
    showCounts();
    if (recording)
        packets_recorded = int(std::min<qint64>(recorder_thread->counts().datagrams, INT_MAX));
    if (socket_record) {
        ap_udp_exit(socket_record);
        socket_record = nullptr;
    }
    if (record_file)
        fflush(record_file);
    display_timer->stop();
    setState(State::Idle);
    updateLabelFrequency();
    QString text = tr("Receiving on port %1 stopped because of a receive error.")
                       .arg(settings.text(Setting::RecordPort));
    if (recording && packets_recorded > 0)
        text += tr("\nThe data recorded so far are kept: save them with Save as.");
    QMessageBox::warning(this, tr("Ostrel Recorder"), text, QMessageBox::Ok);
}

void Ostrel_recorder::showText(const QString &text)
{
    display_text = text;
    display_new = true;
}

void Ostrel_recorder::refreshText()
{
    // Only what is new is set: laying out a datagram of 64 KB takes longer than the refresh period.
    if (!display_new)
        return;
    display_new = false;
    // Plain text: a datagram is data, never markup.
    ui.te_datadisplay->setPlainText(display_limit::shown(display_text));
}

void Ostrel_recorder::update_display()
{
    const bool receiving = state == State::Previewing || state == State::Recording;
    if (receiving) {
        const qint64 datagrams = recorder_thread->counts().datagrams;
        if (datagrams != displayed_datagrams) {
            displayed_datagrams = datagrams;
            showText(recorder_thread->getFrameBuffer());
        }
    }
    refreshText();
    updateLabelFrequency();
}

void Ostrel_recorder::on_cb_disableView_stateChanged(int checked)
{
    if (checked == Qt::Checked)
        display_timer->stop();
    else if (state != State::Idle && state != State::Paused)
        display_timer->start(100);
}

void Ostrel_recorder::updateListFrequency(bool clear)
{
    QMutexLocker locker(frequency_mutex);
    rate_meter::update(frequency_list, frequency_reset, clear, clock->ms());
}

void Ostrel_recorder::updateLabelFrequency()
{
    QMutexLocker locker(frequency_mutex);
    if (state == State::Playing || state == State::Paused)
        return; // the label shows the playback's rate
    ui.labelFrequency->setText(rate_meter::label(frequency_list, clock->ms()));
}

// Live receiving: Preview, Record, Stop and the receiving thread's status reports; what they show goes
// through the live display.
#include "app/ostrel_recorder.h"

#include "ap/ap_socket.h"
#include "app/live_display.h"
#include "play/playback_engine.h"
#include "record/ostrel_recorder_thread.h"
#include "record/record_socket.h"

#include <QMessageBox>

#include <algorithm>
#include <climits>

using SettingsFile::Setting;

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
    live->setReceiving(false);
    if (socket_record) {
        ap_udp_exit(socket_record);
        socket_record = nullptr;
    }
}

void Ostrel_recorder::startReceiving(bool record)
{
    recorder_thread->setSocket(socket_record);
    recorder_thread->setRecordOutput(record ? unsaved.stream() : nullptr);
    recorder_thread->setModeRecord(record);
    recorder_thread->start(QThread::InheritPriority);
    live->setReceiving(true);
    live->startRun();
}

void Ostrel_recorder::on_actionPreview_triggered()
{
    if (!openRecordSocket())
        return;
    live->resetRate();
    setState(State::Previewing);
    packets_recorded = 0;
    startReceiving(false);
    live->start(true); // the display runs in preview whatever "disable view" says
}

void Ostrel_recorder::on_actionRecord_triggered()
{
    // Recording truncates the temporary file: an earlier run's recording in it is settled first.
    if (unsaved.earlierWaiting() && !settleEarlierRecording())
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
        live->stop();
        setState(State::Idle);
    };
    if (!openRecordSocket()) {
        backToIdle();
        return;
    }
    if (!unsaved.open()) {
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
    live->resetRate();
    updateLabelFrequency();
    startReceiving(true);
    live->start();
}

void Ostrel_recorder::on_actionStop_triggered()
{
    engine->stop();
    live->stop();
    updateListFrequency(true);
    updateLabelFrequency(); // after a playback its rate stays in the label
    resume_after_drag = false;
    live->forget();

    const State stopped = state;
    setState(State::Idle);
    if (stopped == State::Previewing) {
        stopReceiving();
        live->showCounts();
    } else if (stopped == State::Recording) {
        stopReceiving();
        takePacketCount();
        live->showCounts();
        finishRecording();
    } else {
        current_frame = first_frame;
        slider_moved = false;
        ui.playSlider->setValue(positions.positionOf(current_frame));
    }
    updateActions();
}

// The receiving thread's count; reports still on their way when it stopped are dropped.
void Ostrel_recorder::takePacketCount()
{
    packets_recorded = int(std::min<qint64>(recorder_thread->counts().datagrams, INT_MAX));
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
            live->stop();
            setState(State::Idle);
        }
        return;
    }
    if (!receiving)
        return;
    // One report may stand for many datagrams: the counts are read now; the display takes the latest
    // datagram at its next refresh.
    if (state == State::Recording)
        takePacketCount();
    live->takeReport();
}

void Ostrel_recorder::receivingFailed()
{
    const bool recording = state == State::Recording;
    recorder_thread->stop();
    live->setReceiving(false);
    live->showCounts();
    if (recording)
        takePacketCount();
    if (socket_record) {
        ap_udp_exit(socket_record);
        socket_record = nullptr;
    }
    unsaved.flush();
    live->stop();
    setState(State::Idle);
    updateLabelFrequency();
    QString text = tr("Receiving on port %1 stopped because of a receive error.")
                       .arg(settings.text(Setting::RecordPort));
    if (recording && packets_recorded > 0)
        text += tr("\nThe data recorded so far are kept: save them with Save as.");
    QMessageBox::warning(this, tr("Ostrel Recorder"), text, QMessageBox::Ok);
}

void Ostrel_recorder::update_display()
{
    live->refresh();
}

void Ostrel_recorder::on_cb_disableView_stateChanged(int checked)
{
    if (checked == Qt::Checked)
        live->stop();
    else if (state != State::Idle && state != State::Paused)
        live->start();
}

void Ostrel_recorder::updateListFrequency(bool clear)
{
    live->updateRate(clear);
}

void Ostrel_recorder::updateLabelFrequency()
{
    live->showRate();
}

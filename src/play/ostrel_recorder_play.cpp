// Playback: Play, Pause, the seek slider and the timed sender.
#include "ostrel_recorder.h"

#include "ap_socket.h"
#include "clock.h"
#include "display_limit.h"
#include "frame_lines.h"
#include "frame_reader.h"
#include "play_timing.h"

#include <QMessageBox>
#include <QTimer>

namespace {
// A frame that falls due before the next tick is waited for precisely instead of being sent a tick late.
constexpr quint32 kTickUs = 1000;
constexpr unsigned int kSendTimeoutUs = 5000000;
} // namespace

void Ostrel_recorder::on_actionPlay_triggered()
{
    if (!socket_play) {
        QMessageBox::critical(this, tr("Ostrel Recorder"),
                              tr("Nothing can be sent: the UDP socket could not be opened at start-up.\n"
                                 "Please check your UDP settings."),
                              QMessageBox::Ok);
        return;
    }
    if (file_name.isEmpty()) {
        // The receiving thread has stopped, but the stream may still hold the last datagrams.
        if (record_file)
            fflush(record_file);
        if (record_file && initSlider(temp_file_name) && ui.playSlider->maximum() != 0) {
            file_name = temp_file_name;
            ui.l_filename->setText("<temporary buffer>");
        } else {
            QMessageBox::warning(this, tr("Ostrel Recorder"),
                                 tr("Please select a file in the File -> Open dialog."), QMessageBox::Ok);
            return;
        }
    }

    if (paused) {
        last_send_time = clock->us();
        if (slider_moved) {
            paused = false;
            startFromNew();
            return;
        }
        if (!send_timer->isActive()) {
            send_timer->start(1);
            if (!ui.cb_disableView->isChecked())
                display_timer->start(100);
        }
        paused = false;
        ui.actionPause->setEnabled(true);
        ui.actionPlay->setEnabled(false);
        ui.playSlider->setEnabled(false);
        return;
    }

    paused = false;
    play_file.setFileName(file_name);
    float rate = play_timing::usableRate(frequency_play_1);
    // A position chosen with the slider before Play; the timestamp probe must not take it for a seek.
    const bool seek_pending = slider_moved;
    const int seek_target = current_frame;
    slider_moved = false;
    if (!timestamp) {
        frame_period = play_timing::periodUs(rate);
        if (!play_file.open(QIODevice::ReadOnly | QIODevice::Text))
            return;
    } else {
        if (!play_file.open(QIODevice::ReadOnly | QIODevice::Text)) {
            QMessageBox::warning(this, tr("Ostrel Recorder"),
                                 "File cannot be accessed. (" + QString::number(play_file.error()) + ")",
                                 QMessageBox::Ok);
            return;
        }
        double t0 = FrameReader::kAtStart, t1 = 0, t2 = 0;
        read_next_frame(&t0);
        read_next_frame(&t1);
        read_next_frame(&t2);
        const float recorded_rate = play_timing::timestampRate(t1, t2);
        if (recorded_rate > 0)
            rate = recorded_rate;
        frame_period = play_timing::periodUs(rate);
        play_file.close();
        if (!play_file.open(QIODevice::ReadOnly | QIODevice::Text))
            return;
    }
    ui.labelFrequency->setText(QString::number(rate, 'f', 1) + " Hz");

    read_count = 0;
    last_send_time = clock->us();
    mode = 1;
    updateActions();
    if (seek_pending)
        startAtFrame(seek_target);
    send_timer->start(1);
    if (!ui.cb_disableView->isChecked())
        display_timer->start(100);
}

void Ostrel_recorder::startAtFrame(int frame)
{
    // The chosen frame is sent first, whole: position the file just behind its frame-counter line and let
    // the first due tick send from there.
    current_frame = recordedFrameAtOrAfter(frame);
    slider_moved = true;
    double start = FrameReader::kAtStart;
    if (read_next_frame(&start) == 0) {
        next_frame_line = display_text.trimmed();
        read_count = 1;
        return;
    }
    slider_moved = false;
    play_file.seek(0);
    read_count = 0;
}

void Ostrel_recorder::on_actionPause_triggered()
{
    if (!send_timer->isActive())
        return;
    send_timer->stop();
    display_timer->stop();
    paused = true;
    ui.actionPlay->setEnabled(true);
    ui.actionPause->setEnabled(false);
    ui.actionRecord->setEnabled(false);
    ui.playSlider->setEnabled(true);
}

void Ostrel_recorder::on_playSlider_sliderPressed()
{
    connect(ui.playSlider, &QSlider::sliderMoved, this, &Ostrel_recorder::updateContent,
            Qt::UniqueConnection);
    if (send_timer->isActive()) {
        send_timer->stop();
        display_timer->stop();
        ui.actionPlay->setEnabled(true);
        ui.actionPause->setEnabled(false);
        ui.actionRecord->setEnabled(false);
    }
    slider_moved = true;
}

void Ostrel_recorder::updateContent(int i)
{
    if (ui.cb_disableView->isChecked())
        return;
    display_text = read_from_vector(i);
    ui.te_datadisplay->setPlainText(display_limit::shown(display_text));
}

void Ostrel_recorder::on_playSlider_sliderReleased()
{
    disconnect(ui.playSlider, &QSlider::sliderMoved, this, &Ostrel_recorder::updateContent);
    current_frame = ui.playSlider->sliderPosition();
    last_send_time = clock->us();
    // Idle: the position waits for the next Play, which starts with that frame.
    if (mode == 1 && !paused && slider_moved)
        startFromNew();
}

void Ostrel_recorder::startFromNew()
{
    ui.actionPlay->setEnabled(false);
    ui.actionPause->setEnabled(true);
    ui.actionRecord->setEnabled(false);
    ui.playSlider->setEnabled(false);
    ui.menuSettings->setEnabled(false);
    ui.actionOpen->setEnabled(false);

    // Seek to the chosen frame, or to the next one the recording holds when it was lost, then read the rest
    // of it: the frame after it is the next one sent.
    play_file.seek(0);
    current_frame = recordedFrameAtOrAfter(current_frame);
    slider_moved = true;
    double timestamp_read = 0;
    int result = read_next_frame(&timestamp_read);
    if (result == FrameReader::kSeekFailed) {
        // The index does not describe this file (a later Open failed): play it from its start.
        slider_moved = false;
        play_file.seek(0);
        read_count = 0;
    } else {
        result = read_next_frame(&timestamp_read);
        if (result == FrameReader::kEndOfFile) {
            // Nothing follows the chosen frame in a single playback.
            endPlayback();
            return;
        }
        read_count = result == FrameReader::kRewound ? 0 : qMax(1, current_frame - int(first_frame));
    }
    send_timer->start(1);
    if (!ui.cb_disableView->isChecked())
        display_timer->start(100);
}

int Ostrel_recorder::read_next_frame(double *timestamp)
{
    bool frame_line_read = false;
    const int result = FrameReader::readNextFrame(play_file, display_text, next_frame_line, current_frame,
                                                  slider_moved, timestamp, loop, &frame_line_read);
    if (frame_line_read)
        ui.playSlider->setValue(current_frame);
    return result;
}

void Ostrel_recorder::sendUDP()
{
    if (mode != 1 || paused)
        return;
    double timestamp_read = read_count == 0 ? FrameReader::kAtStart : 0.0;
    const quint32 elapsed = clock->us() - last_send_time;
    if (elapsed <= frame_period) {
        if (frame_period - elapsed >= kTickUs)
            return;
        clock->waitUntilUs(last_send_time + frame_period + 1);
    }
    last_send_time += frame_period;
    const int result = read_next_frame(&timestamp_read);
    ++read_count;
    if (read_count == 1) {
        // A priming read that meets no frame-counter line: the recording holds nothing to send.
        if (result != FrameReader::kFrameRead)
            endPlayback();
        return;
    }
    if (result == FrameReader::kRewound)
        read_count = 0;

    const QByteArray bytes = display_text.toLatin1();
    if (ap_udp_send(socket_play, bytes.constData(), int(bytes.size()), ip_play_1, port_play_1,
                    kSendTimeoutUs) != 0) {
        sendFailed(tr("Error while sending data"));
        return;
    }
    if (active && ap_udp_send(socket_play, bytes.constData(), int(bytes.size()), ip_play_2, port_play_2,
                              kSendTimeoutUs) != 0) {
        sendFailed(tr("Error while sending data 2"));
        return;
    }
    if (result == FrameReader::kEndOfFile)
        endPlayback();
}

void Ostrel_recorder::endPlayback()
{
    send_timer->stop();
    display_timer->stop();
    update_status(0);
    updateActions();
}

void Ostrel_recorder::sendFailed(const QString &text)
{
    endPlayback();
    QMessageBox::critical(this, tr("Ostrel Recorder"), text, QMessageBox::Ok);
}

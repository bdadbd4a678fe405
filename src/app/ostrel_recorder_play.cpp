// Playback: Play, Pause and the seek slider drive the playback engine, which sends from its own thread;
// the window follows its progress reports.
#include "app/ostrel_recorder.h"

#include "ap/multicast_sending.h"
#include "app/live_display.h"
#include "play/playback_engine.h"

#include <QMessageBox>
#include <QStatusBar>

#include <cstring>

void Ostrel_recorder::on_actionPlay_triggered()
{
    if (!socket_play) {
        QMessageBox::critical(this, tr("Ostrel Recorder"),
                              tr("Nothing can be sent: the UDP socket could not be opened at start-up.\n"
                                 "Please check your UDP settings."),
                              QMessageBox::Ok);
        return;
    }
    if (!openForPlay())
        return;
    if (state == State::Paused) {
        if (slider_moved) {
            startFromNew();
            return;
        }
        engine->resume();
        setState(State::Playing);
        live->start();
        return;
    }
    if (!setUpMulticastSending())
        return;
    const PlaybackEngine::Options options = playOptions();
    // A position chosen with the slider before Play is sent first, whole.
    const qint64 chosen = slider_moved ? current_frame : -1;
    slider_moved = false;
    if (!engine->start(frames, options, chosen)) {
        // Said at every Play, not only once: Play does nothing else.
        file_change_reported = false;
        reportFileChanged();
        return;
    }
    ui.labelFrequency->setText(QString::number(engine->rate(), 'f', 1) + " Hz");
    shown_frame = -1;
    recorded_timing = options.recordedTiming;
    timing_shown.clear();
    setState(State::Playing);
    live->start();
}

// Without an opened recording, Play plays the temporary recording, if it holds a frame.
bool Ostrel_recorder::openForPlay()
{
    if (!file_name.isEmpty())
        return true;
    // The receiving thread has stopped, but the stream may still hold the last datagrams.
    unsaved.flush();
    if (unsaved.isOpen() && initSlider(unsaved.fileName()) && last_frame != 0) {
        file_name = unsaved.fileName();
        ui.l_filename->setText("<temporary buffer>");
        return true;
    }
    QMessageBox::warning(this, tr("Ostrel Recorder"), tr("Please select a file in the File -> Open dialog."),
                         QMessageBox::Ok);
    updateActions();
    return false;
}

PlaybackEngine::Options Ostrel_recorder::playOptions() const
{
    PlaybackEngine::Options options;
    options.destinations.push_back({values.ip_play_1, values.port_play_1});
    if (values.active)
        options.destinations.push_back({values.ip_play_2, values.port_play_2});
    options.rate = values.frequency_play_1;
    options.timestamps = values.timestamp;
    options.recordedTiming = values.timestamp && values.recorded_timing;
    options.loop = values.loop;
    options.continueNumbers = values.continue_numbers;
    return options;
}

// Datagrams to groups leave with the settings' TTL and interface, loopback on for consumers here.
bool Ostrel_recorder::setUpMulticastSending()
{
    MulticastSending multicast;
    multicast.ttl = values.play_ttl;
    multicast.interface = settings.text(SettingsFile::Setting::PlayInterface);
    const MulticastSending::Result set = multicast.applyTo(socket_play);
    if (set == MulticastSending::Result::Set)
        return true;
    const QString &interface = multicast.interface;
    QMessageBox::critical(this, tr("Ostrel Recorder"),
                          tr("Please check your UDP settings\n") +
                              (set == MulticastSending::Result::UnknownInterface
                                   ? tr("There is no network interface %1.").arg(interface)
                                   : tr("Sending to multicast groups through %1 was refused.")
                                         .arg(interface.isEmpty() ? tr("the system's route") : interface)),
                          QMessageBox::Ok);
    return false;
}

void Ostrel_recorder::on_actionPause_triggered()
{
    if (state != State::Playing || engine->progress().state != PlaybackEngine::State::Playing)
        return;
    engine->pause();
    playbackProgressed(); // the slider shows the frame sent last, the position a resume goes on from
    live->stop();
    setState(State::Paused);
}

void Ostrel_recorder::on_playSlider_sliderPressed()
{
    connect(ui.playSlider, &QSlider::sliderMoved, this, &Ostrel_recorder::updateContent,
            Qt::UniqueConnection);
    // Held during a playback, the slider pauses it until it is released.
    if (state == State::Playing && engine->progress().state == PlaybackEngine::State::Playing) {
        on_actionPause_triggered();
        resume_after_drag = true;
    }
    slider_moved = true;
}

void Ostrel_recorder::updateContent(int i)
{
    if (ui.cb_disableView->isChecked())
        return;
    live->show(read_from_vector(positions.frameAt(i)));
    live->refreshText();
}

void Ostrel_recorder::on_playSlider_sliderReleased()
{
    disconnect(ui.playSlider, &QSlider::sliderMoved, this, &Ostrel_recorder::updateContent);
    current_frame = positions.frameAt(ui.playSlider->sliderPosition());
    // Idle: the position waits for the next Play, which starts with that frame; paused: for the resume.
    if (resume_after_drag && state == State::Paused) {
        resume_after_drag = false;
        startFromNew();
    }
}

void Ostrel_recorder::startFromNew()
{
    // The frame after the chosen one (after the next recorded one when it was lost) is sent next.
    slider_moved = false;
    resume_after_drag = false;
    engine->seek(current_frame);
    setState(State::Playing);
    live->start();
}

void Ostrel_recorder::playbackProgressed()
{
    if (state != State::Playing && state != State::Paused)
        return;
    const PlaybackEngine::Progress progress = engine->progress();
    if (progress.frame >= 0 && progress.frame != shown_frame && !ui.playSlider->isSliderDown()) {
        shown_frame = progress.frame;
        current_frame = progress.frame;
        ui.playSlider->setValue(positions.positionOf(current_frame));
        QByteArray bytes;
        if (!ui.cb_disableView->isChecked() &&
            engine->sentWire(progress.frame, progress.pass, &bytes) == FrameIndex::Read::Ok)
            live->show(QString::fromLatin1(bytes));
    }
    // Timestamps out of order and shortened gaps are said as they are met.
    if (recorded_timing) {
        const QString timing = engine->selfCheck().timingText();
        if (timing != timing_shown)
            statusBar()->showMessage(timing_shown = timing);
    }
    switch (progress.state) {
    case PlaybackEngine::State::Ended:
        endPlayback();
        statusBar()->showMessage(engine->selfCheck().summary());
        break;
    case PlaybackEngine::State::SendFailed: {
        endPlayback();
        // The box's text stays short; the status bar keeps the system's reason after it is closed.
        const bool second = progress.failedDestination != 0;
        statusBar()->showMessage(tr("Sending frame %1 to %2:%3 failed: %4")
                                     .arg(progress.frame)
                                     .arg(settings.text(second ? SettingsFile::Setting::PlayHost2
                                                               : SettingsFile::Setting::PlayHost1))
                                     .arg(second ? values.port_play_2 : values.port_play_1)
                                     .arg(QString::fromLocal8Bit(std::strerror(progress.failedErrno))));
        QMessageBox::critical(this, tr("Ostrel Recorder"),
                              progress.failedDestination == 0 ? tr("Error while sending data")
                                                              : tr("Error while sending data 2"),
                              QMessageBox::Ok);
        break;
    }
    case PlaybackEngine::State::FileChanged:
        endPlayback();
        file_change_reported = false;
        reportFileChanged();
        break;
    default:
        break;
    }
}

void Ostrel_recorder::endPlayback()
{
    engine->stop();
    live->stop();
    if (!ui.cb_disableView->isChecked())
        live->refreshText();
    updateListFrequency(true);
    setState(State::Idle);
}

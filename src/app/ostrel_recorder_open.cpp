// Open: the frame scan with its messages (a capture made into a recording first), the frame index behind
// the slider and its preview lookups, the strip of lost and late frames along the slider, Recording info,
// and Export as capture.
#include "app/ostrel_recorder.h"

#include "app/background_work.h"
#include "app/frame_strip.h"
#include "capture/capture_writer.h"
#include "dialogs/recording_info_dialog.h"
#include "recording/file_time.h"

#include <QDateTime>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QStatusBar>

using SettingsFile::Setting;

bool Ostrel_recorder::scanRecording(const QString &name, bool captures, OpenedRecording *opened)
{
    CaptureReader::Options options;
    options.preferredPort = values.port_record != 0 ? values.port_record : -1;
    const bool finished =
        BackgroundWork::run(this, tr("Reading %1 ...").arg(name), [&](BackgroundWork::Progress &p) {
            *opened =
                OpenedRecording::open(name, captures ? &options : nullptr,
                                      [&p](qint64 done, qint64 total) { return p.report(done, total); });
        });
    if (!finished)
        return false; // the user's choice: the previous recording stays, nothing to say
    return playable(*opened, name);
}

// Says what stands in the way of playing an opened recording, and what it lacks.
bool Ostrel_recorder::playable(const OpenedRecording &opened, const QString &name)
{
    using Status = OpenedRecording::Status;
    switch (opened.status) {
    case Status::CaptureUnreadable:
    case Status::OpenFailed:
        QMessageBox::warning(this, tr("Error opening file"), tr("File %1 cannot be opened.").arg(name),
                             QMessageBox::Ok);
        return false;
    case Status::FirstNumberInvalid:
    case Status::Cancelled:
        return false;
    case Status::BadNumbering:
        QMessageBox::critical(this, tr("Ostrel Recorder"), RecordingInfo::badNumberingText(),
                              QMessageBox::Ok);
        return false;
    case Status::ReadFailed:
        QMessageBox::warning(this, tr("Error opening file"),
                             tr("File %1 cannot be read to its end.").arg(name), QMessageBox::Ok);
        return false;
    case Status::Changed:
        QMessageBox::warning(this, tr("Ostrel Recorder"),
                             tr("File %1 has changed since it was opened. Please open it again.").arg(name),
                             QMessageBox::Ok);
        return false;
    case Status::Ok:
        break;
    }
    const RecordingInfo &info = opened.info;
    // A frame too large to send ends a playback there, as a send that fails; only a recording with
    // nothing that could be sent is refused.
    if (info.nothingFits()) {
        QMessageBox::critical(this, tr("Ostrel Recorder"),
                              tr("File %1 cannot be played: %2.").arg(name, info.reason), QMessageBox::Ok);
        return false;
    }
    if (info.lost > 0)
        QMessageBox::warning(this, tr("Ostrel Recorder"), info.lostFramesText(), QMessageBox::Ok);
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
    ui.playSlider->setRange(positions.minimum(), positions.maximum());
    ui.playSlider->setTickPosition(QSlider::NoTicks);
    ui.playSlider->setValue(positions.positionOf(current_frame));
    // The strip holds the marks; the window keeps the rest of the figures.
    ui.frameStrip->setMarks(std::move(recording.marks), positions, ui.playSlider);
    recording.marks.clear();
}

bool Ostrel_recorder::initSlider(QString file_name, bool captures)
{
    OpenedRecording opened;
    if (!scanRecording(file_name, captures, &opened))
        return false;
    takeRecording(opened.index, opened.info);
    // The temporary recording of a capture opened before is read no more: it goes.
    capture_recording = std::move(opened.capture);
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
    // A capture is named as the user opened it, not by the temporary recording made of it.
    const QString text = tr("File %1 has changed since it was opened. Please open it again.")
                             .arg(file_name.isEmpty() ? frames.fileName() : file_name);
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
        this, tr("Open File"), settings.text(Setting::OpenFileDir),
        tr("Ostrel Recorder files (*.orf);;Captures (*.pcap *.pcapng *.cap);;All files (*)"));
    if (!name.isEmpty())
        openRecording(name);
}

bool Ostrel_recorder::openRecording(const QString &name)
{
    if (state != State::Idle || !initSlider(name, true))
        return false;
    file_name = name;
    if (capture_recording.isEmpty())
        ui.l_filename->setText(name);
    else if (const quint16 port = capture_recording.result().port; port != 0)
        ui.l_filename->setText(tr("%1 · UDP port %2").arg(name).arg(port));
    else
        ui.l_filename->setText(tr("%1 · no UDP datagram").arg(name));
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

void Ostrel_recorder::on_actionExportCapture_triggered()
{
    if (state != State::Idle || file_name.isEmpty())
        return;
    QString name = QFileDialog::getSaveFileName(this, tr("Export as capture"),
                                                settings.text(Setting::SaveFileDir), tr("Captures (*.pcap)"));
    if (name.isEmpty())
        return;
    if (!name.endsWith(".pcap"))
        name += ".pcap";
    // As Play would send it to destination 1, once; the first packet at the opened file's modification time.
    PlaybackEngine::Options options;
    options.rate = values.frequency_play_1;
    options.timestamps = values.timestamp;
    options.recordedTiming = values.timestamp && values.recorded_timing;
    const qint64 startNs =
        file_time::modifiedNs(file_name).value_or(QDateTime::currentMSecsSinceEpoch() * 1000000);
    const FrameIndex index = frames;
    const quint32 ip = values.ip_play_1;
    const quint16 port = values.port_play_1;
    CaptureWriter::Written written;
    QString why;
    // The save dialog has asked before an existing file is replaced.
    const bool finished =
        BackgroundWork::run(this, tr("Exporting %1 ...").arg(name), [&](BackgroundWork::Progress &p) {
            written = CaptureWriter::exportRecording(
                name, true, index, options, CaptureWriter::endpointsFor(ip, port), CaptureWriter::kDefaultMtu,
                startNs, &why, [&p](qint64 done, qint64 total) { return p.report(done, total); });
        });
    if (!finished || written.status == CaptureWriter::Written::Status::Cancelled)
        return; // the user's choice; no part is left
    reportExport(name, written, why);
}

void Ostrel_recorder::reportExport(const QString &name, const CaptureWriter::Written &written, QString why)
{
    switch (written.status) {
    case CaptureWriter::Written::Status::Ok:
        settings.text(Setting::SaveFileDir) = QFileInfo(name).absolutePath();
        statusBar()->showMessage(tr("%1 frames exported to %2").arg(written.frames).arg(name));
        return;
    case CaptureWriter::Written::Status::Changed:
        file_change_reported = false;
        reportFileChanged();
        return;
    case CaptureWriter::Written::Status::TooLarge:
        why = tr("Frame %1 is %2 bytes; %3.")
                  .arg(written.frame)
                  .arg(written.size)
                  .arg(RecordingInfo::datagramLimitText());
        break;
    default:
        break;
    }
    QMessageBox::warning(this, tr("Ostrel Recorder"),
                         tr("The recording could not be exported as %1.\n%2").arg(name, why),
                         QMessageBox::Ok);
}

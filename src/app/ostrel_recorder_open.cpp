// Open: the frame scan with its messages, the frame index behind the slider and its preview lookups.
#include "ostrel_recorder.h"

#include "frame_scanner.h"

#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QProgressDialog>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <memory>

using SettingsFile::Setting;

namespace {

// A scan that ends within this time shows no progress dialog.
constexpr int kProgressDelayMs = 500;
constexpr int kProgressSteps = 1000;

// Scans on a worker thread so that the window keeps painting; a scan that takes longer than a moment shows
// a progress dialog whose Cancel gives Status::Cancelled and leaves index as it was.
FrameScanner::Result scanShowingProgress(QWidget *parent, const QString &fileName, FrameIndex &index)
{
    std::atomic<bool> cancel{false};
    std::atomic<bool> done{false};
    std::atomic<qint64> scanned{0};
    std::atomic<qint64> size{0};
    FrameScanner::Result result;
    FrameIndex built;
    std::unique_ptr<QThread> worker(QThread::create([&] {
        result = FrameScanner::scan(fileName, built, FrameScanner::kDefaultChunkSize,
                                    [&](qint64 bytes, qint64 total) {
                                        scanned.store(bytes, std::memory_order_relaxed);
                                        size.store(total, std::memory_order_relaxed);
                                        return !cancel.load(std::memory_order_relaxed);
                                    });
        done.store(true);
    }));
    QEventLoop loop;
    QObject::connect(worker.get(), &QThread::finished, &loop, &QEventLoop::quit);
    worker->start();
    // Until the dialog shows, input waits as it would behind a busy window: nothing else may start.
    QTimer::singleShot(kProgressDelayMs, &loop, &QEventLoop::quit);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    bool cancelled = false;
    if (!done.load()) {
        QProgressDialog progress(
            QCoreApplication::translate("Ostrel_recorder", "Reading %1 ...").arg(fileName),
            QCoreApplication::translate("Ostrel_recorder", "Cancel"), 0, kProgressSteps, parent);
        progress.setWindowTitle(QCoreApplication::translate("Ostrel_recorder", "Ostrel Recorder"));
        progress.setWindowModality(Qt::WindowModal);
        progress.setMinimumDuration(0);
        progress.setAutoClose(false);
        progress.setAutoReset(false);
        QTimer tick;
        QObject::connect(&tick, &QTimer::timeout, &progress, [&] {
            const qint64 total = size.load(std::memory_order_relaxed);
            if (total > 0)
                progress.setValue(int(scanned.load(std::memory_order_relaxed) * kProgressSteps / total));
        });
        QObject::connect(&progress, &QProgressDialog::canceled, &loop, &QEventLoop::quit);
        // Closed in any other way (rejected) it must not leave the window open to input while the scan runs.
        QObject::connect(&progress, &QDialog::rejected, &loop, &QEventLoop::quit);
        tick.start(100);
        progress.show();
        if (!done.load())
            loop.exec();
        // Also when the application quits meanwhile, which ends every event loop.
        cancelled = progress.wasCanceled() || !done.load();
    }
    cancel.store(cancelled);
    worker->wait();
    if (cancelled) {
        FrameScanner::Result none;
        none.status = FrameScanner::Status::Cancelled;
        return none;
    }
    if (result.status != FrameScanner::Status::OpenFailed)
        index = built;
    return result;
}

} // namespace

bool Ostrel_recorder::scannFrame(QString file_name, quint32 &first_frame, quint32 &last_frame,
                                 FrameIndex &frames)
{
    const FrameScanner::Result result = scanShowingProgress(this, file_name, frames);
    if (result.status == FrameScanner::Status::Cancelled)
        return false; // the user's choice: the previous recording stays, nothing to say
    if (result.status != FrameScanner::Status::OpenFailed)
        file_change_reported = false;
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
    if (name.isEmpty()) {
        ui.playSlider->setEnabled(false);
        return;
    }
    if (!initSlider(name))
        return;
    file_name = name;
    ui.l_filename->setText(name);
    settings.text(Setting::OpenFileDir) = QFileInfo(name).absolutePath();
    packets_recorded = 0;
    slider_moved = false;
    ui.actionPlay->setEnabled(true);
    ui.playSlider->setEnabled(true);
}

#include "app/background_work.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QProgressDialog>
#include <QThread>
#include <QTimer>
#include <memory>

namespace {
// Work that ends within this time shows no progress dialog.
constexpr int kProgressDelayMs = 500;
constexpr int kProgressSteps = 1000;
} // namespace

bool BackgroundWork::run(QWidget *parent, const QString &label, const std::function<void(Progress &)> &work)
{
    Progress progress;
    std::atomic<bool> done{false};
    std::unique_ptr<QThread> worker(QThread::create([&] {
        work(progress);
        done.store(true);
    }));
    QEventLoop loop;
    QObject::connect(worker.get(), &QThread::finished, &loop, &QEventLoop::quit);
    worker->start();
    QTimer::singleShot(kProgressDelayMs, &loop, &QEventLoop::quit);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    bool cancelled = false;
    if (!done.load()) {
        QProgressDialog dialog(label, QCoreApplication::translate("Ostrel_recorder", "Cancel"), 0,
                               kProgressSteps, parent);
        dialog.setWindowTitle(QCoreApplication::translate("Ostrel_recorder", "Ostrel Recorder"));
        dialog.setWindowModality(Qt::WindowModal);
        dialog.setMinimumDuration(0);
        dialog.setAutoClose(false);
        dialog.setAutoReset(false);
        QTimer tick;
        QObject::connect(&tick, &QTimer::timeout, &dialog, [&] {
            const qint64 total = progress.total.load(std::memory_order_relaxed);
            if (total > 0)
                dialog.setValue(int(progress.done.load(std::memory_order_relaxed) * kProgressSteps / total));
        });
        QObject::connect(&dialog, &QProgressDialog::canceled, &loop, &QEventLoop::quit);
        // Closed in any other way (rejected) it must not leave the window open to input while the work runs.
        QObject::connect(&dialog, &QDialog::rejected, &loop, &QEventLoop::quit);
        tick.start(100);
        dialog.show();
        if (!done.load())
            loop.exec();
        // Also when the application quits meanwhile, which ends every event loop.
        cancelled = dialog.wasCanceled() || !done.load();
    }
    progress.cancel.store(cancelled);
    worker->wait();
    return !cancelled;
}

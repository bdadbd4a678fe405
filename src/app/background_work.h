// Long work of the window (scanning a recording at Open, copying one at Stop) runs on a worker thread, so
// the window keeps painting; work that takes longer than a moment shows a window-modal progress dialog
// whose Cancel asks the work to stop.
#pragma once

#include <QString>
#include <atomic>
#include <functional>

class QWidget;

class BackgroundWork
{
public:
    // Shared between the work and the dialog: how far the work is, and whether it is to stop.
    struct Progress
    {
        std::atomic<qint64> done{0};
        std::atomic<qint64> total{0};
        std::atomic<bool> cancel{false};

        // For the work's progress function: notes how far it is; false when it is to stop.
        bool report(qint64 doneNow, qint64 totalNow)
        {
            done.store(doneNow, std::memory_order_relaxed);
            total.store(totalNow, std::memory_order_relaxed);
            return !cancel.load(std::memory_order_relaxed);
        }
    };

    // Runs work(progress) to its end. Until the dialog shows, input waits as it would behind a busy window.
    // False when the user cancelled (or the application quit meanwhile): the work was asked to stop and has
    // returned.
    static bool run(QWidget *parent, const QString &label, const std::function<void(Progress &)> &work);
};

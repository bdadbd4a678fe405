// The background thread that receives the UDP frame stream: it appends every datagram unchanged to the
// recording in record mode, keeps the text of the latest one for the display and reports each datagram
// through status(int). Socket and output are opened and closed by the window, never here.
#pragma once

#include <QMutex>
#include <QString>
#include <QThread>
#include <atomic>
#include <cstdio>

class Ostrel_Recorder_Thread : public QThread
{
    Q_OBJECT

public:
    explicit Ostrel_Recorder_Thread(QObject *parent = nullptr);
    ~Ostrel_Recorder_Thread() override;

    // Ignored while the thread runs, so a run always works on what it was started with.
    void setSocket(void *handle);
    void setRecordOutput(FILE *output);
    void setModeRecord(bool record);

    // Starts a run. It hides QThread::start() (which is not virtual) so that `running` is raised here, on
    // the caller's thread, before the new thread exists: a stop() right after start() then ends the run
    // instead of being undone when run() begins. Call it through this class, not through QThread.
    void start(QThread::Priority priority = QThread::InheritPriority);

    QString getFrameBuffer() const;
    int getLastStatus() const { return last_status.load(); }
    // The last run ended because receiving failed, not by stop(). Cleared at each start.
    bool endedByError() const { return ended_by_error.load(); }
    // A write to the recording came out short during the current or last run. Cleared at each start.
    bool writeFailed() const { return write_failed.load(); }
    void emitStatus(int value);

public slots:
    // Ends the run and returns once the thread has finished; at once when it is not running.
    void stop();

signals:
    // 2 datagram recorded, 4 datagram previewed, 0 the run has ended (always its last emission).
    void status(int stat);

protected:
    void run() override;

private:
    std::atomic<int> last_status{0};
    std::atomic<bool> running{false};
    bool mode_record = false;
    unsigned int receive_timeout = 100; // µs: keeps the stop latency far below stop()'s polling step
    int buffer_size = 200000;
    char *buffer = nullptr;
    QString frame_buffer{QLatin1String("")};
    FILE *record_output = nullptr;
    void *socket = nullptr;

    mutable QMutex frame_mutex; // held only while the text is replaced or copied
    std::atomic<bool> ended_by_error{false};
    std::atomic<bool> write_failed{false};
};

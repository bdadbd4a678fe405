// The background thread that receives the UDP frame stream: it appends every datagram unchanged to the
// recording in record mode, keeps the bytes of the latest one for the display and counts what it took in.
// Socket and output are opened and closed by its user, never here. Free of widgets: the window and the
// command-line recorder both drive it.
//
// It sleeps in poll() on the socket and a wake-up descriptor, so it costs nothing while no datagram comes,
// and takes the datagrams that are waiting in batches. Its user hears of them through status(int), which is
// coalesced: at most one report waits in the user's event queue at a time (and at most one is sent every
// few milliseconds), and a report hands over nothing but the fact: the counts and the latest datagram are
// read when it is handled.
#pragma once

#include <QByteArray>
#include <QMutex>
#include <QString>
#include <QThread>
#include <atomic>
#include <cstdio>
#include <memory>
#include <vector>

class Ostrel_Recorder_Thread : public QThread
{
    Q_OBJECT

public:
    // What the current or last run has taken in. A datagram is counted only once it has been written.
    struct Counts
    {
        qint64 datagrams = 0; // empty datagrams carry nothing and are not counted
        qint64 bytes = 0;
        qint64 lost = 0;           // frames missing by the frame-counter lines that begin the datagrams
        bool write_failed = false; // a write or flush of the recording came out short
        bool ended_by_error = false;
    };

    // Chooses, on the receiving thread, the file each datagram is written to, so that a recording can go on
    // in a next file between two datagrams (orf record --split-size). Null for a failure: the datagram is
    // then not written, as when a write fails.
    class OutputChooser
    {
    public:
        virtual ~OutputChooser() = default;
        virtual FILE *outputFor(const char *data, int length) = 0;
    };

    explicit Ostrel_Recorder_Thread(QObject *parent = nullptr);
    ~Ostrel_Recorder_Thread() override;

    // Ignored while the thread runs, so a run always works on what it was started with.
    void setSocket(void *handle);
    void setRecordOutput(FILE *output);
    // Asked before each datagram is written, when set; it then stands for the record output.
    void setOutputChooser(OutputChooser *chooser);
    void setModeRecord(bool record);
    // The run ends by itself once it has taken in this many datagrams; 0 (the default) for no limit.
    void setStopAfter(qint64 datagrams);
    // The run ends by itself at the first write or flush of the recording that fails (false, the default:
    // it goes on and notes the failure in the counts). The datagram that failed is not counted.
    void setStopOnWriteFailure(bool stop);

    // Starts a run. It hides QThread::start() (which is not virtual) so that `running` is raised here, on
    // the caller's thread, before the new thread exists: a stop() right after start() then ends the run
    // instead of being undone when run() begins. Call it through this class, not through QThread.
    void start(QThread::Priority priority = QThread::InheritPriority);
    // Asks the run to end and returns at once. Safe from any thread, and from a signal handler.
    void requestStop();

    Counts counts() const;
    QByteArray lastDatagram() const;
    // The latest datagram's text up to its first NUL, each byte one Latin-1 character.
    QString getFrameBuffer() const;
    bool endedByError() const { return counts().ended_by_error; }
    bool writeFailed() const { return counts().write_failed; }

public slots:
    // Ends the run and returns once the thread has finished; at once when it is not running. Safe from any
    // thread but the receiving one.
    void stop();

signals:
    // 2 datagrams recorded, 4 datagrams previewed, 0 the run has ended (always the last report of a run).
    // Emitted on the thread this object lives in, from its event loop.
    void status(int stat);

protected:
    void run() override;

private:
    struct RunState;
    int takeBatches(RunState &rs);
    void flushOutput(RunState &rs);
    void postReport(quint64 run);
    void deliverReport(quint64 run, bool queued);
    void deliverEnd(quint64 run);

    std::atomic<bool> running{false};
    bool mode_record = false;
    FILE *record_output = nullptr;
    OutputChooser *output_chooser = nullptr;
    void *socket = nullptr;
    qint64 stop_after = 0;
    bool stop_on_write_failure = false;
    int wake_fd = -1; // eventfd that requestStop() writes to; -1: the wait falls back to a time-out

    std::unique_ptr<char[]> batch; // one receive slot per datagram of a batch
    std::vector<int> lengths;

    mutable QMutex state_mutex; // guards the counts and the latest datagram, held only to copy them
    Counts state;
    QByteArray latest;

    std::atomic<quint64> current_run{0};
    std::atomic<bool> stop_requested{false};
    std::atomic<bool> report_pending{false};
    qint64 delivered_datagrams = 0; // on the reporting side: the count the last data report covered
};

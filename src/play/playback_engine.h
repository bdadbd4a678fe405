// Sends a recording again over UDP from a thread of its own, at absolute deadlines, so the timing does not
// depend on what the thread that drives it is doing. The frames' wire forms are read ahead by a thread of
// their own (WireReader); frames that are due together (top speed, catching up, high rates) leave in one
// system call. Free of widgets: the window and the command line drive the same engine.
//
// Progress reaches the owner's thread as progressed(): at most one report is queued at a time, and the
// handler reads the latest state with progress(), so a busy receiver never sees a pile of old reports.
#pragma once

#include "ap/ap_socket.h"
#include "play/playback_self_check.h"
#include "recording/frame_index.h"
#include "recording/frame_lines.h"
#include "recording/wire_reader.h"

#include <QObject>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class PlaybackSchedule;

class PlaybackEngine : public QObject
{
    Q_OBJECT

public:
    struct Destination
    {
        quint32 ip = 0; // IPv4, host byte order
        quint16 port = 0;
    };
    struct Options
    {
        std::vector<Destination> destinations; // each frame goes to all of them, in this order
        float rate = 4.0f;           // Hz: the fixed rate, and the rate when the timestamps give none
        bool timestamps = false;     // take the rate from the first two timestamps
        bool recordedTiming = false; // send each frame at its recorded time (before timestamps)
        double maxGap = 5.0;         // seconds: recorded timing plays a longer gap as this long
        bool loop = false;
        double speed = 1.0;    // factor on the rate, above 0
        bool topSpeed = false; // no waiting: as fast as the network takes the frames
        qint64 from = -1;      // first and last frame number to play; -1: the recording's own
        qint64 until = -1;
        // With loop: every later pass numbers its frames on from the pass before and moves its timestamps
        // on likewise (see loopShift()), so the loop looks like one live stream.
        bool continueNumbers = false;
    };
    enum class State
    {
        Idle,
        Playing,
        Paused,
        Ended,       // a single playback sent its last frame, or found nothing to send
        SendFailed,  // see Progress::failedDestination
        FileChanged, // the recording is no longer the one indexed
    };
    struct Progress
    {
        State state = State::Idle;
        qint64 frame = -1;          // number of the frame sent last (or failed); -1 before the first
        int failedDestination = -1; // index into Options::destinations after SendFailed
        qint64 pass = 0;            // the pass of a loop that frame was sent in, the first being 0
        int failedErrno = 0;        // the system's reason after SendFailed (errno)
    };

    // What a playback of a recording with given options plays: entries first..last of the index, at rate
    // (the recorded one when the options ask for timestamps and the first two frames played give one). With
    // recorded timing, the rate is that of the median interval between the frames played, and frames
    // without a timestamp go that interval (medianNs) after the frame before.
    struct Plan
    {
        qsizetype first = 0;
        qsizetype last = -1;
        float rate = 0;
        quint32 periodUs = 0;
        qint64 medianNs = 0;
    };
    // False when the recording has changed on disk since it was indexed. Pure: sends nothing.
    static bool plan(const FrameIndex &index, const Options &options, Plan *plan);
    // The schedule that plays a plan, looping or not.
    static std::unique_ptr<PlaybackSchedule> schedule(const FrameIndex &index, const Options &options,
                                                      const Plan &plan, bool loop);
    // What each pass of a loop whose numbers go on adds to the pass before: the number of frames in the
    // played range (last - first + 1), and its recorded duration (first to last timestamp) plus one median
    // interval.
    static frame_lines::Shift loopShift(const FrameIndex &index, const Plan &plan);

    explicit PlaybackEngine(QObject *parent = nullptr);
    ~PlaybackEngine() override;

    // The ap_udp socket frames are sent on; not owned. Change it only while idle.
    void setSocket(void *socket);

    // A fresh playback. A chosen frame number (-1: none) is sent first, whole, one period after now,
    // without the priming slot. False, and nothing sent, when the recording has changed on disk since it
    // was indexed.
    bool start(const FrameIndex &index, const Options &options, qint64 chosen = -1);
    // The rate and period of the playback started last (before the speed factor).
    float rate() const;
    quint32 periodUs() const;

    void pause();
    void resume();
    // Sends on with the frame after the chosen one, one period after now; resumes when paused.
    void seek(qint64 frame);
    // Plays on at speed (above 0): the frame due next follows the one sent last at the new pace. Paused,
    // the playback stays paused. Nothing changes at top speed.
    void setSpeed(double speed);
    double speed() const;
    // What the playback started last plays.
    Plan playing() const;
    // Back to idle. Every control call returns only once a send under way has finished.
    void stop();

    Progress progress() const;
    // The wire form of a frame as the playback started last sends it in a pass.
    FrameIndex::Read sentWire(qint64 frame, qint64 pass, QByteArray *bytes) const;
    // Lateness of every frame of the playback started last, and what its recorded timing met.
    PlaybackSelfCheck selfCheck() const;

signals:
    void progressed();

private:
    // What the read-ahead reads from: the recording and range of the playback started last.
    struct Source
    {
        FrameIndex index;
        qsizetype first = 0, last = -1;
        bool loop = false;
        frame_lines::Shift perPass;
        quint64 started = 0; // moves on with every start()
    };
    void run();
    bool waitUntil(std::unique_lock<std::mutex> &lock, qint64 deadline, quint64 generation);
    bool readAhead(const Source &source, qsizetype k, qint64 pass);
    void sendDue(std::unique_lock<std::mutex> &lock);
    qint64 passOf(qsizetype entry) const;
    void finish(State state);
    void report(bool always);
    qsizetype entryOf(qint64 frame) const;

    mutable std::mutex m_mutex; // everything below
    std::mutex m_sendMutex;     // held while a frame is sent and booked; taken before m_mutex
    std::condition_variable m_wake;
    FrameIndex m_index;
    Options m_options;
    std::unique_ptr<PlaybackSchedule> m_schedule;
    PlaybackSelfCheck m_selfCheck;
    void *m_socket = nullptr;
    State m_state = State::Idle;
    qint64 m_frame = -1;
    int m_failed = -1;
    int m_failedErrno = 0;
    Plan m_plan;
    quint64 m_generation = 0; // moves on every control call: a wait or send begun before it is void
    bool m_quit = false;
    bool m_reportQueued = false;
    qint64 m_lastReport = 0;
    Source m_source;
    qint64 m_pass = 0;          // of the frame sent last
    qint64 m_framePass = 0;     // the pass m_frame was sent in
    qsizetype m_lastEntry = -1; // the frame sent last, or the one a seek chose; -1 after a start
    // The engine thread's own: the frames read ahead, and the batch due frames are sent from.
    std::unique_ptr<WireReader> m_reader;
    quint64 m_readerStarted = 0;
    WireReader::Batch m_batch;
    struct Due
    {
        qsizetype entry;
        qint64 pass;
        qint64 deadline;
    };
    std::vector<Due> m_due;
    std::vector<ap_udp_datagram> m_datagrams;
    std::thread m_thread;
};

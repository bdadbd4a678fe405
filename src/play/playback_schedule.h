// When playback sends which frame: the rules of the schedule, kept apart from any thread, socket or clock.
// Times are nanoseconds on one monotonic clock, given by the caller, so every decision can be replayed
// with made-up times.
//
// Entries are those of the frame index. At a fixed period, frame k is due at base + n slots, a slot being
// one period divided by the speed factor; base moves only on start, resume and seek, so the schedule never
// drifts. A playback from its start, and every further pass of a loop, begins with one empty slot (the
// priming slot): the first frame leaves about two periods after Play, and two periods pass between the last
// frame of a pass and the first of the next.
//
// With recorded timing each frame is due at its recorded time: base + (its place in the recording's time)
// / speed, base being when the frame a start, resume or seek goes on with is due. A frame's place is that
// of the last frame with a usable timestamp before it plus its recorded interval; a frame without one goes
// one median interval after the frame before it, a timestamp that steps back goes at once, and a gap longer
// than the longest allowed is shortened to it. Nothing is primed: a playback starts with its first frame,
// and the first frame of a loop's next pass follows the last one by one median interval.
#pragma once

#include <QtGlobal>
#include <functional>

class PlaybackSchedule
{
public:
    // The first entry at or after k that holds a frame, or -1.
    using FrameAtOrAfter = std::function<qsizetype(qsizetype)>;

    enum class Kind
    {
        Prime, // an empty slot: nothing is sent
        Send,  // send entry
        End,   // the playback is over: nothing (more) to send
    };
    struct Step
    {
        Kind kind = Kind::End;
        qsizetype entry = -1;
        qint64 deadline = 0;
        bool last = false; // a Send after which a single playback ends
    };

    // What the recording says of an entry's time: whether it has a usable timestamp, and the seconds since
    // the last frame before it that has one (NaN when it or no such frame has one).
    struct Recorded
    {
        bool stamped = false;
        double interval = 0;
    };
    struct Timing
    {
        std::function<Recorded(qsizetype)> recorded;
        qint64 medianNs = 0; // above 0: the usual interval, for frames without a timestamp
        qint64 maxGapNs = 0; // above 0: the longest gap played as recorded
    };

    // Plays entries first..last (an empty range when last < first) at periodUs / speed per frame.
    PlaybackSchedule(FrameAtOrAfter frames, qsizetype first, qsizetype last, bool loop, quint32 periodUs,
                     double speed = 1.0);
    // Plays them at their recorded times, divided by speed.
    PlaybackSchedule(FrameAtOrAfter frames, qsizetype first, qsizetype last, bool loop, const Timing &timing,
                     double speed = 1.0);

    // A fresh start at now: the priming slot, then the first frame (recorded timing: the first frame at
    // now). With a chosen entry the frame at or after it is sent first, one period after now (at now),
    // without a priming slot.
    void start(qint64 now, qsizetype chosen = -1);
    // After a pause: the next step one period after now (the next frame at now, those after it at their
    // recorded distance from it); nothing is made up for the pause.
    void resume(qint64 now);
    // Sends on with the frame after the chosen one (after the next recorded one when the chosen frame was
    // lost), one period after now (at now). From the last frame a single playback ends at once and a loop
    // primes (goes on with its first frame at now).
    void seek(qint64 now, qsizetype chosen);

    // From now on at speed (above 0): the frame sent last keeps its time, those after it follow at the new
    // pace (a period divided by speed; their recorded distance divided by it).
    void setSpeed(double speed);

    // What is due next, and when.
    Step next() const;
    // Takes the step next() names.
    void advance();

    // Recorded timing: the frames sent so far whose timestamp stepped back, and whose gap was shortened;
    // each frame counted once however often a loop or a seek sends it again.
    qint64 outOfOrder() const { return m_outOfOrder; }
    qint64 shortened() const { return m_shortened; }

private:
    enum class Event
    {
        None,
        SteppedBack,
        Shortened,
    };
    struct Place
    {
        qint64 at = 0; // ns of the recording's time after base, before the speed factor
        bool stamped = false;
        Event event = Event::None;
    };

    qsizetype frameFrom(qsizetype k) const;
    void restartAt(qint64 now);
    // Recorded timing.
    Place place(qsizetype k) const;
    qint64 deadlineAt(qint64 at) const;
    void anchor(qint64 now, qsizetype k);
    void advanceRecorded();

    FrameAtOrAfter m_frames;
    qsizetype m_first, m_last;
    bool m_loop;
    double m_slot; // nanoseconds per frame
    static constexpr qsizetype kPrime = -1;
    static constexpr qsizetype kEnd = -2;
    qsizetype m_cursor = kPrime; // the entry sent next, or one of the two markers
    qint64 m_base = 0;
    qint64 m_slots = 0; // slots taken since m_base

    bool m_recorded = false;
    Timing m_timing;
    double m_speed = 1.0;    // the factor m_slot and recorded times are divided by
    bool m_anchored = false; // the cursor's frame is due at m_base itself
    qint64 m_previousAt = 0; // the place of the frame sent last, and of the last stamped one
    qint64 m_stampedAt = 0;
    bool m_stampedKnown = false;
    qsizetype m_counted = -1; // the highest entry counted in the two figures
    qint64 m_outOfOrder = 0;
    qint64 m_shortened = 0;
};

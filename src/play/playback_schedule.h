// When playback sends which frame: the rules of the schedule, kept apart from any thread, socket or clock.
// Times are nanoseconds on one monotonic clock, given by the caller, so every decision can be replayed
// with made-up times.
//
// Entries are those of the frame index. Frame k is due at base + n slots, a slot being one period divided
// by the speed factor; base moves only on start, resume and seek, so the schedule never drifts. A playback
// from its start, and every further pass of a loop, begins with one empty slot (the priming slot): the
// first frame leaves about two periods after Play, and two periods pass between the last frame of a pass
// and the first of the next.
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

    // Plays entries first..last (an empty range when last < first) at periodUs / speed per frame.
    PlaybackSchedule(FrameAtOrAfter frames, qsizetype first, qsizetype last, bool loop, quint32 periodUs,
                     double speed = 1.0);

    // A fresh start at now: the priming slot, then the first frame. With a chosen entry the frame at or
    // after it is sent first, one period after now, without a priming slot.
    void start(qint64 now, qsizetype chosen = -1);
    // After a pause: the next step one period after now; nothing is made up for the pause.
    void resume(qint64 now);
    // Sends on with the frame after the chosen one (after the next recorded one when the chosen frame was
    // lost), one period after now. From the last frame a single playback ends at once and a loop primes.
    void seek(qint64 now, qsizetype chosen);

    // What is due next, and when.
    Step next() const;
    // Takes the step next() names.
    void advance();

private:
    qsizetype frameFrom(qsizetype k) const;
    void restartAt(qint64 now);

    FrameAtOrAfter m_frames;
    qsizetype m_first, m_last;
    bool m_loop;
    double m_slot; // nanoseconds per frame
    static constexpr qsizetype kPrime = -1;
    static constexpr qsizetype kEnd = -2;
    qsizetype m_cursor = kPrime; // the entry sent next, or one of the two markers
    qint64 m_base = 0;
    qint64 m_slots = 0; // slots taken since m_base
};

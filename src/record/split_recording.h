// A long recording written as numbered files: run.orf becomes run-0001.orf, run-0002.orf, ..., each through
// its .part. The open file is closed between two datagrams once it holds the size or the time given, at the
// first datagram that begins a frame ("fr " after a line end), so every file holds whole datagrams and whole
// frames, and the files merged give back, byte for byte, what one file would have held. A closed file is
// finished (written to the disk and renamed) on a thread of its own, so the receiving thread never waits for
// the disk.
#pragma once

#include "record/ostrel_recorder_thread.h"

#include <QString>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

class SplitRecording : public Ostrel_Recorder_Thread::OutputChooser
{
public:
    struct Limits
    {
        qint64 bytes = 0;   // 0: none
        double seconds = 0; // 0: none
    };

    SplitRecording(const QString &file, Limits limits, bool force);
    ~SplitRecording() override;
    SplitRecording(const SplitRecording &) = delete;
    SplitRecording &operator=(const SplitRecording &) = delete;

    // FILE-0001.EXT for FILE.EXT and number 1.
    static QString numbered(const QString &file, int number);

    // Creates the first file's part; null with the reason in *why.
    FILE *open(QString *why);
    // On the receiving thread: the file the datagram goes into.
    FILE *outputFor(const char *data, int length) override;
    // Finishes the open file and waits for those closed before; false with the first failure in *why.
    bool finish(QString *why);
    // Waits for the closed files; the open one is closed and kept as its .part, or removed when removePart.
    // The first failure, if any, in *why.
    void abandon(bool removePart, QString *why);

    // The open file (its part is NAME.part), and how many files there are so far.
    QString current() const { return numbered(m_file, m_number); }
    int files() const { return m_number; }

private:
    void waitForClosed();

    QString m_file;
    Limits m_limits;
    bool m_force;
    int m_number = 0;
    FILE *m_output = nullptr;
    qint64 m_bytes = 0;
    std::chrono::steady_clock::time_point m_opened;
    bool m_lineEnded = true; // the last datagram written ended with a line end
    std::thread m_finishing;
    std::mutex m_mutex; // guards m_failure
    QString m_failure;
};

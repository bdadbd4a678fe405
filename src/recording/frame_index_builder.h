// Builds a FrameIndex while the scanner passes over a recording: opens the file the index reads from later
// and collects the start offset of every entry and the runs they form.
#pragma once

#include "recording/frame_index.h"

#include <QString>
#include <QtGlobal>
#include <memory>

class FrameIndexBuilder
{
public:
    FrameIndexBuilder();
    ~FrameIndexBuilder();
    FrameIndexBuilder(const FrameIndexBuilder &) = delete;
    FrameIndexBuilder &operator=(const FrameIndexBuilder &) = delete;

    // Opens the file read-only without blocking (a FIFO without a writer must not hang the open) and notes
    // what it is (device, inode, size, modification time). False when it cannot be opened or is not a
    // regular file: entries are read from it by offset later.
    bool open(const QString &fileName);
    int descriptor() const;
    qint64 fileSize() const;

    // Entries stored so far (lost ones take none).
    qint64 stored() const { return storedBefore() + m_pending; }
    // Starts an entry at offset, after lost entries that take no bytes. Once per frame of a scan: the
    // entries that follow the one before are kept here and stored a few hundred at a time.
    void append(qint64 offset, qint64 lost = 0)
    {
        if (lost > 0 || !m_started || m_pending == kPending)
            return appendAfterLost(offset, lost);
        m_offsets[m_pending] = offset;
        m_stamps[m_pending++] = 0;
    }
    // The last entry's recorded timestamp, kept when it is usable; once per entry.
    void setTimestamp(double seconds)
    {
        if (m_pending > 0)
            m_stamps[m_pending - 1] = seconds;
        else
            setStoredTimestamp(seconds);
    }
    // Entry 0 holds the lines before the first frame-counter line, not a frame.
    void setLeading(bool leading);
    // Appends, after lost entries, the entries a builder without a file of its own collected over a later
    // part of the file (emptying it): the first of them with a timestamp is timed from the last one here.
    void appendPart(FrameIndexBuilder &part, qint64 lost);
    // The index of the entries started so far, the last one ending at end. scanned is the number of bytes
    // the scan saw: when the file held more or less by then, it changed during the scan.
    FrameIndex finish(qint64 end, qint64 scanned, qint64 first, qint64 last);

private:
    static constexpr int kPending = 256;

    qint64 storedBefore() const;
    void appendAfterLost(qint64 offset, qint64 lost);
    void setStoredTimestamp(double seconds);
    // Stores the entries kept here.
    void store();

    std::shared_ptr<FrameIndex::File> m_file;
    bool m_started = false; // an entry has been appended
    int m_pending = 0;      // entries kept here, with the timestamps they got (0: none)
    qint64 m_offsets[kPending];
    double m_stamps[kPending];
    double m_firstStamp = 0; // the timestamps of the first and last entry that had one, if any had
    double m_lastStamp = 0;
    bool m_stamped = false;
};

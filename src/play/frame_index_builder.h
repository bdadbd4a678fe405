// Builds a FrameIndex while the scanner passes over a recording: opens the file the index reads from later
// and collects the start offset of every entry.
#pragma once

#include "frame_index.h"

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

    // Opens the file read-only and notes what it is (device, inode, size, modification time). False when it
    // cannot be opened or is not a regular file: entries are read from it by offset later.
    bool open(const QString &fileName);
    int descriptor() const;
    qint64 fileSize() const;

    // Entries started so far.
    qint64 entries() const;
    // Starts count entries at offset: an entry ends where the next one starts, so all but the last of them
    // are empty (lost frames).
    void append(qint64 offset, qint64 count = 1);
    // Entry 0 holds the lines before the first frame-counter line, not a frame.
    void setLeading(bool leading);
    // The index of the entries started so far, the last one ending at end. scanned is the number of bytes
    // the scan saw: when the file held more or less by then, it changed during the scan.
    FrameIndex finish(qint64 end, qint64 scanned, quint32 first, quint32 last);

private:
    std::shared_ptr<FrameIndex::File> m_file;
};

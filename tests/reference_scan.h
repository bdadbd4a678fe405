// The scanning rules written out plainly, one line at a time over frame_lines::readLine(): the model the
// chunked scanner is checked against, by its unit test and by its fuzzer.
#pragma once

#include "frame_lines.h"
#include "frame_scanner.h"

#include <QIODevice>
#include <vector>

struct ReferenceScan
{
    FrameScanner::Result result;
    std::vector<QString> frames;
    bool tooLarge = false; // stopped: the index would hold more than the entry limit asked for
};

inline ReferenceScan referenceScan(QIODevice &device, qint64 entryLimit = FrameScanner::kMaxEntries)
{
    using Status = FrameScanner::Status;
    ReferenceScan m;
    FrameScanner::Result &r = m.result;
    QString line;
    QString current;
    qint64 previous = 0;
    frame_lines::readLine(device, &line);
    if (frame_lines::isFrameCounterLine(line)) {
        int n = 0;
        if (!frame_lines::parseInt(frame_lines::secondField(line), &n)) {
            r.status = Status::FirstNumberInvalid;
            return m;
        }
        previous = n;
        r.first_frame = r.last_frame = quint32(n);
        current = line;
    }
    while (frame_lines::readLine(device, &line)) {
        if (!frame_lines::isFrameCounterLine(line)) {
            current += line;
            continue;
        }
        m.frames.push_back(current);
        current = line;
        int n = 0;
        frame_lines::parseInt(frame_lines::secondField(line), &n);
        r.last_frame = quint32(n);
        const qint64 gap = qint64(n) - previous - 1;
        const qint64 entries = qint64(m.frames.size()) + gap + 1;
        if (gap < 0 || n < 0 || entries > FrameScanner::kMaxEntries) {
            r.status = Status::BadNumbering;
            r.first_frame = r.last_frame = 0;
            return m;
        }
        if (entries > entryLimit) {
            m.tooLarge = true;
            return m;
        }
        for (qint64 k = previous + 1; k < n; ++k) {
            if (r.lost_numbers.size() < size_t(FrameScanner::kNotedLostFrames))
                r.lost_numbers.push_back(int(k));
            ++r.lost_count;
            m.frames.emplace_back();
        }
        previous = n;
    }
    m.frames.push_back(current);
    return m;
}

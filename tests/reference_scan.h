// The rules of a recording written out plainly, one line at a time over frame_lines::readLine(), as the
// window once read them: the model the frame index is checked against by its unit test and its fuzzers.
#pragma once

#include "frame_lines.h"
#include "frame_scanner.h"

#include <QBuffer>
#include <QFile>
#include <QStringList>
#include <vector>

struct ReferenceScan
{
    FrameScanner::Result result;
    std::vector<QStringList> entries; // the lines of each entry as read, the LF kept where a line has one
    bool tooLarge = false;            // stopped: the index would hold more entries than asked for
};

inline ReferenceScan referenceScan(const QByteArray &bytes, qint64 entryLimit = FrameScanner::kMaxEntries)
{
    QBuffer device;
    device.setData(bytes);
    device.open(QIODevice::ReadOnly);
    ReferenceScan m;
    FrameScanner::Result &r = m.result;
    QStringList current;
    QString line;
    qint64 previous = 0;
    int n = 0; // a number that does not parse reads as 0
    frame_lines::readLine(device, &line);
    if (frame_lines::isFrameCounterLine(line)) {
        if (!frame_lines::parseInt(frame_lines::secondField(line), &n)) {
            r.status = FrameScanner::Status::FirstNumberInvalid;
            return m;
        }
        r.first_frame = r.last_frame = quint32(previous = n);
        current = QStringList(line);
    }
    while (frame_lines::readLine(device, &line)) {
        if (!frame_lines::isFrameCounterLine(line)) {
            current.append(line);
            continue;
        }
        m.entries.push_back(current);
        current = QStringList(line);
        frame_lines::parseInt(frame_lines::secondField(line), &n);
        const qint64 entries = qint64(m.entries.size()) + n - previous;
        if (n <= previous || n < 0 || entries > FrameScanner::kMaxEntries) {
            r.status = FrameScanner::Status::BadNumbering;
            r.first_frame = r.last_frame = 0;
            return m;
        }
        if ((m.tooLarge = entries > entryLimit))
            return m;
        for (r.last_frame = quint32(n); ++previous < n; ++r.lost_count) {
            if (r.lost_numbers.size() < size_t(FrameScanner::kNotedLostFrames))
                r.lost_numbers.push_back(int(previous));
            m.entries.emplace_back();
        }
    }
    m.entries.push_back(current);
    return m;
}

// Writes bytes to path, scans it with the given chunk size and says where the index differs from the model:
// the result, each entry's text, wire form (lines stripped, CR LF, comments left out) and timestamp, and
// which entries hold frames. Inputs whose index would hold more than entryLimit entries are left out.
inline QString checkScan(const QByteArray &bytes, const QString &path, qsizetype chunk,
                         qint64 entryLimit = FrameScanner::kMaxEntries, FrameIndex *scanned = nullptr)
{
    const ReferenceScan m = referenceScan(bytes, entryLimit);
    QFile file(path);
    if (m.tooLarge || !file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.flush())
        return m.tooLarge ? QString() : QStringLiteral("cannot write ") + path;
    FrameIndex local;
    FrameIndex &index = scanned ? *scanned : local;
    const FrameScanner::Result r = FrameScanner::scan(path, index, chunk);
    const FrameScanner::Result &w = m.result;
    if (r.status != w.status || r.first_frame != w.first_frame || r.last_frame != w.last_frame ||
        r.lost_count != w.lost_count || r.lost_numbers != w.lost_numbers ||
        index.size() != qsizetype(m.entries.size()))
        return QStringLiteral("result or size");
    for (qsizetype k = index.size() - 1, nextFrame = -1; k >= 0; --k) {
        const QStringList &lines = m.entries[size_t(k)];
        const bool frame = !lines.isEmpty() && frame_lines::isFrameCounterLine(lines[0]);
        nextFrame = frame ? k : nextFrame;
        QByteArray wire;
        double timestamp = -1.0;
        for (const QString &line : lines) {
            if (frame_lines::isTimestampLine(line))
                timestamp = frame_lines::parseDouble(frame_lines::secondField(line));
            if (!frame_lines::isCommentLine(line))
                wire += line.trimmed().toLatin1() + "\r\n";
        }
        QString gotText;
        QByteArray gotWire;
        double gotTimestamp = 0;
        index.text(k, &gotText);
        index.wire(k, &gotWire, &gotTimestamp);
        if (gotText != lines.join(QString()) || gotWire != wire ||
            QByteArray::number(gotTimestamp) != QByteArray::number(timestamp) || index.isFrame(k) != frame ||
            index.frameAtOrAfter(k) != nextFrame)
            return QStringLiteral("entry %1: ").arg(k) + gotText + " / " + QString::fromLatin1(gotWire);
    }
    return QString();
}

// The rules of a recording written out plainly, one line at a time over frame_lines::readLine(), as the
// window once read them: the model the frame index is checked against by its unit test and its fuzzers.
#pragma once

#include "recording/frame_lines.h"
#include "recording/frame_scanner.h"

#include <QBuffer>
#include <QFile>
#include <QStringList>
#include <QtNumeric>
#include <limits>
#include <vector>

struct ReferenceScan
{
    FrameScanner::Result result;
    // The entries that hold lines (entry 0 before the first frame too), each with its lines as read, the LF
    // kept where a line has one; the entries between them are lost frames.
    std::vector<std::pair<qint64, QStringList>> entries;
    qint64 size = 0;       // entries, lost ones included
    bool tooLarge = false; // stopped: the index would hold more frames than asked for
};

inline ReferenceScan referenceScan(const QByteArray &bytes, qint64 frameLimit = FrameScanner::kMaxFrames)
{
    QBuffer device;
    device.setData(bytes);
    device.open(QIODevice::ReadOnly);
    ReferenceScan m;
    FrameScanner::Result &r = m.result;
    QStringList current;
    QString line;
    qint64 previous = 0, n = 0, entry = 0; // a number that does not parse reads as 0
    frame_lines::readLine(device, &line);
    if (frame_lines::isFrameCounterLine(line)) {
        if (!frame_lines::parseNumber(frame_lines::secondField(line), &n)) {
            r.status = FrameScanner::Status::FirstNumberInvalid;
            return m;
        }
        r.first_frame = r.last_frame = previous = n;
        current = QStringList(line);
    }
    auto fail = [&] {
        r = FrameScanner::Result();
        r.status = FrameScanner::Status::BadNumbering;
        return m;
    };
    if (n < 0)
        return fail();
    while (frame_lines::readLine(device, &line)) {
        if (!frame_lines::isFrameCounterLine(line)) {
            current.append(line);
            continue;
        }
        m.entries.emplace_back(entry, current);
        current = QStringList(line);
        frame_lines::parseNumber(frame_lines::secondField(line), &n);
        if (n <= previous || qint64(m.entries.size()) >= FrameScanner::kMaxFrames ||
            n - r.first_frame == std::numeric_limits<qint64>::max())
            return fail();
        if ((m.tooLarge = qint64(m.entries.size()) >= frameLimit))
            return m;
        r.lost_count += n - previous - 1;
        entry += n - previous;
        r.last_frame = previous = n;
    }
    m.entries.emplace_back(entry, current);
    m.size = entry + 1;
    return m;
}

// Writes bytes to path, scans it with the given chunk size and says where the index differs from the model:
// the result, each entry's text, wire form (lines stripped, CR LF, comments left out), timestamp and
// recorded interval (since the frame before with a usable timestamp), which entries hold frames, and the
// lost ones around them. Inputs with more than frameLimit frames are left out.
inline QString checkScan(const QByteArray &bytes, const QString &path, qsizetype chunk,
                         qint64 frameLimit = FrameScanner::kMaxFrames, FrameIndex *scanned = nullptr)
{
    const ReferenceScan m = referenceScan(bytes, frameLimit);
    QFile file(path);
    if (m.tooLarge || !file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.flush())
        return m.tooLarge ? QString() : QStringLiteral("cannot write ") + path;
    FrameIndex local;
    FrameIndex &index = scanned ? *scanned : local;
    const FrameScanner::Result r = FrameScanner::scan(path, index, chunk);
    const FrameScanner::Result &w = m.result;
    if (r.status != w.status || r.first_frame != w.first_frame || r.last_frame != w.last_frame ||
        r.lost_count != w.lost_count ||
        (r.ok() && (index.size() != m.size || index.lostCount() != w.lost_count)))
        return QStringLiteral("result or size");
    if (!r.ok())
        return QString();
    double lastStamp = -1;
    for (size_t i = 0; i < m.entries.size(); ++i) {
        const qint64 k = m.entries[i].first;
        const QStringList &lines = m.entries[i].second;
        const bool frame = !lines.isEmpty() && frame_lines::isFrameCounterLine(lines[0]);
        QByteArray wire;
        double timestamp = -1.0;
        for (const QString &line : lines) {
            if (frame_lines::isTimestampLine(line))
                timestamp = frame_lines::parseDouble(frame_lines::secondField(line));
            if (!frame_lines::isCommentLine(line))
                wire += line.trimmed().toLatin1() + "\r\n";
        }
        const bool stamped = frame && frame_lines::isUsableTimestamp(timestamp);
        const double interval = stamped && lastStamp > 0 ? double(float(timestamp - lastStamp)) : qQNaN();
        lastStamp = stamped ? timestamp : lastStamp;
        bool gotStamped = false;
        if (QByteArray::number(index.interval(k, &gotStamped)) != QByteArray::number(interval) ||
            gotStamped != stamped)
            return QStringLiteral("entry %1: interval").arg(k);
        QString gotText;
        QByteArray gotWire;
        double gotTimestamp = 0;
        index.text(k, &gotText);
        index.wire(k, &gotWire, &gotTimestamp);
        if (gotText != lines.join(QString()) || gotWire != wire ||
            QByteArray::number(gotTimestamp) != QByteArray::number(timestamp) || index.isFrame(k) != frame ||
            index.frameAtOrAfter(k) != (frame ? k : (m.entries.size() > 1 ? m.entries[1].first : -1)))
            return QStringLiteral("entry %1: ").arg(k) + gotText + " / " + QString::fromLatin1(gotWire);
        // The lost frames before the next entry: nothing to read, and a seek lands on that entry.
        const qint64 next = i + 1 < m.entries.size() ? m.entries[i + 1].first : k + 1;
        for (const qint64 lost : {k + 1, k + (next - k) / 2, next - 1}) {
            if (lost <= k || lost >= next)
                continue;
            index.text(lost, &gotText);
            if (index.isFrame(lost) || !gotText.isEmpty() || index.frameAtOrAfter(lost) != next)
                return QStringLiteral("lost entry %1").arg(lost);
        }
    }
    return QString();
}

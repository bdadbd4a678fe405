// What must hold of any scan, checked without a second scanner: the index is the same whatever the chunk
// size; every frame entry begins at a line of the file that starts with "fr " and carries the entry's
// number; those lines are all there are; the frames take the file from the first of them to its end; and
// the lost runs are the gaps between the numbers read. Shared by the scanner's test and its fuzzers.
#pragma once

#include "recording/frame_lines.h"
#include "recording/frame_scanner.h"

#include <QFile>
#include <QStringList>
#include <cmath>

namespace scan_properties {

// The scan, where its numbering broke, and every frame entry: number, text, wire form, timestamp, interval,
// stamped; the lost runs.
inline QString describe(const FrameScanner::Result &r, const FrameIndex &index)
{
    QStringList out{QStringLiteral("%1 %2-%3 lost %4 broken %5: %6 after %7")
                        .arg(int(r.status))
                        .arg(r.first_frame)
                        .arg(r.last_frame)
                        .arg(r.lost_count)
                        .arg(r.broken.offset)
                        .arg(r.broken.frame)
                        .arg(r.broken.after)};
    for (qsizetype k = index.frameAtOrAfter(0); k >= 0; k = index.frameAtOrAfter(k + 1)) {
        QString text;
        QByteArray wire;
        double timestamp = 0;
        bool stamped = false;
        index.text(k, &text);
        index.wire(k, &wire, &timestamp);
        const double interval = index.interval(k, &stamped);
        out << QStringLiteral("%1:%2|%3|%4|%5%6")
                   .arg(index.first() + k)
                   .arg(text, QString::fromLatin1(wire))
                   .arg(timestamp)
                   .arg(interval)
                   .arg(stamped ? "s" : "");
    }
    for (const FrameIndex::Run &run : index.lostRuns())
        out << QStringLiteral("lost %1-%2").arg(run.first).arg(run.last);
    return out.join('\n');
}

// Scans path in one part and in from to to parts (every frame-counter line begins a part at some count when
// to is the file's size); says at which count the scans differ, or nothing.
inline QString partsDiffer(const QString &path, int from, int to,
                           qsizetype chunk = FrameScanner::kDefaultChunkSize)
{
    FrameIndex serial;
    const QString expected = describe(FrameScanner::scan(path, serial, chunk, {}, nullptr, 1), serial);
    for (int parts = from; parts <= to; ++parts) {
        FrameIndex index;
        if (describe(FrameScanner::scan(path, index, chunk, {}, nullptr, parts), index) != expected)
            return QStringLiteral("differs in %1 parts").arg(parts);
    }
    return QString();
}

// Writes bytes to path and scans it at the default chunk size and at chunk; says which property failed,
// or nothing. *scanned (may be null) gets the index of the default scan.
inline QString check(const QByteArray &bytes, const QString &path, qsizetype chunk,
                     FrameIndex *scanned = nullptr)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.flush())
        return QStringLiteral("cannot write ") + path;
    file.close();
    FrameIndex local, chunked;
    FrameIndex &index = scanned ? *scanned : local;
    const FrameScanner::Result r = FrameScanner::scan(path, index);
    if (describe(r, index) != describe(FrameScanner::scan(path, chunked, chunk), chunked))
        return QStringLiteral("differs at chunk size %1").arg(chunk);
    if (!r.ok())
        return QString();
    // The lines of the file that begin with "fr ", and where the first one starts.
    qint64 frameLines = 0, firstFrameLine = -1;
    for (qsizetype i = bytes.indexOf("fr "); i >= 0; i = bytes.indexOf("fr ", i + 1)) {
        if (i > 0 && bytes[i - 1] != '\n')
            continue;
        firstFrameLine = frameLines++ == 0 ? i : firstFrameLine;
    }
    if (index.frameCount() != frameLines)
        return QStringLiteral("%1 frames for %2 frame-counter lines").arg(index.frameCount()).arg(frameLines);
    // Entry 0 is never lost: a frame, or the lines before the first frame-counter line.
    qint64 bytesOfFrames = 0, previous = index.first(), lost = 0;
    double lastStamp = -1;
    bool misplaced = false;
    std::vector<FrameIndex::Run> gaps;
    index.forEachFrame([&](qsizetype k, qint64 frameBytes, double) {
        bytesOfFrames += frameBytes;
        QByteArray wire; // its first line as sent: up to a NUL, stripped
        index.wire(k, &wire);
        const QByteArray line = wire.left(wire.indexOf("\r\n"));
        bool ok = false;
        const qint64 number = QString::fromLatin1(line.mid(3).split(' ').first()).trimmed().toLongLong(&ok);
        qint64 expected = 0, next = 0; // a number near the top of qint64 must not overflow the check
        const bool beyond = __builtin_add_overflow(index.first(), qint64(k), &expected);
        misplaced = misplaced || !line.startsWith("fr ") || !ok || beyond || number != expected;
        if (!__builtin_add_overflow(previous, qint64(1), &next) && number > next)
            gaps.push_back({previous + 1, number - 1});
        previous = number;
        // The interval is the one from the timestamps playback reads.
        double stamp = -1;
        index.wire(k, &wire, &stamp);
        bool stamped = false;
        const float interval = float(index.interval(k, &stamped));
        if (stamped != frame_lines::isUsableTimestamp(stamp) ||
            (stamped && lastStamp > 0 ? interval != float(stamp - lastStamp) : !std::isnan(interval)))
            misplaced = true;
        lastStamp = stamped ? stamp : lastStamp;
    });
    if (misplaced)
        return QStringLiteral("a frame entry that does not begin with its own frame-counter line or is timed "
                              "otherwise than its timestamps");
    if (frameLines > 0 && bytesOfFrames != bytes.size() - firstFrameLine)
        return QStringLiteral("the frames take %1 bytes from byte %2").arg(bytesOfFrames).arg(firstFrameLine);
    // A pass over many frames at once, in small reads and in one, sends what each frame's own wire form is,
    // as the line rules make it when its timestamp is read too.
    for (const qint64 batch : {qint64(64), qint64(1) << 30})
        for (qsizetype k = index.frameAtOrAfter(0); k >= 0; k = index.frameAtOrAfter(k + 1)) {
            QByteArray bytes, wire;
            std::vector<qsizetype> ends;
            index.wires(k, batch, &bytes, &ends);
            for (size_t i = 0; i < ends.size(); ++i, ++k) {
                double stamp = 0;
                index.wire(k, &wire, &stamp);
                if (bytes.mid(i == 0 ? 0 : ends[i - 1], ends[i] - (i == 0 ? 0 : ends[i - 1])) != wire)
                    return QStringLiteral("frame %1 goes on the wire otherwise in a pass").arg(index.first() + k);
            }
            --k;
        }
    const std::vector<FrameIndex::Run> runs = index.lostRuns();
    for (const FrameIndex::Run &run : runs)
        lost += run.count();
    if (runs.size() != gaps.size() || lost != r.lost_count || lost != index.lostCount() ||
        !std::equal(runs.begin(), runs.end(), gaps.begin(),
                    [](const auto &a, const auto &b) { return a.first == b.first && a.last == b.last; }))
        return QStringLiteral("lost runs");
    return QString();
}

} // namespace scan_properties

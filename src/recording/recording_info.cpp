#include "recording/recording_info.h"

#include "ap/ap_socket.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QLocale>
#include <QStringList>
#include <QTextStream>

#include <algorithm>
#include <cmath>

namespace {

// orf info's text and the window's message list this many lost numbers (the text as many frames too large);
// the JSON lists them all up to kListedInJson.
constexpr int kListedInText = 10;
constexpr qint64 kListedInJson = 100000;

// The value at rank q of the sorted values (nearest rank), reordering values.
double quantile(std::vector<float> &values, double q)
{
    const size_t rank = size_t(std::max(0.0, std::ceil(q * double(values.size())) - 1));
    std::nth_element(values.begin(), values.begin() + qsizetype(rank), values.end());
    return double(values[rank]);
}

// The wire form of an entry is at most twice its bytes and two (an LF becomes CR LF, a last line gains
// one): only a frame of more than half a datagram can be too large, and only those are read.
constexpr qint64 kMightNotFit = ap_udp_max_payload / 2 - 1;

} // namespace

QString RecordingInfo::badNumberingText()
{
    return QStringLiteral("This file has a problem with frame numbers and cannot be played.");
}

QString RecordingInfo::datagramLimitText()
{
    return QStringLiteral("a datagram holds at most ") +
           QLocale(QLocale::English).toString(ap_udp_max_payload);
}

namespace {

// What the frames hold: their recorded intervals (the figures are taken from these), and the frames too large
// for a datagram. False when an entry could not be read: the file changed.
bool readFrames(const FrameIndex &index, RecordingInfo &info, std::vector<float> *intervals)
{
    *intervals = index.intervals();
    bool unreadable = false;
    index.forEachFrameAbove(kMightNotFit, INFINITY, [&](qsizetype k, qint64, double) {
        if (unreadable)
            return;
        QByteArray wire;
        if (index.wire(k, &wire) != FrameIndex::Read::Ok) {
            unreadable = true;
        } else if (wire.size() > ap_udp_max_payload) {
            if (info.too_large.size() < size_t(RecordingInfo::kListedTooLarge))
                info.too_large.push_back({index.first() + k, wire.size()});
            ++info.too_large_count;
        }
    });
    return !unreadable;
}

RecordingInfo::Intervals figuresOf(std::vector<float> intervals)
{
    RecordingInfo::Intervals figures;
    if (intervals.empty())
        return figures;
    figures.known = true;
    figures.max_ms = double(*std::max_element(intervals.begin(), intervals.end())) * 1000;
    figures.p99_ms = quantile(intervals, 0.99) * 1000;
    figures.median_ms = quantile(intervals, 0.5) * 1000;
    return figures;
}

// The marks in frame order: lost runs and late frames interleaved.
std::vector<RecordingInfo::Mark> marksOf(const FrameIndex &index, const RecordingInfo &info)
{
    using Mark = RecordingInfo::Mark;
    std::vector<Mark> marks;
    size_t run = 0;
    auto lostBefore = [&](qint64 frame) {
        for (; run < info.lost_runs.size() && info.lost_runs[run].first < frame; ++run)
            marks.push_back({info.lost_runs[run].first, info.lost_runs[run].last, Mark::Lost, 0});
    };
    const double lateFrom = info.intervals.median_ms > 0 ? 2 * info.intervals.median_ms / 1000 : INFINITY;
    index.forEachFrameAbove(std::numeric_limits<qint64>::max(), lateFrom,
                            [&](qsizetype k, qint64, double seconds) {
                                const qint64 frame = index.first() + k;
                                lostBefore(frame);
                                marks.push_back({frame, frame, Mark::Late, seconds});
                            });
    lostBefore(std::numeric_limits<qint64>::max());
    return marks;
}

// Duration and mean rate from the timestamps of the first and last frame. False when either could not be
// read: the file changed.
bool timing(const FrameIndex &index, qsizetype firstEntry, RecordingInfo &info)
{
    double t1 = -1, t2 = -1;
    QByteArray bytes;
    if (index.wire(firstEntry, &bytes, &t1) != FrameIndex::Read::Ok ||
        index.wire(index.size() - 1, &bytes, &t2) != FrameIndex::Read::Ok)
        return false;
    if (t1 > 0 && t2 > t1) {
        info.timed = true;
        info.duration_s = t2 - t1;
        info.mean_rate_hz = double(info.last_frame - info.first_frame) / info.duration_s;
    }
    return true;
}

} // namespace

RecordingInfo RecordingInfo::of(const QString &file, const FrameIndex &index,
                                const FrameScanner::Result &scan, bool *changed)
{
    RecordingInfo info;
    info.file = file;
    info.bytes = QFileInfo(file).size();
    if (changed)
        *changed = false;
    if (scan.status == FrameScanner::Status::BadNumbering) {
        info.reason = badNumberingText();
        info.broken = scan.broken;
        return info;
    }
    if (!scan.ok()) {
        info.reason = QStringLiteral("its first frame-counter line has no frame number");
        return info;
    }
    info.frames = index.frameCount();
    info.lost = index.lostCount();
    info.lost_runs = index.lostRuns();
    const qsizetype firstEntry = index.frameAtOrAfter(0);
    if (firstEntry < 0) {
        info.reason = QStringLiteral("it holds no frame-counter line: not a recording");
        return info;
    }
    info.first_frame = index.first() + firstEntry;
    info.last_frame = index.last();

    std::vector<float> intervals;
    const bool readable = readFrames(index, info, &intervals);
    // One frame too large ends a playback there; a recording of nothing else cannot be played at all.
    if (info.nothingFits())
        info.reason = QStringLiteral("frame %1 is %2 bytes; %3")
                          .arg(info.too_large.front().frame)
                          .arg(info.too_large.front().bytes)
                          .arg(datagramLimitText());
    info.intervals = figuresOf(std::move(intervals));
    info.marks = marksOf(index, info);
    if ((!readable || !timing(index, firstEntry, info)) && changed)
        *changed = true;
    return info;
}

QJsonObject RecordingInfo::json() const
{
    auto orNull = [](bool known, double value) { return known ? QJsonValue(value) : QJsonValue(); };
    QJsonObject o;
    o["file"] = file;
    o["bytes"] = bytes;
    o["first_frame"] = frames > 0 ? QJsonValue(first_frame) : QJsonValue();
    o["last_frame"] = frames > 0 ? QJsonValue(last_frame) : QJsonValue();
    o["frames"] = frames;
    o["lost"] = lost;
    QJsonArray runs;
    for (const FrameIndex::Run &r : lost_runs)
        runs.append(QJsonArray{r.first, r.last});
    o["lost_runs"] = runs;
    if (lost <= kListedInJson) {
        QJsonArray numbers;
        for (const qint64 n : lostFrameNumbers(kListedInJson))
            numbers.append(n);
        o["lost_frames"] = numbers;
    } else {
        o["lost_frames"] = QJsonValue();
    }
    auto ms = [](double v) {
        return std::round(v * 1000) / 1000;
    }; // the float of the index, to the microsecond
    o["duration_s"] = orNull(timed, duration_s);
    o["mean_rate_hz"] = orNull(timed, mean_rate_hz);
    if (intervals.known)
        o["interval_ms"] = QJsonObject{{"median", ms(intervals.median_ms)},
                                       {"p99", ms(intervals.p99_ms)},
                                       {"max", ms(intervals.max_ms)}};
    else
        o["interval_ms"] = QJsonValue();
    QJsonArray tooLarge;
    for (const TooLarge &t : too_large)
        tooLarge.append(QJsonObject{{"frame", t.frame}, {"bytes", t.bytes}});
    o["too_large"] = tooLarge;
    if (broken.offset >= 0) // the byte of a recording made from a capture is no byte the user has
        o["bad_numbering"] = QJsonObject{{"frame", broken.frame},
                                         {"after", broken.after},
                                         {"byte", capture ? QJsonValue() : QJsonValue(broken.offset)}};
    o["playable"] = playable();
    if (!playable())
        o["reason"] = reason;
    if (capture)
        o["capture"] = capture->json;
    return o;
}

QString RecordingInfo::text() const
{
    QString s;
    QTextStream out(&s);
    if (capture && !capture->snaplenNote.isEmpty()) // first: the recording is not what was sent
        out << "warning:   " << capture->snaplenNote << '\n';
    out << "file:      " << file << '\n';
    if (capture) {
        out << "capture:   " << capture->portChoice << '\n' << "           " << capture->summary << '\n';
        if (!capture->cutNote.isEmpty())
            out << "           " << capture->cutNote << '\n';
    }
    out << "size:      " << bytes << " bytes\n";
    if (frames > 0)
        out << "frames:    " << frames << " (numbers " << first_frame << " to " << last_frame << ")\n";
    else if (broken.offset >= 0)
        out << "frames:    numbers do not increase: " << brokenText() << '\n';
    else
        out << "frames:    0\n";
    out << "lost:      " << lost;
    if (lost > 0)
        out << ": " << listedLostNumbers(kListedInText, QStringLiteral(" ..."));
    out << '\n';
    if (timed)
        out << "duration:  " << QString::number(duration_s, 'f', 3) << " s, mean rate "
            << QString::number(mean_rate_hz, 'f', 2) << " Hz (from the timestamps)\n";
    else
        out << "duration:  unknown (no increasing timestamps)\n";
    if (intervals.known)
        out << "intervals: median " << QString::number(intervals.median_ms, 'f', 3) << " ms, p99 "
            << QString::number(intervals.p99_ms, 'f', 3) << " ms, max "
            << QString::number(intervals.max_ms, 'f', 3) << " ms (between recorded timestamps)\n";
    else
        out << "intervals: unknown (no timestamps)\n";
    if (too_large_count > 0)
        out << "too large: " << too_large_count << " (" << datagramLimitText()
            << " bytes; playback stops at the first): " << tooLargeFrames(kListedInText) << '\n';
    out << "playable:  " << (playable() ? QStringLiteral("yes") : "no: " + reason) << '\n';
    return s;
}

std::vector<qint64> RecordingInfo::lostFrameNumbers(qint64 most) const
{
    std::vector<qint64> numbers;
    for (const FrameIndex::Run &r : lost_runs)
        for (qint64 n = r.first; n <= r.last && qint64(numbers.size()) < most; ++n)
            numbers.push_back(n);
    return numbers;
}

QString RecordingInfo::listedLostNumbers(int listed, const QString &more) const
{
    QStringList numbers;
    for (const qint64 n : lostFrameNumbers(listed))
        numbers << QString::number(n);
    QString text = numbers.join(QLatin1Char(' '));
    if (lost > numbers.size())
        text += more;
    return text;
}

QString RecordingInfo::lostNumbers(int listed) const
{
    const qint64 more = lost - std::min<qint64>(lost, listed);
    return listedLostNumbers(listed, QStringLiteral(" and %1 more").arg(more));
}

QString RecordingInfo::tooLargeFrames(int listed) const
{
    QStringList frames;
    for (size_t i = 0; i < too_large.size() && frames.size() < listed; ++i)
        frames << QStringLiteral("%1 (%2 bytes)").arg(too_large[i].frame).arg(too_large[i].bytes);
    QString text = frames.join(QStringLiteral(", "));
    if (too_large_count > frames.size())
        text += QStringLiteral(" and %1 more").arg(too_large_count - frames.size());
    return text;
}

QString RecordingInfo::brokenText() const
{
    QString text = QStringLiteral("frame %1 after frame %2").arg(broken.frame).arg(broken.after);
    if (!capture)
        text += QStringLiteral(", at byte %1").arg(broken.offset);
    return text;
}

QString RecordingInfo::lostFramesText() const
{
    if (lost <= 0)
        return QString();
    return QStringLiteral("Lost frame number %1:  ").arg(lost) + listedLostNumbers(kListedInText, "...");
}

// orf info: one pass over a recording through the frame index, and what it holds.
#include "orf.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

namespace orf {

namespace {

constexpr int kListedLostFrames = 10;

struct Timing
{
    double duration_s = 0;
    double mean_rate_hz = 0;
    bool known = false;
};

// From the first and the last frame's timestamps; unknown without them or when they do not increase.
Timing timing(const FrameIndex &index, qsizetype first, qsizetype last, bool *changed)
{
    Timing t;
    QByteArray bytes;
    double t1 = -1, t2 = -1;
    if (index.wire(first, &bytes, &t1) != FrameIndex::Read::Ok ||
        index.wire(last, &bytes, &t2) != FrameIndex::Read::Ok) {
        *changed = true;
        return t;
    }
    if (t1 > 0 && t2 > t1) {
        t.known = true;
        t.duration_s = t2 - t1;
        t.mean_rate_hz = double(last - first) / t.duration_s;
    }
    return t;
}

} // namespace

int info(const QStringList &arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption json("json", "Prints one JSON object, with every lost frame number.");
    parser.addOption(json);
    parser.addPositionalArgument("FILE", "The recording (.orf).");
    if (const int done = parse(parser, arguments, "orf info FILE [--json]",
                               "Checks a recording: size, frame numbers, lost frames, duration and mean rate "
                               "from its timestamps, and whether it can be played.\n"
                               "Exit status 0 when it can be played, 1 when not, 3 when it cannot be read.");
        done >= 0)
        return done;
    if (parser.positionalArguments().size() != 1) {
        error("info takes one recording (see orf help info)");
        return kUsage;
    }
    const QString file = parser.positionalArguments().first();

    FrameIndex index;
    FrameScanner::Result result;
    if (const int failed = readRecording(file, index, &result); failed >= 0)
        return failed;
    const QString reason = unplayableReason(result, index);
    qsizetype firstEntry = -1, lastEntry = -1, present = 0;
    QJsonArray lost;
    if (result.ok()) {
        for (qsizetype k = 0; k < index.size(); ++k) {
            if (index.isFrame(k)) {
                if (firstEntry < 0)
                    firstEntry = k;
                lastEntry = k;
                ++present;
            } else if (k > 0) { // entry 0 without a frame holds the lines before the first frame
                lost.append(qint64(index.first()) + k);
            }
        }
    }

    bool changed = false;
    const Timing t = present > 0 ? timing(index, firstEntry, lastEntry, &changed) : Timing();
    if (changed) {
        error(QStringLiteral("%1: changed while it was read").arg(file));
        return kFailure;
    }
    const bool playable = reason.isEmpty();
    const qint64 bytes = QFileInfo(file).size();
    const qint64 firstFrame = present > 0 ? qint64(index.first()) + firstEntry : 0;
    const qint64 lastFrame = present > 0 ? qint64(index.first()) + lastEntry : 0;

    QTextStream out(stdout);
    if (parser.isSet(json)) {
        QJsonObject o;
        o["file"] = file;
        o["bytes"] = bytes;
        o["first_frame"] = present > 0 ? QJsonValue(firstFrame) : QJsonValue();
        o["last_frame"] = present > 0 ? QJsonValue(lastFrame) : QJsonValue();
        o["frames"] = qint64(present);
        o["lost"] = qint64(lost.size());
        o["lost_frames"] = lost;
        o["duration_s"] = t.known ? QJsonValue(t.duration_s) : QJsonValue();
        o["mean_rate_hz"] = t.known ? QJsonValue(t.mean_rate_hz) : QJsonValue();
        o["playable"] = playable;
        if (!playable)
            o["reason"] = reason;
        out << QJsonDocument(o).toJson(QJsonDocument::Indented);
    } else {
        out << "file:      " << file << '\n' << "size:      " << bytes << " bytes\n";
        if (present > 0)
            out << "frames:    " << present << " (numbers " << firstFrame << " to " << lastFrame << ")\n";
        else
            out << "frames:    0\n";
        out << "lost:      " << lost.size();
        for (int i = 0; i < lost.size() && i < kListedLostFrames; ++i)
            out << (i == 0 ? ": " : " ") << lost.at(i).toInteger();
        if (lost.size() > kListedLostFrames)
            out << " ...";
        out << '\n';
        if (t.known)
            out << "duration:  " << QString::number(t.duration_s, 'f', 3) << " s, mean rate "
                << QString::number(t.mean_rate_hz, 'f', 2) << " Hz (from the timestamps)\n";
        else
            out << "duration:  unknown (no increasing timestamps)\n";
        out << "playable:  " << (playable ? QStringLiteral("yes") : "no: " + reason) << '\n';
    }
    return playable ? kOk : kNothing;
}

} // namespace orf

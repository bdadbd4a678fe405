// orf cut: a range of a recording's frames, by frame number or by recorded time, as a recording of its own:
// one copy of the range's bytes into OUT.part, renamed to OUT once it is whole.
#include "capture/opened_recording.h"
#include "cli/orf.h"
#include "cli/output_file.h"
#include "cli/progress.h"
#include "cli/recording_input.h"
#include "cli/terminal.h"
#include "recording/counted.h"
#include "recording/frame_range_copy.h"

#include <QCommandLineParser>
#include <QFile>

#include <cmath>
#include <cstdio>
#include <limits>

namespace orf {

namespace {

constexpr qint64 kNoFrame = std::numeric_limits<qint64>::max();

const QCommandLineOption kOutput({"o", "output"}, "The recording to write.", "OUT");
const QCommandLineOption kFrom("from", "The first frame number of the range (default: the first frame).",
                               "FRAME");
const QCommandLineOption kUntil("until", "The last frame number of the range (default: the last frame).",
                                "FRAME");
const QCommandLineOption kStart("start", "Begins the range SECONDS after the first frame's timestamp.",
                                "SECONDS");
const QCommandLineOption
    kDuration("duration", "Ends the range SECONDS after its start (default: at the end).", "SECONDS");
const QCommandLineOption kForce("force", "Replaces an existing OUT.");

QList<QCommandLineOption> options(const Defaults &)
{
    return QList<QCommandLineOption>{kOutput, kFrom, kUntil, kStart, kDuration, kForce} + captureOptions();
}

struct Request
{
    QString in;
    CaptureReader::Options capture;
    QString out;
    bool force = false;
    bool bySeconds = false;
    qint64 from = std::numeric_limits<qint64>::min();
    qint64 until = kNoFrame;
    double start = 0;
    double duration = HUGE_VAL;
};

bool frameOption(const QCommandLineParser &parser, const QCommandLineOption &option, qint64 *value)
{
    bool ok = true;
    if (parser.isSet(option) && (*value = parser.value(option).toLongLong(&ok), !ok))
        error(QStringLiteral("--%1 %2: not a frame number")
                  .arg(option.names().constLast(), parser.value(option)));
    return ok;
}

bool secondsOption(const QCommandLineParser &parser, const QCommandLineOption &option, double *value)
{
    bool ok = true;
    if (parser.isSet(option) &&
        (*value = parser.value(option).toDouble(&ok), !ok || !(*value >= 0) || std::isinf(*value))) {
        error(QStringLiteral("--%1 %2: not a number of seconds from 0")
                  .arg(option.names().constLast(), parser.value(option)));
        ok = false;
    }
    return ok;
}

Ending readRange(const QCommandLineParser &parser, Request *request)
{
    request->bySeconds = parser.isSet(kStart) || parser.isSet(kDuration);
    if (request->bySeconds && (parser.isSet(kFrom) || parser.isSet(kUntil))) {
        error("a range is given by --from/--until or by --start/--duration, not both");
        return kUsage;
    }
    if (!frameOption(parser, kFrom, &request->from) || !frameOption(parser, kUntil, &request->until) ||
        !secondsOption(parser, kStart, &request->start) ||
        !secondsOption(parser, kDuration, &request->duration))
        return kUsage;
    if (request->from > request->until) {
        error(QStringLiteral("--from %1 lies after --until %2").arg(request->from).arg(request->until));
        return kUsage;
    }
    return {};
}

Ending readRequest(const Invocation &call, Request *request)
{
    const QCommandLineParser &parser = call.parser;
    if (parser.positionalArguments().size() != 1)
        return wrongArguments(call, "one recording");
    if (!parser.isSet(kOutput)) {
        error("cut needs the recording to write: -o OUT");
        return kUsage;
    }
    request->in = parser.positionalArguments().first();
    request->out = parser.value(kOutput);
    request->force = parser.isSet(kForce);
    if (const Ending ending = readRange(parser, request))
        return ending;
    if (const Ending ending = readCaptureOptions(parser, call.defaults, &request->capture))
        return ending;
    return checkOutput(request->out, request->force);
}

// The range asked for, of the frames the recording holds; an empty one has been said.
Ending findRange(const Request &request, const FrameIndex &index, frame_range_copy::Range *range)
{
    if (!request.bySeconds) {
        *range = frame_range_copy::framesBetween(index, request.from, request.until);
    } else if (!frame_range_copy::framesWithin(index, request.start, request.duration, range)) {
        error(request.in + ": its frames have no timestamps; cut it with --from and --until");
        return kUsage;
    }
    if (range->isEmpty()) {
        error(QStringLiteral("%1 holds no frame in that range (frames %2–%3)")
                  .arg(request.in)
                  .arg(index.first())
                  .arg(index.last()));
        return kUsage;
    }
    return {};
}

// The recording's frame index. A recording is scanned, no more: what info adds (intervals, frames too
// large to send) a cut needs not, and costs as much again on a large file.
Ending indexOf(const Request &request, OpenedRecording *opened)
{
    ProgressBar bar("reading");
    if (CaptureReader::isCapture(request.in))
        return openPlayable(request.in, &request.capture, opened);
    switch (FrameScanner::scan(request.in, opened->index, FrameScanner::kDefaultChunkSize, bar.callback())
                .status) {
    case FrameScanner::Status::Ok:
        return {};
    case FrameScanner::Status::FirstNumberInvalid:
    case FrameScanner::Status::BadNumbering:
        error(request.in + ": " + RecordingInfo::badNumberingText());
        return kNothing;
    case FrameScanner::Status::OpenFailed:
        error(QStringLiteral("%1: cannot be opened").arg(request.in));
        return kFailure;
    default:
        error(QStringLiteral("%1: cannot be read to its end").arg(request.in));
        return kFailure;
    }
}

int cut(const Request &request)
{
    OpenedRecording opened;
    if (const Ending ending = indexOf(request, &opened))
        return *ending;
    frame_range_copy::Range range;
    if (const Ending ending = findRange(request, opened.index, &range))
        return *ending;
    QString why;
    ProgressBar bar("cutting");
    const frame_range_copy::Status saved =
        frame_range_copy::save(opened.index, range, request.out, request.force, bar.callback(), &why);
    bar.end();
    if (saved != frame_range_copy::Status::Ok) {
        error(why);
        return kFailure;
    }
    say("orf: frames %lld–%lld (%s, %s) into %s\n", (long long)range.firstFrame, (long long)range.lastFrame,
        qPrintable(counted(range.frames, "frame")), qPrintable(counted(range.end - range.begin, "byte")),
        QFile::encodeName(request.out).constData());
    return kOk;
}

} // namespace

const Command kCut = {
    "cut",
    "write a range of a recording's frames as a recording of its own",
    "orf cut IN -o OUT [--from FRAME] [--until FRAME] [--start SECONDS] [--duration SECONDS] [--force] "
    "[--port P] [--filter EXPR]",
    "Writes the frames of IN from --from to --until (frame numbers; default: the first and the last), or "
    "those recorded from --start seconds after the first frame's timestamp for --duration seconds, to OUT: "
    "exactly their bytes as they lie in IN, in one copy. A frame without a timestamp goes with the frame "
    "before it. A range without a frame is a usage error (status 2). IN may be a capture.",
    options,
    {"IN", "The recording (.orf), or a capture (pcap, pcapng)."},
    runOnRequest<Request, readRequest, cut>,
};

} // namespace orf

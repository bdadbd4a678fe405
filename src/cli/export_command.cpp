// orf export: a recording's frames as the packets a playback would put on the wire, in a pcap file written
// into CAPTURE.part and renamed to CAPTURE once it is whole.
#include "capture/capture_writer.h"
#include "capture/opened_recording.h"
#include "cli/option_values.h"
#include "cli/orf.h"
#include "cli/output_file.h"
#include "cli/playback_options.h"
#include "cli/progress.h"
#include "cli/recording_input.h"
#include "cli/terminal.h"
#include "recording/counted.h"
#include "recording/file_time.h"
#include "recording/part_file.h"

#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

namespace orf {

namespace {

const QCommandLineOption kOutput({"o", "output"}, "The capture to write (pcap).", "CAPTURE");
const QCommandLineOption kTo("to", "The destination in the packets (default: the settings' destination 1).",
                             "HOST:PORT");
const QCommandLineOption kRate("rate", "Frames follow each other at a fixed rate of HZ a second.", "HZ");
const QCommandLineOption kTimestamps("timestamps", "Frames follow at the rate of the first timestamps.");
const QCommandLineOption kRecordedTiming("recorded-timing",
                                         "Each frame at its recorded time, keeping gaps and jitter.");
const QCommandLineOption
    kMaxGap("max-gap",
            "With --recorded-timing: a longer gap between two timestamps is S seconds (default 5).", "S");
const QCommandLineOption kFrom("from", "Starts with frame number FRAME.", "FRAME");
const QCommandLineOption kUntil("until", "Ends with frame number FRAME.", "FRAME");
const QCommandLineOption kMtu("mtu", "Fragments packets larger than BYTES (default 1500; 0: never).",
                              "BYTES");
const QCommandLineOption kForce("force", "Replaces an existing CAPTURE.");
const ScheduleOptions kSchedule = {&kRate,  &kTimestamps,     &kFrom,  &kUntil,
                                   nullptr, &kRecordedTiming, &kMaxGap};

QList<QCommandLineOption> options(const Defaults &)
{
    return {kOutput, kTo, kRate, kTimestamps, kRecordedTiming, kMaxGap, kFrom, kUntil, kMtu, kForce};
}

// Which recording goes into which capture, to where, timed how.
struct Request
{
    QString file;
    QString capture;
    bool force = false;
    PlaybackEngine::Destination destination;
    QString target; // the destination as HOST:PORT
    PlaybackEngine::Options schedule;
    int mtu = CaptureWriter::kDefaultMtu;
};

Ending readMtu(const QCommandLineParser &parser, int *mtu)
{
    if (!parser.isSet(kMtu))
        return {};
    bool number = false;
    const qint64 bytes = parser.value(kMtu).toLongLong(&number);
    if (!number || bytes < 0 || bytes > 65535 || (bytes != 0 && bytes < CaptureWriter::kLowestMtu)) {
        error(QStringLiteral("--mtu %1: not 0 or a packet size from %2 to 65535 bytes")
                  .arg(parser.value(kMtu))
                  .arg(CaptureWriter::kLowestMtu));
        return kUsage;
    }
    *mtu = int(bytes);
    return {};
}

Ending readRequest(const Invocation &call, Request *request)
{
    const QCommandLineParser &parser = call.parser;
    if (parser.positionalArguments().size() != 1 || !parser.isSet(kOutput) || parser.value(kOutput).isEmpty())
        return wrongArguments(call, "one recording and -o CAPTURE");
    request->file = parser.positionalArguments().first();
    request->capture = parser.value(kOutput);
    request->force = parser.isSet(kForce);
    std::vector<PlaybackEngine::Destination> destinations;
    QStringList names;
    if (const Ending ending =
            readDestinations(parser.isSet(kTo) ? QStringList{parser.value(kTo)} : QStringList(),
                             call.defaults, 1, &destinations, &names))
        return ending;
    request->destination = destinations.front();
    request->target = names.first();
    if (const Ending ending = readSchedule(parser, kSchedule, call.defaults, &request->schedule))
        return ending;
    if (const Ending ending = readMtu(parser, &request->mtu))
        return ending;
    return checkOutput(request->capture, request->force, request->file);
}

// Writes the capture, its first packet at startNs; what was written, or the ending after saying why not.
Ending writeCapture(const Request &request, const FrameIndex &index, qint64 startNs,
                    CaptureWriter::Written *written)
{
    QString why;
    ProgressBar bar("exporting");
    *written = CaptureWriter::exportRecording(
        request.capture, request.force, index, request.schedule,
        CaptureWriter::endpointsFor(request.destination.ip, request.destination.port), request.mtu, startNs,
        &why, bar.callback(QFileInfo(request.file).size()));
    bar.end();
    switch (written->status) {
    case CaptureWriter::Written::Status::Ok:
        return {};
    case CaptureWriter::Written::Status::Changed:
        error(request.file + ": has changed since it was opened; please run again");
        return kFailure;
    case CaptureWriter::Written::Status::TooLarge:
        // As a playback, it stops at such a frame; a capture of a part would pass for the whole, so there
        // is none. --until before it exports the frames that can be sent.
        error(QStringLiteral("%1: frame %2 is %3 bytes, too large for a datagram; nothing exported")
                  .arg(request.file)
                  .arg(written->frame)
                  .arg(written->size));
        return kNothing;
    default:
        error(why);
        return kFailure;
    }
}

void printSummary(const Request &request, const CaptureWriter::Written &written)
{
    const QString pace = request.schedule.recordedTiming
                             ? QStringLiteral("at their recorded times")
                             : QString::asprintf("at %.1f Hz", double(written.rate));
    const QString timing =
        PlaybackSelfCheck::timingText(written.outOfOrder, written.shortened, request.schedule.maxGap);
    say("orf: wrote %s in %s to %s %s into %s%s\n", qPrintable(counted(written.frames, "frame")),
        qPrintable(counted(written.packets, "packet")), request.target.toLocal8Bit().constData(),
        qPrintable(pace), QFile::encodeName(request.capture).constData(),
        timing.isEmpty() ? "" : qPrintable("; " + timing));
}

int exportCapture(const Request &request)
{
    part_file::removeWhenInterrupted(); // the recording is still there to export again
    OpenedRecording recording;
    if (const Ending ending = openPlayable(request.file, nullptr, &recording, request.schedule.from))
        return *ending;
    const std::optional<qint64> startNs = file_time::modifiedNs(request.file);
    if (!startNs) {
        error(request.file + ": changed since it was read; please run again");
        return kFailure;
    }
    CaptureWriter::Written written;
    if (const Ending ending = writeCapture(request, recording.index, *startNs, &written))
        return *ending;
    printSummary(request, written);
    return kOk;
}

} // namespace

const Command kExport = {
    "export",
    "write a recording's frames as a capture (.pcap) for Wireshark, tshark or tcpreplay",
    "orf export FILE -o CAPTURE.pcap [--to HOST:PORT] [--rate HZ | --timestamps | "
    "--recorded-timing [--max-gap S]] [--from FRAME] [--until FRAME] [--mtu BYTES] [--force]",
    "Writes a recording as the UDP packets a playback would send, one per frame (fragmented "
    "beyond the MTU), timed as the playback would send them from the recording's "
    "modification time: a pcap file for Wireshark, tshark or tcpreplay. Without --rate, "
    "--timestamps or --recorded-timing the settings decide the pacing; with --recorded-timing "
    "the packets carry the frames' recorded times, so tcpreplay replays them so.",
    options,
    {"FILE", "The recording (.orf)."},
    runOnRequest<Request, readRequest, exportCapture>,
};

} // namespace orf

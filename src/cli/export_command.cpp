// orf export: a recording's frames as the packets a playback would put on the wire, in a pcap file written
// into CAPTURE.part and renamed to CAPTURE once it is whole.
#include "capture/capture_writer.h"
#include "capture/opened_recording.h"
#include "cli/command.h"
#include "cli/defaults.h"
#include "cli/option_values.h"
#include "cli/orf.h"
#include "cli/output_file.h"
#include "cli/playback_options.h"
#include "cli/recording_input.h"
#include "cli/terminal.h"
#include "recording/file_time.h"

#include <QCommandLineParser>
#include <QFile>
#include <cstdio>

namespace orf {

namespace {

const QCommandLineOption output({"o", "output"}, "The capture to write (pcap).", "CAPTURE");
const QCommandLineOption to("to", "The destination in the packets (default: the settings' destination 1).",
                            "HOST:PORT");
const QCommandLineOption rate("rate", "Frames follow each other at a fixed rate of HZ a second.", "HZ");
const QCommandLineOption timestamps("timestamps", "Frames follow at the rate of the first timestamps.");
const QCommandLineOption recordedTiming("recorded-timing",
                                        "Each frame at its recorded time, keeping gaps and jitter.");
const QCommandLineOption
    maxGap("max-gap", "With --recorded-timing: a longer gap between two timestamps is S seconds (default 5).",
           "S");
const QCommandLineOption from("from", "Starts with frame number FRAME.", "FRAME");
const QCommandLineOption until("until", "Ends with frame number FRAME.", "FRAME");
const QCommandLineOption mtu("mtu", "Fragments packets larger than BYTES (default 1500; 0: never).", "BYTES");
const QCommandLineOption force("force", "Replaces an existing CAPTURE.");

QList<QCommandLineOption> options(const Defaults &)
{
    return {output, to, rate, timestamps, recordedTiming, maxGap, from, until, mtu, force};
}

int run(const Invocation &call)
{
    const QCommandLineParser &parser = call.parser;
    const Defaults &defaults = call.defaults;
    if (parser.positionalArguments().size() != 1 || !parser.isSet(output) || parser.value(output).isEmpty()) {
        error("export takes one recording and -o CAPTURE (see orf help export)");
        return kUsage;
    }
    const QString file = parser.positionalArguments().first();
    const QString capture = parser.value(output);
    PlaybackEngine::Options options;
    std::vector<PlaybackEngine::Destination> destinations;
    QStringList names;
    if (const Ending ending =
            readDestinations(parser.isSet(to) ? QStringList{parser.value(to)} : QStringList(), defaults, 1,
                             &destinations, &names))
        return *ending;
    const PlaybackEngine::Destination d = destinations.front();
    const QString target = names.first();
    if (const Ending ending =
            readSchedule(parser, {&rate, &timestamps, &from, &until, nullptr, &recordedTiming, &maxGap},
                         defaults, &options))
        return *ending;
    qint64 bytes = CaptureWriter::kDefaultMtu;
    if (parser.isSet(mtu)) {
        if (!numberOption(parser, mtu, "0 or a packet size in bytes", 0, 65535, &bytes))
            return kUsage;
        if (bytes != 0 && bytes < CaptureWriter::kLowestMtu) {
            error(QStringLiteral("--mtu %1: not 0 or a packet size from %2 to 65535 bytes")
                      .arg(bytes)
                      .arg(CaptureWriter::kLowestMtu));
            return kUsage;
        }
    }
    if (const Ending ending = checkOutput(capture, parser.isSet(force)))
        return *ending;

    OpenedRecording recording;
    if (const Ending ending = openPlayable(file, nullptr, &recording))
        return *ending;
    const std::optional<qint64> startNs = file_time::modifiedNs(file);
    if (!startNs) {
        error(file + ": changed since it was read; please run again");
        return kFailure;
    }

    QString why;
    const CaptureWriter::Written written =
        CaptureWriter::exportRecording(capture, parser.isSet(force), recording.index, options,
                                       CaptureWriter::endpointsFor(d.ip, d.port), int(bytes), *startNs, &why);
    switch (written.status) {
    case CaptureWriter::Written::Status::Ok:
        break;
    case CaptureWriter::Written::Status::Changed:
        error(file + ": has changed since it was opened; please run again");
        return kFailure;
    case CaptureWriter::Written::Status::TooLarge:
        // As a playback, it stops at such a frame; a capture of a part would pass for the whole, so there
        // is none. --until before it exports the frames that can be sent.
        error(QStringLiteral("%1: frame %2 is %3 bytes, too large for a datagram; nothing exported")
                  .arg(file)
                  .arg(written.frame)
                  .arg(written.size));
        return kNothing;
    default:
        error(why);
        return kFailure;
    }
    const QString pace = options.recordedTiming ? QStringLiteral("at their recorded times")
                                                : QString::asprintf("at %.1f Hz", double(written.rate));
    const QString timing =
        PlaybackSelfCheck::timingText(written.outOfOrder, written.shortened, options.maxGap);
    std::fprintf(stderr, "orf: wrote %lld frames in %lld packets to %s %s into %s%s\n",
                 (long long)written.frames, (long long)written.packets, target.toLocal8Bit().constData(),
                 qPrintable(pace), QFile::encodeName(capture).constData(),
                 timing.isEmpty() ? "" : qPrintable("; " + timing));
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
    run,
};

} // namespace orf

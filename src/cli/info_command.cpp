// orf info: one pass over a recording (or the one a capture's datagrams make) through the frame index, and
// what it holds.
#include "capture/opened_recording.h"
#include "cli/command.h"
#include "cli/defaults.h"
#include "cli/orf.h"
#include "cli/recording_input.h"
#include "cli/terminal.h"
#include "recording/recording_info.h"

#include <QCommandLineParser>

#include <QJsonDocument>
#include <QTextStream>

namespace orf {

namespace {

const QCommandLineOption json("json", "Prints one JSON object: every run of lost frames, and every lost "
                                      "frame number while they are at most 100,000.");

QList<QCommandLineOption> options(const Defaults &)
{
    return QList<QCommandLineOption>{json} + captureOptions();
}

int run(const Invocation &call)
{
    const QCommandLineParser &parser = call.parser;
    const Defaults &defaults = call.defaults;
    if (parser.positionalArguments().size() != 1) {
        error("info takes one recording (see orf help info)");
        return kUsage;
    }
    CaptureReader::Options capture;
    if (const Ending ending = readCaptureOptions(parser, defaults, &capture))
        return *ending;

    OpenedRecording read;
    if (const Ending ending = readRecording(parser.positionalArguments().first(), &capture, &read))
        return *ending;
    const RecordingInfo &recording = read.info;
    QTextStream out(stdout);
    if (parser.isSet(json))
        out << QJsonDocument(recording.json()).toJson(QJsonDocument::Indented);
    else
        out << recording.text();
    return recording.playable() ? kOk : kNothing;
}

} // namespace

const Command kInfo = {
    "info",
    "check a recording: frames, lost frames, duration, whether it can be played",
    "orf info FILE [--json] [--port P] [--filter EXPR]",
    "Checks a recording: size, frame numbers, lost frames, duration and mean rate "
    "from its timestamps, the recorded interval between frames, and whether it can be "
    "played. A capture is checked as the recording its datagrams to one port make, and "
    "the port taken is said.\n"
    "Exit status 0 when it can be played, 1 when not, 3 when it cannot be read.",
    options,
    {"FILE", "The recording (.orf), or a capture (pcap, pcapng)."},
    run,
};

} // namespace orf

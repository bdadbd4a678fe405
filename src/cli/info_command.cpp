// orf info: one pass over a recording (or the one a capture's datagrams make) through the frame index, and
// what it holds.
#include "capture/opened_recording.h"
#include "cli/orf.h"
#include "cli/recording_input.h"
#include "recording/recording_info.h"

#include <QCommandLineParser>
#include <QJsonDocument>

#include <cstdio>

namespace orf {

namespace {

const QCommandLineOption kJson("json", "Prints one JSON object: every run of lost frames, and every lost "
                                       "frame number while they are at most 100,000.");

QList<QCommandLineOption> options(const Defaults &)
{
    return QList<QCommandLineOption>{kJson} + captureOptions();
}

// Which file to check, and how to say what it holds.
struct Request
{
    QString file;
    CaptureReader::Options capture; // when the file is a capture
    bool json = false;
};

Ending readRequest(const Invocation &call, Request *request)
{
    if (call.parser.positionalArguments().size() != 1)
        return wrongArguments(call, "one recording");
    request->file = call.parser.positionalArguments().first();
    request->json = call.parser.isSet(kJson);
    return readCaptureOptions(call.parser, call.defaults, &request->capture);
}

int check(const Request &request)
{
    OpenedRecording opened;
    if (const Ending ending = readRecording(request.file, &request.capture, &opened))
        return *ending;
    const RecordingInfo &info = opened.info;
    // Through stdio, whose failure run() finds with its reason.
    std::fputs(request.json ? QJsonDocument(info.json()).toJson(QJsonDocument::Indented).constData()
                            : info.text().toUtf8().constData(),
               stdout);
    return info.playable() ? kOk : kNothing;
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
    runOnRequest<Request, readRequest, check>,
};

} // namespace orf

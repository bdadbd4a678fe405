#include "cli/recording_input.h"

#include "capture/opened_recording.h"
#include "cli/defaults.h"
#include "cli/option_values.h"
#include "cli/progress.h"
#include "cli/terminal.h"

#include <QCommandLineParser>

namespace orf {

namespace {

const QCommandLineOption
    kPort("port",
          "For a capture: the UDP port whose datagrams make the recording (default: the "
          "settings' record port when any datagram goes to it, else the port most go to).",
          "P");
const QCommandLineOption
    kFilter("filter",
            "For a capture: takes only the datagrams that pass EXPR, a tcpdump filter "
            "expression on their IP and UDP headers (a source host, a group address, a "
            "port), applied to each datagram whole, after its fragments are put together.",
            "EXPR");

} // namespace

QList<QCommandLineOption> captureOptions()
{
    return {kPort, kFilter};
}

Ending readCaptureOptions(const QCommandLineParser &parser, const Defaults &defaults,
                          CaptureReader::Options *options)
{
    qint64 port = -1;
    if (parser.isSet(kPort) && !numberOption(parser, kPort, "a port number", 1, 65535, &port))
        return kUsage;
    options->port = int(port);
    options->preferredPort = defaults.values.port_record != 0 ? defaults.values.port_record : -1;
    options->filter = parser.value(kFilter);
    return {};
}

Ending readRecording(const QString &file, const CaptureReader::Options *captureOptions,
                     OpenedRecording *recording)
{
    using Status = OpenedRecording::Status;
    ProgressBar bar("reading");
    *recording = OpenedRecording::open(file, captureOptions, bar.callback());
    bar.end();
    if (recording->status == Status::CaptureUnreadable)
        return captureRead(recording->capture.result());
    if (!recording->capture.isEmpty())
        captureRead(recording->capture.result()); // a cut is said
    switch (recording->status) {
    case Status::OpenFailed:
        error(QStringLiteral("%1: cannot be opened").arg(file));
        return kFailure;
    case Status::ReadFailed:
    case Status::Cancelled: // the progress function never cancels
        error(QStringLiteral("%1: cannot be read to its end").arg(file));
        return kFailure;
    case Status::Changed:
        error(QStringLiteral("%1: changed while it was read").arg(file));
        return kFailure;
    default:
        return {};
    }
}

Ending openPlayable(const QString &file, const CaptureReader::Options *captureOptions,
                    OpenedRecording *recording, qint64 from)
{
    if (const Ending ending = readRecording(file, captureOptions, recording))
        return ending;
    if (recording->info.capture)
        say("orf: %s\n", recording->info.capture->portChoice.toLocal8Bit().constData());
    if (!recording->info.playable()) {
        error(file + ": " + recording->info.reason);
        return kNothing;
    }
    if (from > recording->info.last_frame) { // nothing to send: a mistake, not an empty success
        error(QStringLiteral("--from %1: beyond the last frame of %2, %3")
                  .arg(from)
                  .arg(file)
                  .arg(recording->info.last_frame));
        return kUsage;
    }
    return {};
}

Ending captureRead(const CaptureReader::Result &r)
{
    if (r.ok()) {
        if (!r.snaplenNote().isEmpty())
            error(r.snaplenNote());
        if (!r.cutNote.isEmpty())
            error(r.cutNote);
        return {};
    }
    error(r.error);
    return r.status == CaptureReader::Status::BadFilter ? kUsage : kFailure;
}

} // namespace orf

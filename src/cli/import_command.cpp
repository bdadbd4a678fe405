// orf import: the datagrams a capture holds to one port, as the recording Record would have written had it
// been listening there, into FILE.part renamed to FILE once it is whole.
#include "cli/orf.h"
#include "cli/output_file.h"
#include "cli/progress.h"
#include "cli/recording_input.h"
#include "cli/terminal.h"
#include "recording/part_file.h"

#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <vector>

namespace orf {

namespace {

const QCommandLineOption kOutput({"o", "output"},
                                 "The recording to write (default: the capture's name with .orf).", "FILE");
const QCommandLineOption kForce("force", "Replaces an existing FILE.");

QList<QCommandLineOption> options(const Defaults &)
{
    return QList<QCommandLineOption>{kOutput, kForce} + captureOptions();
}

// Which capture's datagrams go into which recording.
struct Request
{
    QString capture;
    CaptureReader::Options options;
    QString file;
    bool force = false;
};

Ending readRequest(const Invocation &call, Request *request)
{
    const QCommandLineParser &parser = call.parser;
    if (parser.positionalArguments().size() != 1)
        return wrongArguments(call, "one capture");
    if (const Ending ending = readCaptureOptions(parser, call.defaults, &request->options))
        return ending;
    request->capture = parser.positionalArguments().first();
    // A name made from /dev/stdin, a FIFO or a device would be written beside it: /dev/stdin.orf.
    const QFileInfo capture(request->capture);
    const QString folder = capture.canonicalPath();
    if (!parser.isSet(kOutput) &&
        (!capture.isFile() || folder.startsWith("/dev") || folder.startsWith("/proc"))) {
        error(QStringLiteral("%1 is not a file in a folder: name the recording with -o FILE")
                  .arg(request->capture));
        return kUsage;
    }
    const QString suffix = QFileInfo(request->capture).suffix();
    request->file = parser.isSet(kOutput) ? parser.value(kOutput)
                    : suffix.isEmpty()    ? request->capture + ".orf"
                                          : request->capture.chopped(suffix.size() + 1) + ".orf";
    request->force = parser.isSet(kForce);
    return checkOutput(request->file, request->force, request->capture);
}

// FILE.part renamed to FILE, and what was taken; or FILE.part removed, and why.
int finish(const Request &request, const CaptureReader::Result &read, std::FILE *output)
{
    const QString part = request.file + ".part";
    Ending ending;
    if (read.status == CaptureReader::Status::WriteFailed) {
        error(QStringLiteral("writing %1 failed (is the disk full?)").arg(part));
        ending = kFailure;
    } else if (!(ending = captureRead(read)) && read.stats.datagrams == 0) {
        error(read.portChoice + "; no recording written");
        ending = kNothing;
    }
    if (ending) {
        part_file::discard(output, request.file);
        return *ending;
    }
    if (QString why; !part_file::finish(output, request.file, &why)) {
        QFile::remove(part);
        error(why);
        return kFailure;
    }
    say("orf: %s\norf: %s, into %s\n", read.portChoice.toLocal8Bit().constData(),
        read.stats.summary().toLocal8Bit().constData(), QFile::encodeName(request.file).constData());
    return read.stats.cutBySnaplen > 0 ? kNothing : kOk; // not all that was sent is there
}

int importCapture(const Request &request)
{
    part_file::removeWhenInterrupted(); // the capture is still there to import again
    std::FILE *output = createOutput(request.file, request.force);
    if (!output)
        return kFailure;
    // A capture gives many small payloads: one write a megabyte.
    std::vector<char> buffer(1 << 20);
    std::setvbuf(output, buffer.data(), _IOFBF, buffer.size());
    ProgressBar bar("importing");
    const CaptureReader::Result read = CaptureReader::read(request.capture, request.options,
                                                           CaptureReader::fileSink(output), bar.callback());
    bar.end();
    return finish(request, read, output);
}

} // namespace

const Command kImport = {
    "import",
    "write the datagrams of a capture (pcap, pcapng) to one port as a recording",
    "orf import CAPTURE [-o FILE] [--port P] [--filter EXPR] [--force]",
    "Writes the payloads of a capture's UDP datagrams to one port, in capture order, as a "
    "recording: byte for byte what record would have written listening there. IP "
    "fragments are put together first. The port: --port, else the settings' record port "
    "when any datagram goes to it, else the port most datagrams go to.\n"
    "Exit status 1 when no datagram was written, or when datagrams to the port were cut to the "
    "capture's snapshot length and left out (the whole ones are written).",
    options,
    {"CAPTURE", "The capture (pcap, pcapng)."},
    runOnRequest<Request, readRequest, importCapture>,
};

} // namespace orf

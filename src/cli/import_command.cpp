// orf import: the datagrams a capture holds to one port, as the recording Record would have written had it
// been listening there, into FILE.part renamed to FILE once it is whole.
#include "cli/command.h"
#include "cli/defaults.h"
#include "cli/orf.h"
#include "cli/output_file.h"
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

const QCommandLineOption output({"o", "output"},
                                "The recording to write (default: the capture's name with .orf).", "FILE");
const QCommandLineOption force("force", "Replaces an existing FILE.");

QList<QCommandLineOption> options(const Defaults &)
{
    return QList<QCommandLineOption>{output, force} + captureOptions();
}

int run(const Invocation &call)
{
    const QCommandLineParser &parser = call.parser;
    const Defaults &defaults = call.defaults;
    if (parser.positionalArguments().size() != 1) {
        error("import takes one capture (see orf help import)");
        return kUsage;
    }
    CaptureReader::Options options;
    if (const Ending ending = readCaptureOptions(parser, defaults, &options))
        return *ending;
    const QString capture = parser.positionalArguments().first();
    const QString suffix = QFileInfo(capture).suffix();
    const QString file = parser.isSet(output) ? parser.value(output)
                         : suffix.isEmpty()   ? capture + ".orf"
                                              : capture.chopped(suffix.size() + 1) + ".orf";
    const QString part = file + ".part";
    if (const Ending ending = checkOutput(file, parser.isSet(force)))
        return *ending;

    FILE *stream = createOutput(file, parser.isSet(force));
    if (!stream)
        return kFailure;
    // A capture gives many small payloads: one write a megabyte.
    std::vector<char> buffer(1 << 20);
    std::setvbuf(stream, buffer.data(), _IOFBF, buffer.size());
    const CaptureReader::Result r = CaptureReader::read(capture, options, CaptureReader::fileSink(stream));
    Ending status;
    if (r.status == CaptureReader::Status::WriteFailed) {
        error(QStringLiteral("writing %1 failed (is the disk full?)").arg(part));
        status = kFailure;
    } else if (!(status = captureRead(r)) && r.stats.datagrams == 0) {
        error(r.portChoice + "; no recording written");
        status = kNothing;
    }
    if (status) {
        std::fclose(stream);
        QFile::remove(part);
        return *status;
    }
    QString why;
    if (!part_file::finish(stream, file, &why)) {
        QFile::remove(part);
        error(why);
        return kFailure;
    }
    std::fprintf(stderr, "orf: %s\norf: %s, into %s\n", r.portChoice.toLocal8Bit().constData(),
                 r.stats.summary().toLocal8Bit().constData(), QFile::encodeName(file).constData());
    return kOk;
}

} // namespace

const Command kImport = {
    "import",
    "write the datagrams of a capture (pcap, pcapng) to one port as a recording",
    "orf import CAPTURE [-o FILE] [--port P] [--filter EXPR] [--force]",
    "Writes the payloads of a capture's UDP datagrams to one port, in capture order, as a "
    "recording: byte for byte what record would have written listening there. IP "
    "fragments are put together first. The port: --port, else the settings' record port "
    "when any datagram goes to it, else the port most datagrams go to.",
    options,
    {"CAPTURE", "The capture (pcap, pcapng)."},
    run,
};

} // namespace orf

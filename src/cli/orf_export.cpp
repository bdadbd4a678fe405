// orf export: a recording's frames as the packets a playback would put on the wire, in a pcap file written
// into CAPTURE.part and renamed to CAPTURE once it is whole.
#include "orf.h"

#include "capture_writer.h"

#include <QFile>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orf {

int exportCapture(const QStringList &arguments)
{
    const Defaults defaults = loadDefaults();
    QCommandLineParser parser;
    const QCommandLineOption output({"o", "output"}, "The capture to write (pcap).", "CAPTURE");
    const QCommandLineOption to(
        "to", "The destination in the packets (default: the settings' destination 1).", "HOST:PORT");
    const QCommandLineOption rate("rate", "Frames follow each other at a fixed rate of HZ a second.", "HZ");
    const QCommandLineOption timestamps("timestamps", "Frames follow at the rate of the first timestamps.");
    const QCommandLineOption from("from", "Starts with frame number FRAME.", "FRAME");
    const QCommandLineOption until("until", "Ends with frame number FRAME.", "FRAME");
    const QCommandLineOption mtu("mtu", "Fragments packets larger than BYTES (default 1500; 0: never).",
                                 "BYTES");
    const QCommandLineOption force("force", "Replaces an existing CAPTURE.");
    parser.addOptions({output, to, rate, timestamps, from, until, mtu, force});
    parser.addPositionalArgument("FILE", "The recording (.orf).");
    if (const int done = parse(
            parser, arguments,
            "orf export FILE -o CAPTURE.pcap [--to HOST:PORT] [--rate HZ | --timestamps] [--from FRAME] "
            "[--until FRAME] [--mtu BYTES] [--force]",
            "Writes a recording as the UDP packets a playback would send, one per frame (fragmented "
            "beyond the MTU), timed as the playback would send them from the recording's "
            "modification time: a pcap file for Wireshark, tshark or tcpreplay. Without --rate or "
            "--timestamps the settings decide the rate.");
        done >= 0)
        return done;
    if (parser.positionalArguments().size() != 1 || !parser.isSet(output) || parser.value(output).isEmpty()) {
        error("export takes one recording and -o CAPTURE (see orf help export)");
        return kUsage;
    }
    const QString file = parser.positionalArguments().first();
    const QString capture = parser.value(output);
    PlaybackEngine::Options options;
    PlaybackEngine::Destination d;
    const QString target =
        parser.isSet(to) ? parser.value(to) : defaults.host_1 + ':' + QString::number(defaults.port_1);
    if (const int bad = readDestination(target, &d); bad >= 0)
        return bad;
    if (const int bad = readSchedule(parser, {&rate, &timestamps, &from, &until}, defaults, &options);
        bad >= 0)
        return bad;
    int bytes = CaptureWriter::kDefaultMtu;
    if (parser.isSet(mtu)) {
        bool ok = false;
        bytes = parser.value(mtu).toInt(&ok);
        if (!ok || (bytes != 0 && (bytes < CaptureWriter::kLowestMtu || bytes > 65535))) {
            error(QStringLiteral("--mtu %1: not 0 or a packet size from %2 to 65535 bytes")
                      .arg(parser.value(mtu))
                      .arg(CaptureWriter::kLowestMtu));
            return kUsage;
        }
    }
    const QString part = capture + ".part";
    for (const QString &existing : {capture, part}) {
        struct stat st;
        if (::lstat(QFile::encodeName(existing).constData(), &st) != 0)
            continue;
        // --force replaces a file (or a link, never what it points to), never a device or a directory.
        if (!parser.isSet(force) || !(S_ISREG(st.st_mode) || S_ISLNK(st.st_mode))) {
            error(QStringLiteral("%1 exists; %2")
                      .arg(existing, parser.isSet(force) ? "it is not a file" : "--force replaces it"));
            return kUsage;
        }
    }

    FrameIndex index;
    FrameScanner::Result scanned;
    if (const int failed = readRecording(file, index, &scanned); failed >= 0)
        return failed;
    if (const QString reason = unplayableReason(scanned, index); !reason.isEmpty()) {
        error(file + ": " + reason);
        return kNothing;
    }
    struct stat st;
    if (::stat(QFile::encodeName(file).constData(), &st) != 0) {
        error(file + ": changed since it was read; please run again");
        return kFailure;
    }
    const qint64 startNs = qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;

    // A stale CAPTURE.part is removed, never followed; the new one is created here and nowhere else.
    const QByteArray partName = QFile::encodeName(part);
    if (parser.isSet(force))
        ::unlink(partName.constData());
    const int fd = ::open(partName.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    std::FILE *stream = fd >= 0 ? ::fdopen(fd, "wb") : nullptr;
    if (!stream) {
        if (fd >= 0)
            ::close(fd);
        error(QStringLiteral("%1: cannot be written (%2)")
                  .arg(part, QString::fromLocal8Bit(std::strerror(errno))));
        return kFailure;
    }
    CaptureWriter writer(CaptureWriter::endpointsFor(d.ip, d.port), bytes);
    QString why;
    if (!writer.open(stream, &why)) {
        QFile::remove(part);
        error(QStringLiteral("%1: cannot be written (%2)").arg(part, why));
        return kFailure;
    }
    // The writer closes its stream; the capture reaches the disk through this descriptor before the rename.
    const int synced = ::dup(fd);
    const CaptureWriter::Written written = writer.writeRecording(index, options, startNs);
    const bool closed = writer.close() && synced >= 0 && ::fsync(synced) == 0;
    if (synced >= 0)
        ::close(synced);
    int status = kOk;
    if (written.status == CaptureWriter::Written::Status::Changed) {
        error(file + ": has changed since it was opened; please run again");
        status = kFailure;
    } else if (written.status == CaptureWriter::Written::Status::TooLarge) {
        error(QStringLiteral("%1: frame %2 is %3 bytes on the wire; a datagram holds at most %4")
                  .arg(file)
                  .arg(written.frame)
                  .arg(written.size)
                  .arg(CaptureWriter::kLargestPayload));
        status = kNothing;
    } else if (written.status != CaptureWriter::Written::Status::Ok || !closed) {
        error(QStringLiteral("writing %1 failed (is the disk full?)").arg(part));
        status = kFailure;
    } else if (std::rename(partName.constData(), QFile::encodeName(capture).constData()) != 0) {
        error(QStringLiteral("%1 could not be renamed to %2").arg(part, capture));
        status = kFailure;
    }
    if (status != kOk) {
        QFile::remove(part);
        return status;
    }
    std::fprintf(stderr, "orf: wrote %lld frames in %lld packets to %s at %.1f Hz into %s\n",
                 (long long)written.frames, (long long)written.packets, target.toLocal8Bit().constData(),
                 double(written.rate), QFile::encodeName(capture).constData());
    return kOk;
}

} // namespace orf

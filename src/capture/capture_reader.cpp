#include "capture/capture_reader.h"

#include "capture/capture_file.h"
#include "capture/datagram_extractor.h"
#include "recording/counted.h"

#include <QJsonObject>
#include <unistd.h>

namespace {

// One pass over a capture: every UDP datagram counted by its port, those to port given to the sink.
CaptureReader::Result pass(const QString &path, const QString &filter, int port,
                           const CaptureReader::Sink &sink, const CaptureReader::Progress &progress,
                           PortCounts *ports)
{
    CaptureReader::Result r;
    CaptureFile file(path, progress);
    if (!file.open(filter, &r))
        return r;
    r.snaplen = file.snaplen();
    DatagramExtractor extractor(file.linkType(), port, sink, ports, file.filter());
    CaptureFile::Packet packet;
    bool written = true;
    while (written && file.next(&packet, &r))
        written = extractor.take(packet);
    if (!written) {
        r.status = CaptureReader::Status::WriteFailed;
        r.error = QStringLiteral("the recording of %1 could not be written").arg(path);
    }
    r.stats = extractor.stats();
    return r;
}

} // namespace

QString CaptureReader::Stats::summary() const
{
    QString text = QStringLiteral("%1 kept (%2), %3 to other ports passed over")
                       .arg(counted(datagrams, "datagram"), counted(bytes, "byte"))
                       .arg(otherPorts);
    if (fragments > 0)
        text += QStringLiteral(", %1 read, %2 reassembled")
                    .arg(counted(fragments, "fragment"), counted(reassembled, "datagram"));
    // The noun agrees with the count next to it: "2 incomplete and 1 malformed datagram".
    if (incomplete > 0 || malformed > 0)
        text += QStringLiteral(", %1 incomplete and %2 dropped")
                    .arg(incomplete)
                    .arg(counted(malformed, "malformed datagram"));
    if (capturedShort > 0)
        text += QStringLiteral(", %1 captured short").arg(counted(capturedShort, "packet"));
    if (badChecksum > 0)
        text += badChecksum == 1
                    ? QStringLiteral(", 1 reassembled datagram failed its checksum")
                    : QStringLiteral(", %1 reassembled datagrams failed their checksum").arg(badChecksum);
    return text;
}

QString CaptureReader::Result::snaplenNote() const
{
    if (stats.cutBySnaplen == 0)
        return {};
    return QStringLiteral(
               "%1 of %2 datagrams to port %3 were cut to the capture's snapshot length of %4 bytes "
               "and are left out; capture with -s 0 to keep them whole")
        .arg(stats.cutBySnaplen)
        .arg(stats.cutBySnaplen + stats.datagrams)
        .arg(port)
        .arg(snaplen);
}

RecordingInfo::CaptureDetails CaptureReader::Result::details() const
{
    RecordingInfo::CaptureDetails d;
    d.snaplenNote = snaplenNote();
    d.portChoice = portChoice;
    d.summary = stats.summary();
    d.cutNote = cutNote;
    d.json = QJsonObject{{"port", port != 0 ? QJsonValue(port) : QJsonValue()},
                         {"port_choice", portChoice},
                         {"packets", stats.packets},
                         {"datagrams", stats.datagrams},
                         {"bytes", stats.bytes},
                         {"other_ports", stats.otherPorts},
                         {"not_udp", stats.notUdp},
                         {"fragments", stats.fragments},
                         {"reassembled", stats.reassembled},
                         {"incomplete", stats.incomplete},
                         {"malformed", stats.malformed},
                         {"captured_short", stats.capturedShort},
                         {"bad_checksum", stats.badChecksum},
                         {"cut_by_snaplen", stats.cutBySnaplen},
                         {"cut_at", cutAt >= 0 ? QJsonValue(cutAt) : QJsonValue()}};
    return d;
}

bool CaptureReader::isCapture(const QString &path)
{
    const int fd = CaptureFile::openRegular(path);
    if (fd < 0)
        return false;
    uchar start[CaptureFile::kStartBytes];
    qint64 got = 0;
    while (got < qint64(sizeof start)) {
        const ssize_t n = ::read(fd, start + got, sizeof start - size_t(got));
        if (n <= 0)
            break;
        got += n;
    }
    ::close(fd);
    return CaptureFile::isCaptureStart(start, got);
}

CaptureReader::Result CaptureReader::read(const QString &path, const Options &options, const Sink &sink,
                                          const Progress &progress)
{
    const auto port = [](int p) { return p >= 0 && p <= 65535 ? p : -1; };
    const int asked = port(options.port);
    // The port to write while counting; the choice is known at the end of this pass.
    const int first = asked >= 0 ? asked : port(options.preferredPort);
    PortCounts ports;
    Result r = pass(path, options.filter, first, sink, progress, &ports);
    if (!r.ok())
        return r;
    const qint64 all = ports.total();
    const auto choice = [&](int port, const char *why) {
        r.port = quint16(port);
        r.portChoice = QStringLiteral("UDP port %1, %2 (%3 of %4)")
                           .arg(port)
                           .arg(QLatin1String(why))
                           .arg(r.stats.datagrams)
                           .arg(counted(all, "datagram"));
    };
    if (asked >= 0) {
        choice(asked, "as asked");
    } else if (first >= 0 && ports.to(first) > 0) {
        choice(first, "the record port of the settings");
    } else if (const int busiest = ports.busiest(); busiest >= 0) {
        PortCounts again;
        r = pass(path, options.filter, busiest, sink, progress, &again);
        if (!r.ok())
            return r;
        choice(busiest, "the port most datagrams go to");
    } else {
        r.portChoice = options.filter.isEmpty()
                           ? QStringLiteral("no UDP datagram in the capture")
                           : QStringLiteral("no UDP datagram in the capture passes the filter");
    }
    return r;
}

CaptureReader::Sink CaptureReader::fileSink(std::FILE *file)
{
    return [file](const char *data, qsizetype size, qint64) {
        return std::fwrite(data, 1, size_t(size), file) == size_t(size);
    };
}

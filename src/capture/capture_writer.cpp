#include "capture/capture_writer.h"

#include "ap/ap_socket.h"
#include "capture/route_lookup.h"
#include "capture/scheduled_frames.h"
#include "capture/write_behind.h"
#include "recording/part_file.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cstring>
#include <pcap/pcap.h>
#include <unistd.h>

using namespace packet_building;

namespace {
constexpr int kSnapshot = 262144; // what tcpdump uses: every packet whole
constexpr size_t kRecordHeader = 16;
// A frame whose wire form may take more room than this is made apart (it may need fragments, or not fit).
constexpr qsizetype kMadeInPlace = 32 << 10;

// About the bytes the packets of a plan's frames take: their share of the recording, a CR to about every
// 16 bytes, and a packet's record and headers to each frame and to each 1,480 bytes of a larger one.
qint64 expectedBytes(const FrameIndex &index, const PlaybackEngine::Plan &plan)
{
    const qint64 entries = plan.last - plan.first + 1;
    if (entries <= 0 || index.size() <= 0)
        return 0;
    const qint64 share = qint64(double(QFileInfo(index.fileName()).size()) * double(entries) / double(index.size()));
    const qint64 headers = qint64(kRecordHeader) + kEthernetHeader + kIpv4Header + kUdpHeader;
    return share + share / 16 + (entries + share / 1480) * headers;
}
} // namespace

CaptureWriter::CaptureWriter(const Endpoints &endpoints, int mtu)
    : m_endpoints(endpoints), m_mtu(mtu <= 0 ? 0 : qMax(mtu, kLowestMtu)),
      m_datagram(size_t(kUdpHeader + ap_udp_max_payload))
{
    ethernetHeader(m_link, endpoints.broadcast ? 0xffffffffu : endpoints.destinationIp);
}

CaptureWriter::~CaptureWriter()
{
    close();
    if (m_pcap)
        pcap_close(m_pcap);
}

bool CaptureWriter::open(std::FILE *file, QString *error)
{
    m_pcap = pcap_open_dead_with_tstamp_precision(DLT_EN10MB, kSnapshot, PCAP_TSTAMP_PRECISION_NANO);
    if (!m_pcap) {
        std::fclose(file);
        if (error)
            *error = QStringLiteral("libpcap cannot make a capture");
        return false;
    }
    m_dumper = pcap_dump_fopen(m_pcap, file);
    if (!m_dumper) {
        std::fclose(file);
        if (error)
            *error = QString::fromLocal8Bit(pcap_geterr(m_pcap));
        return false;
    }
    m_file = file;
    // The file header goes first; the blocks follow it.
    if (pcap_dump_flush(m_dumper) != 0) {
        if (error)
            *error = QStringLiteral("the file cannot be written");
        close();
        return false;
    }
    m_writeBehind = std::make_unique<WriteBehind>(file);
    return true;
}

uchar *CaptureWriter::packet(qint64 timeNs, int ipDataLength)
{
    uchar *record = m_writeBehind->reserve(kRecordHeader + size_t(kEthernetHeader + kIpv4Header + ipDataLength));
    return headPacket(record, timeNs, ipDataLength);
}

uchar *CaptureWriter::headPacket(uchar *record, qint64 timeNs, int ipDataLength)
{
    const quint32 length = quint32(kEthernetHeader + kIpv4Header + ipDataLength);
    // Seconds and nanoseconds (a nanosecond capture), the captured and the original length: whole.
    // A pcap's seconds are 32 bits without a sign: a time before 1970 or after 2106 is clamped, never
    // wrapped.
    timeNs = std::clamp<qint64>(timeNs, 0, qint64(0xffffffffu) * 1000000000 + 999999999);
    const quint32 header[4] = {quint32(timeNs / 1000000000), quint32(timeNs % 1000000000), length, length};
    std::memcpy(record, header, kRecordHeader);
    std::memcpy(record + kRecordHeader, m_link, kEthernetHeader);
    ++m_packets;
    return record + kRecordHeader + kEthernetHeader;
}

bool CaptureWriter::write(qint64 timeNs, QByteArrayView payload)
{
    if (payload.size() > ap_udp_max_payload || !m_writeBehind)
        return false;
    const int length = kUdpHeader + int(payload.size());
    if (fitsOnePacket(length, m_mtu)) { // made in its packet
        uchar *ip = packet(timeNs, length);
        std::memcpy(ip + kIpv4Header + kUdpHeader, payload.data(), size_t(payload.size()));
        udpHeader(ip + kIpv4Header, m_endpoints, length);
        ipv4Header(ip, m_endpoints, ++m_id, 0, length, false);
        return true;
    }
    std::memcpy(m_datagram.data() + kUdpHeader, payload.data(), size_t(payload.size()));
    writeFragments(timeNs, length);
    return true;
}

void CaptureWriter::writeFragments(qint64 timeNs, int length)
{
    const quint16 id = ++m_id;
    uchar *udp = m_datagram.data(); // made apart, then cut into fragments
    udpHeader(udp, m_endpoints, length);
    cutIntoFragments(length, m_mtu, [&](int offset, int dataLength, bool more) {
        uchar *ip = packet(timeNs, dataLength);
        std::memcpy(ip + kIpv4Header, udp + offset, size_t(dataLength));
        ipv4Header(ip, m_endpoints, id, offset, dataLength, more);
    });
}

bool CaptureWriter::writeFrame(qint64 timeNs, QByteArrayView raw, const char *readable, qsizetype *size)
{
    const qsizetype room = FrameIndex::wireRoom(raw.size());
    if (room > kMadeInPlace) { // a frame that may not fit one datagram: its wire form made apart
        QByteArray wire(room, Qt::Uninitialized);
        wire.truncate(FrameIndex::putWire(raw, wire.data(), readable) - wire.constData());
        *size = wire.size();
        return write(timeNs, wire);
    }
    // The wire form made where the packet's payload goes, the headers then put in front of it.
    constexpr size_t kHeaders = kRecordHeader + kEthernetHeader + kIpv4Header + kUdpHeader;
    uchar *record = m_writeBehind->reserve(kHeaders + size_t(room));
    char *payload = reinterpret_cast<char *>(record + kHeaders);
    *size = FrameIndex::putWire(raw, payload, readable) - payload;
    const int length = kUdpHeader + int(*size);
    if (!fitsOnePacket(length, m_mtu)) {
        std::memcpy(m_datagram.data() + kUdpHeader, payload, size_t(*size));
        m_writeBehind->giveBack(kHeaders + size_t(room));
        writeFragments(timeNs, length);
        return true;
    }
    m_writeBehind->giveBack(size_t(room - *size));
    uchar *ip = headPacket(record, timeNs, length);
    udpHeader(ip + kIpv4Header, m_endpoints, length);
    ipv4Header(ip, m_endpoints, ++m_id, 0, length, false);
    return true;
}

CaptureWriter::Written CaptureWriter::writeRecording(const FrameIndex &index,
                                                     const PlaybackEngine::Options &options, qint64 startNs,
                                                     const Progress &progress)
{
    Written w;
    if (!m_writeBehind) {
        w.status = Written::Status::WriteFailed;
        return w;
    }
    const qint64 packetsBefore = m_packets;
    ScheduledFrames frames(index, options);
    if (!frames.planned()) {
        w.status = Written::Status::Changed;
        return w;
    }
    part_file::reserve(m_file, expectedBytes(index, frames.plan()));
    w.rate = frames.plan().rate;
    w.periodUs = frames.plan().periodUs;
    ScheduledFrames::Frame frame;
    for (ScheduledFrames::Next next; (next = frames.next(&frame, progress)) != ScheduledFrames::Next::End;) {
        if (next != ScheduledFrames::Next::Frame) {
            w.status = next == ScheduledFrames::Next::Cancelled ? Written::Status::Cancelled
                                                                : Written::Status::Changed;
            return w;
        }
        if (qsizetype size = 0; !writeFrame(startNs + frame.timeNs, frame.raw, frame.readable, &size)) {
            w.status = Written::Status::TooLarge;
            w.frame = qint64(index.first()) + frame.entry;
            w.size = size;
            return w;
        }
        ++w.frames;
        if (m_writeBehind->failed()) {
            w.status = Written::Status::WriteFailed;
            return w;
        }
    }
    w.packets = m_packets - packetsBefore;
    w.outOfOrder = frames.outOfOrder();
    w.shortened = frames.shortened();
    return w;
}

bool CaptureWriter::close()
{
    if (!m_dumper)
        return true;
    bool ok = !m_writeBehind || m_writeBehind->finish();
    m_writeBehind.reset();
    ok = pcap_dump_flush(m_dumper) == 0 && !std::ferror(m_file) && part_file::releaseUnused(m_file) && ok;
    pcap_dump_close(m_dumper); // closes the file
    m_dumper = nullptr;
    m_file = nullptr;
    return ok;
}

CaptureWriter::Written CaptureWriter::exportRecording(const QString &file, bool force,
                                                      const FrameIndex &index,
                                                      const PlaybackEngine::Options &options,
                                                      const Endpoints &endpoints, int mtu, qint64 startNs,
                                                      QString *why, const Progress &progress)
{
    Written w;
    w.status = Written::Status::WriteFailed;
    why->clear();
    const QString part = file + ".part";
    std::FILE *stream = part_file::create(file, force, why);
    if (!stream)
        return w;
    // The writer closes its own stream on a copy of the descriptor; the part is finished through the first.
    const int copy = ::dup(fileno(stream));
    std::FILE *own = copy >= 0 ? ::fdopen(copy, "wb") : nullptr;
    if (!own && copy >= 0)
        ::close(copy);
    CaptureWriter writer(endpoints, mtu);
    QString reason;
    if (own && writer.open(own, &reason)) {
        w = writer.writeRecording(index, options, startNs, progress);
        if (!writer.close() && w.status == Written::Status::Ok)
            w.status = Written::Status::WriteFailed;
    }
    if (w.status == Written::Status::Ok && part_file::finish(stream, file, why))
        return w;
    if (w.status == Written::Status::Ok) { // finish() said why and closed the part
        w.status = Written::Status::WriteFailed;
        QFile::remove(part);
    } else {
        part_file::discard(stream, file);
    }
    if (w.status == Written::Status::WriteFailed && why->isEmpty())
        *why = QStringLiteral("writing %1 failed (is the disk full?)").arg(part);
    return w;
}

CaptureWriter::Endpoints CaptureWriter::endpointsFor(quint32 ip, quint16 port)
{
    return route_lookup::endpointsTo(ip, port);
}

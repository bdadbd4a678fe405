#include "capture/capture_writer.h"

#include "ap/ap_socket.h"
#include "capture/route_lookup.h"
#include "capture/scheduled_frames.h"
#include "capture/write_behind.h"
#include "recording/part_file.h"

#include <QFile>
#include <algorithm>
#include <cstring>
#include <pcap/pcap.h>
#include <unistd.h>

using namespace packet_building;

namespace {
constexpr int kSnapshot = 262144; // what tcpdump uses: every packet whole
constexpr size_t kRecordHeader = 16;
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
    const quint32 length = quint32(kEthernetHeader + kIpv4Header + ipDataLength);
    uchar *record = m_writeBehind->reserve(kRecordHeader + length);
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
    const quint16 id = ++m_id;
    if (fitsOnePacket(length, m_mtu)) { // made in its packet
        uchar *ip = packet(timeNs, length);
        std::memcpy(ip + kIpv4Header + kUdpHeader, payload.data(), size_t(payload.size()));
        udpHeader(ip + kIpv4Header, m_endpoints, length);
        ipv4Header(ip, m_endpoints, id, 0, length, false);
        return true;
    }
    uchar *udp = m_datagram.data(); // made apart, then cut into fragments
    std::memcpy(udp + kUdpHeader, payload.data(), size_t(payload.size()));
    udpHeader(udp, m_endpoints, length);
    cutIntoFragments(length, m_mtu, [&](int offset, int dataLength, bool more) {
        uchar *ip = packet(timeNs, dataLength);
        std::memcpy(ip + kIpv4Header, udp + offset, size_t(dataLength));
        ipv4Header(ip, m_endpoints, id, offset, dataLength, more);
    });
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
    w.rate = frames.plan().rate;
    w.periodUs = frames.plan().periodUs;
    ScheduledFrames::Frame frame;
    for (ScheduledFrames::Next next; (next = frames.next(&frame, progress)) != ScheduledFrames::Next::End;) {
        if (next != ScheduledFrames::Next::Frame) {
            w.status = next == ScheduledFrames::Next::Cancelled ? Written::Status::Cancelled
                                                                : Written::Status::Changed;
            return w;
        }
        if (frame.wire.size() > ap_udp_max_payload) {
            w.status = Written::Status::TooLarge;
            w.frame = qint64(index.first()) + frame.entry;
            w.size = frame.wire.size();
            return w;
        }
        write(startNs + frame.timeNs, frame.wire);
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
    ok = pcap_dump_flush(m_dumper) == 0 && !std::ferror(m_file) && ok;
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

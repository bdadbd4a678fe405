#include "capture_writer.h"

#include "playback_schedule.h"

#include <QtEndian>
#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kEthernet = 14;
constexpr int kIpHeader = 20;
constexpr int kUdpHeader = 8;
constexpr int kSnapshot = 262144; // what tcpdump uses: every packet whole
constexpr size_t kFileBuffer = 1 << 20;
constexpr qint64 kBatchBytes = 1 << 20; // of the recording, read at once
// Locally administered addresses: they name no real card.
constexpr uchar kSourceMac[6] = {0x02, 0, 0, 0, 0, 0x01};
constexpr uchar kDestinationMac[6] = {0x02, 0, 0, 0, 0, 0x02};

// The ones' complement sum of the bytes as 16-bit words, not yet folded. Summed in the machine's own byte
// order, 32 bits at a time: folded, the sum then lies in memory as the network order wants it.
quint64 sum(const uchar *p, size_t n, quint64 total = 0)
{
    for (; n >= 4; p += 4, n -= 4) {
        quint32 word;
        std::memcpy(&word, p, 4);
        total += word;
    }
    quint16 half = 0;
    if (n >= 2) {
        std::memcpy(&half, p, 2);
        total += half;
        p += 2;
        n -= 2;
    }
    if (n) {
        half = 0;
        std::memcpy(&half, p, 1);
        total += half;
    }
    return total;
}

// Folds a sum and stores its complement at p as the header wants it; a UDP checksum of 0 means none, so
// there the other form of 0 is stored.
void putChecksum(uchar *p, quint64 total, bool udp)
{
    while (total >> 16)
        total = (total & 0xffff) + (total >> 16);
    quint16 checksum = quint16(~total);
    if (udp && checksum == 0)
        checksum = 0xffff;
    std::memcpy(p, &checksum, 2);
}

void put16(uchar *p, quint16 v)
{
    qToBigEndian(v, p);
}

void put32(uchar *p, quint32 v)
{
    qToBigEndian(v, p);
}

} // namespace

CaptureWriter::CaptureWriter(const Endpoints &endpoints, int mtu)
    : m_endpoints(endpoints), m_mtu(mtu <= 0 ? 0 : qMax(mtu, kLowestMtu)),
      m_datagram(size_t(kUdpHeader + kLargestPayload)), m_packet(size_t(kEthernet + 65535))
{
    // The link header is the same for every packet; a group or broadcast address has its own link address.
    uchar *e = m_packet.data();
    const quint32 to = endpoints.destinationIp;
    if ((to >> 28) == 0xe) {
        const uchar group[6] = {0x01, 0x00, 0x5e, uchar((to >> 16) & 0x7f), uchar(to >> 8), uchar(to)};
        std::memcpy(e, group, 6);
    } else if (to == 0xffffffff) {
        std::memset(e, 0xff, 6);
    } else {
        std::memcpy(e, kDestinationMac, 6);
    }
    std::memcpy(e + 6, kSourceMac, 6);
    put16(e + 12, 0x0800);
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
    m_buffer.resize(kFileBuffer);
    std::setvbuf(file, m_buffer.data(), _IOFBF, m_buffer.size());
    m_dumper = pcap_dump_fopen(m_pcap, file);
    if (!m_dumper) {
        std::fclose(file);
        if (error)
            *error = QString::fromLocal8Bit(pcap_geterr(m_pcap));
        return false;
    }
    m_file = file;
    return true;
}

void CaptureWriter::writePacket(qint64 timeNs, const uchar *data, int ipOffset, int dataLength, bool more)
{
    uchar *ip = m_packet.data() + kEthernet;
    ip[0] = 0x45;
    ip[1] = 0;
    put16(ip + 2, quint16(kIpHeader + dataLength));
    put16(ip + 4, m_id);
    put16(ip + 6, quint16((more ? 0x2000 : 0) | (ipOffset / 8)));
    ip[8] = 64;
    ip[9] = 17;
    put16(ip + 10, 0);
    put32(ip + 12, m_endpoints.sourceIp);
    put32(ip + 16, m_endpoints.destinationIp);
    putChecksum(ip + 10, sum(ip, kIpHeader), false);
    if (data)
        std::memcpy(ip + kIpHeader, data + ipOffset, size_t(dataLength));

    pcap_pkthdr header{};
    header.ts.tv_sec = time_t(timeNs / 1000000000);
    header.ts.tv_usec = suseconds_t(timeNs % 1000000000); // nanoseconds in a nanosecond capture
    header.caplen = header.len = bpf_u_int32(kEthernet + kIpHeader + dataLength);
    pcap_dump(reinterpret_cast<u_char *>(m_dumper), &header, m_packet.data());
    ++m_packets;
}

bool CaptureWriter::write(qint64 timeNs, QByteArrayView payload)
{
    if (payload.size() > kLargestPayload || !m_dumper)
        return false;
    // The datagram is made where a whole packet carries it, and copied out only to be cut into fragments.
    const int length = kUdpHeader + int(payload.size());
    uchar *u = m_packet.data() + kEthernet + kIpHeader;
    put16(u, m_endpoints.sourcePort);
    put16(u + 2, m_endpoints.destinationPort);
    put16(u + 4, quint16(length));
    put16(u + 6, 0);
    std::memcpy(u + kUdpHeader, payload.data(), size_t(payload.size()));
    // Over the pseudo header (addresses, protocol, length) and the whole datagram.
    uchar pseudo[12];
    put32(pseudo, m_endpoints.sourceIp);
    put32(pseudo + 4, m_endpoints.destinationIp);
    put16(pseudo + 8, 17);
    put16(pseudo + 10, quint16(length));
    putChecksum(u + 6, sum(u, size_t(length), sum(pseudo, sizeof pseudo)), true);

    ++m_id;
    if (m_mtu == 0 || kIpHeader + length <= m_mtu) {
        writePacket(timeNs, nullptr, 0, length, false);
        return true;
    }
    // Every fragment but the last carries as much as the MTU leaves, in whole 8-byte units.
    std::memcpy(m_datagram.data(), u, size_t(length));
    const int most = (m_mtu - kIpHeader) & ~7;
    for (int offset = 0; offset < length; offset += most) {
        const int part = qMin(most, length - offset);
        writePacket(timeNs, m_datagram.data(), offset, part, offset + part < length);
    }
    return true;
}

CaptureWriter::Written CaptureWriter::writeRecording(const FrameIndex &index,
                                                     const PlaybackEngine::Options &options, qint64 startNs)
{
    Written w;
    if (!m_dumper) {
        w.status = Written::Status::WriteFailed;
        return w;
    }
    const qint64 packetsBefore = m_packets;
    PlaybackEngine::Plan plan;
    if (!index.unchanged() || !PlaybackEngine::plan(index, options, &plan)) {
        w.status = Written::Status::Changed;
        return w;
    }
    w.rate = plan.rate;
    w.periodUs = plan.periodUs;
    PlaybackSchedule schedule([index](qsizetype k) { return index.frameAtOrAfter(k); }, plan.first, plan.last,
                              false, plan.periodUs, options.speed);
    schedule.start(0);
    qint64 firstDeadline = -1;
    // The wire forms are read a batch of entries at a time, in the order the schedule sends them.
    QByteArray wires;
    std::vector<qsizetype> ends;
    qsizetype batch = 0; // the entry wires begins with
    for (PlaybackSchedule::Step step = schedule.next(); step.kind != PlaybackSchedule::Kind::End;
         schedule.advance(), step = schedule.next()) {
        if (step.kind != PlaybackSchedule::Kind::Send)
            continue;
        if (step.entry < batch || step.entry >= batch + qsizetype(ends.size())) {
            batch = step.entry;
            if (index.wires(batch, kBatchBytes, &wires, &ends) != FrameIndex::Read::Ok) {
                w.status = Written::Status::Changed;
                return w;
            }
        }
        const size_t i = size_t(step.entry - batch);
        const qsizetype begin = i == 0 ? 0 : ends[i - 1];
        const QByteArrayView bytes(wires.constData() + begin, ends[i] - begin);
        if (bytes.size() > kLargestPayload) {
            w.status = Written::Status::TooLarge;
            w.frame = qint64(index.first()) + step.entry;
            w.size = bytes.size();
            return w;
        }
        if (firstDeadline < 0)
            firstDeadline = step.deadline;
        write(startNs + step.deadline - firstDeadline, bytes);
        ++w.frames;
        if (std::ferror(m_file)) {
            w.status = Written::Status::WriteFailed;
            return w;
        }
    }
    w.packets = m_packets - packetsBefore;
    return w;
}

bool CaptureWriter::close()
{
    if (!m_dumper)
        return true;
    const bool ok = pcap_dump_flush(m_dumper) == 0 && !std::ferror(m_file);
    pcap_dump_close(m_dumper); // closes the file
    m_dumper = nullptr;
    m_file = nullptr;
    return ok;
}

CaptureWriter::Endpoints CaptureWriter::endpointsFor(quint32 ip, quint16 port)
{
    Endpoints e;
    e.destinationIp = ip;
    e.destinationPort = port;
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return e;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(ip);
    to.sin_port = htons(port);
    sockaddr_in self{};
    socklen_t length = sizeof self;
    // Connecting a UDP socket sends nothing: it only asks the routing table.
    if (::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&self), &length) == 0 && self.sin_addr.s_addr != 0) {
        e.sourceIp = ntohl(self.sin_addr.s_addr);
        e.sourcePort = ntohs(self.sin_port);
    }
    ::close(fd);
    return e;
}

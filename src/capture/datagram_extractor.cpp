#include "capture/datagram_extractor.h"

#include <pcap/pcap.h>

using packet_decoding::Verdict;

DatagramExtractor::DatagramExtractor(const packet_decoding::LinkType &link, int port,
                                     const CaptureReader::Sink &sink, PortCounts *ports,
                                     const bpf_program *filter)
    : m_link(link), m_port(port), m_sink(sink), m_ports(*ports), m_filter(filter)
{
}

bool DatagramExtractor::passes() const
{
    if (!m_filter)
        return true;
    const auto size = bpf_u_int32(m_filtered.size());
    const pcap_pkthdr header{{0, 0}, size, size};
    return pcap_offline_filter(m_filter, &header, reinterpret_cast<const u_char *>(m_filtered.data())) != 0;
}

bool DatagramExtractor::take(const CaptureFile::Packet &packet)
{
    ++m_stats.packets;
    m_packet = &packet;
    const QByteArrayView ip = m_link.ipPacket(packet.bytes);
    if (ip.isEmpty()) {
        ++m_stats.notUdp;
        return true;
    }
    m_ip = m_filtered = ip;
    return carried(packet_decoding::ip(ip, &m_fragment));
}

bool DatagramExtractor::carried(const packet_decoding::Ip &ip)
{
    switch (ip.verdict) {
    case Verdict::Datagram:
        return datagram(ip.udp);
    case Verdict::Fragment:
        return reassemble();
    case Verdict::NotUdp:
        ++m_stats.notUdp;
        break;
    case Verdict::Malformed:
        ++m_stats.malformed;
        break;
    case Verdict::Short: // cut by the capture's snapshot length, or shorter than its own header says
        if (m_packet->cut)
            cut();
        else
            ++m_stats.malformed;
        break;
    }
    return true;
}

void DatagramExtractor::cut()
{
    ++m_stats.capturedShort;
    // A datagram whose beginning was captured counts for its port, so the port can be chosen and the cut
    // ones said even when none was captured whole.
    const int port = packet_decoding::cutDatagramPort(m_ip);
    if (port < 0 || !passes())
        return;
    m_ports.count(quint16(port));
    if (port == m_port)
        ++m_stats.cutBySnaplen;
}

bool DatagramExtractor::reassemble()
{
    ++m_stats.fragments;
    QByteArrayView whole;
    quint8 protocol = 0;
    if (m_reassembly.add(m_fragment.key, m_fragment.share, m_packet->timeNs, &whole, &protocol) !=
        IpReassembly::Outcome::Complete)
        return true;
    const packet_decoding::Ip ip = m_fragment.key.version == 4
                                       ? packet_decoding::Ip{Verdict::Datagram, whole}
                                       : packet_decoding::ipv6Reassembled(whole, protocol);
    if (ip.verdict == Verdict::Datagram &&
        !packet_decoding::reassembledChecksumHolds(m_fragment.key, ip.udp)) {
        // Fragments of two datagrams under one ID (a fragment lost to the capture): not the sender's.
        ++m_stats.badChecksum;
        return true;
    }
    if (m_filter) {
        packet_decoding::rebuildPacket(m_fragment.key, protocol, whole, &m_rebuilt);
        m_filtered = QByteArrayView(m_rebuilt.data(), qsizetype(m_rebuilt.size()));
    }
    return carried(ip);
}

bool DatagramExtractor::datagram(QByteArrayView udp)
{
    const packet_decoding::Udp u = packet_decoding::udp(udp);
    if (!u.wellFormed) {
        ++m_stats.malformed;
        return true;
    }
    if (u.payload.isEmpty() || !passes())
        return true; // carries nothing, or filtered out
    m_ports.count(u.destinationPort);
    if (u.destinationPort != m_port) {
        ++m_stats.otherPorts;
        return true;
    }
    ++m_stats.datagrams;
    m_stats.bytes += u.payload.size();
    return m_sink(u.payload.data(), u.payload.size(), m_packet->timeNs);
}

CaptureReader::Stats DatagramExtractor::stats() const
{
    CaptureReader::Stats s = m_stats;
    const IpReassembly::Counts &c = m_reassembly.counts();
    s.reassembled = c.reassembled;
    s.incomplete = c.evicted + m_reassembly.pending();
    s.malformed += c.malformed;
    return s;
}

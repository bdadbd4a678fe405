// The UDP datagrams a capture's packets carry, found one packet at a time: each packet decoded through its
// link type, IPv4 or IPv6 and UDP (packet_decoding), fragments put together (IpReassembly), every datagram
// counted by its port and those to one port given to a sink; what carries none is counted by why.
#pragma once

#include "capture/capture_file.h"
#include "capture/capture_reader.h"
#include "capture/ip_reassembly.h"
#include "capture/port_counts.h"

#include <QByteArrayView>

#include "capture/packet_decoding.h"

#include <vector>

struct bpf_program;

class DatagramExtractor
{
public:
    // Gives the payloads of the datagrams to port (-1: none) that pass filter (compiled for raw IP; null:
    // all) to sink, and counts every such datagram in *ports. The filter sees each datagram whole, in the IP
    // packet that carried it or, put together from fragments, in one rebuilt around it.
    DatagramExtractor(const packet_decoding::LinkType &link, int port, const CaptureReader::Sink &sink,
                      PortCounts *ports, const bpf_program *filter = nullptr);

    // False when the sink refused a payload.
    bool take(const CaptureFile::Packet &packet);
    // What the packets taken so far gave; datagrams still incomplete count as such.
    CaptureReader::Stats stats() const;

private:
    bool carried(const packet_decoding::Ip &ip);
    void cut();
    bool reassemble();
    bool datagram(QByteArrayView udp);
    bool passes() const;

    const packet_decoding::LinkType &m_link;
    const int m_port;
    const CaptureReader::Sink &m_sink;
    PortCounts &m_ports;
    IpReassembly m_reassembly;
    CaptureReader::Stats m_stats;
    packet_decoding::Fragment m_fragment;          // the fragment the packet being taken holds
    const CaptureFile::Packet *m_packet = nullptr; // the packet being taken
    QByteArrayView m_ip;                           // its IP packet
    const bpf_program *m_filter;
    QByteArrayView m_filtered;   // the IP packet the filter sees: m_ip, or m_rebuilt
    std::vector<char> m_rebuilt; // around a datagram put together from fragments
};

// A packet capture (pcap in either byte order, nanosecond pcap, pcapng; read through libpcap) as the
// recording it stands for: the payloads of the UDP datagrams to one port, in capture order, concatenated,
// byte for byte what Record would have written had it been listening there. The file is read packet by
// packet (CaptureFile), each decoded (packet_decoding) and its datagram found, IP fragments reassembled
// first (DatagramExtractor, IpReassembly). Link types: Ethernet with 802.1Q and 802.1ad tags, Linux cooked
// v1 and v2, raw IP and the BSD loopback types; IPv4 and IPv6 with their extension headers.
//
// The recording goes to a sink as it is read, so memory stays bounded however long the capture: a pass
// holds libpcap's buffers, a count per port (PortCounts) and the reassembly's bounded store. When the port
// must be chosen and no datagram goes to the preferred one, a second pass writes the chosen port's datagrams.
// Empty datagrams carry nothing and are passed over as Record passes them over.
#pragma once

#include "recording/recording_info.h"

#include <QString>
#include <QtGlobal>
#include <cstdio>
#include <functional>

class CaptureReader
{
public:
    struct Options
    {
        int port = -1;          // the UDP port to take; -1 (or any number that is no port): choose one
        int preferredPort = -1; // taken when any datagram goes to it (the settings' record port); -1: none
        QString filter; // a tcpdump filter expression on IP and UDP that whole datagrams pass; empty: all
    };
    struct Stats
    {
        qint64 packets = 0;     // packets read
        qint64 datagrams = 0;   // UDP datagrams kept: the recording's
        qint64 bytes = 0;       // their payload bytes: the recording's size
        qint64 otherPorts = 0;  // UDP datagrams to other ports, passed over
        qint64 notUdp = 0;      // packets that carry no UDP over IPv4 or IPv6
        qint64 fragments = 0;   // IP fragments read
        qint64 reassembled = 0; // datagrams made whole from fragments
        qint64 incomplete =
            0;                // datagrams missing a fragment: at the end, or dropped beyond the store's limit
        qint64 malformed = 0; // datagrams dropped as damaged: fragments that disagree or exceed 65,535
                              // bytes, lengths their packet cannot hold
        qint64 capturedShort = 0; // datagrams lost as their packets were captured short (snapshot length)
        qint64 badChecksum = 0;   // reassembled datagrams dropped as their UDP checksum fails
        qint64 cutBySnaplen = 0;  // datagrams to the port left out, cut to the capture's snapshot length

        // One line: what was kept, passed over, reassembled and dropped.
        QString summary() const;
    };
    enum class Status
    {
        Ok,
        NotACapture, // the file does not begin as a capture does
        Refused,     // it begins as a capture but libpcap cannot read it (the reason in error)
        Unreadable,  // cannot be opened or read, or is not a regular file
        LinkType,    // a link type without IP packets that this reader knows
        BadFilter,   // the filter expression does not compile (libpcap's reason in error)
        WriteFailed, // the sink refused the bytes
        Cancelled,   // the progress function asked to stop
    };
    struct Result
    {
        Status status = Status::Ok;
        QString error;      // why it failed: one line naming the file
        quint16 port = 0;   // the port taken; 0 when no datagram was there to take
        QString portChoice; // one line: the port and why it was taken
        Stats stats;
        qint64 cutAt = -1; // the file ends, or is damaged, in a packet that begins at this offset, else -1
        QString cutNote;   // one line saying so, with the file and the offset; empty for a whole capture
        int snaplen = 0;   // the capture's snapshot length
        // One line saying how many datagrams to the port the snapshot length cut and left out; empty for
        // none.
        QString snaplenNote() const;

        bool ok() const { return status == Status::Ok; }
        // What the recording's information says of the capture.
        RecordingInfo::CaptureDetails details() const;
    };
    // Takes each kept payload in capture order, with the capture time of the packet that completed it
    // (nanoseconds since the epoch); false (a failed write) ends the read with WriteFailed.
    using Sink = std::function<bool(const char *data, qsizetype size, qint64 timeNs)>;
    // Called about every megabyte of a pass with the bytes read so far and the file's size (a second pass
    // starts again from 0); false ends the read with Cancelled.
    using Progress = std::function<bool(qint64 read, qint64 size)>;

    // True when the file begins as a pcap (either byte order, micro- or nanoseconds) or a pcapng file does:
    // reads its first 12 bytes only, and never blocks (a FIFO or a device is not a capture).
    static bool isCapture(const QString &path);
    // Reads the capture and gives the recording it stands for to sink. A capture cut short inside a packet
    // is read up to the cut and is not a failure (cutAt, cutNote).
    static Result read(const QString &path, const Options &options, const Sink &sink,
                       const Progress &progress = Progress());
    static Sink fileSink(std::FILE *file);
};

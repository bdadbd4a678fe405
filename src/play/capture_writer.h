// Writes UDP/IPv4 datagrams as a capture (nanosecond pcap, Ethernet link type, through libpcap), as they
// would appear on the wire: a datagram larger than the MTU is cut into fragments as Linux cuts it, so the
// file can be sent onto a network as it stands. A recording goes in as the frames a playback would send,
// at the times of the playback schedule.
#pragma once

#include "frame_index.h"
#include "playback_engine.h"

#include <QByteArrayView>
#include <QString>
#include <QtGlobal>
#include <cstdio>
#include <vector>

typedef struct pcap pcap_t;
typedef struct pcap_dumper pcap_dumper_t;

class CaptureWriter
{
public:
    // IPv4 addresses in host byte order.
    struct Endpoints
    {
        quint32 sourceIp = 0x7f000001;
        quint16 sourcePort = 49152;
        quint32 destinationIp = 0x7f000001;
        quint16 destinationPort = 0;
    };
    // What writing a recording gave.
    struct Written
    {
        enum class Status
        {
            Ok,
            Changed,     // the recording changed on disk since it was indexed
            TooLarge,    // a frame's wire form does not fit into a UDP datagram (see frame and size)
            WriteFailed, // the file could not be written
        };
        Status status = Status::Ok;
        qint64 frames = 0;  // frames written
        qint64 packets = 0; // packets written: frames and their further fragments
        float rate = 0;     // the rate of the schedule, and its period
        quint32 periodUs = 0;
        qint64 frame = -1; // the frame number that was too large, and its size on the wire
        qsizetype size = 0;
    };

    static constexpr int kDefaultMtu = 1500;
    static constexpr int kLowestMtu = 68; // what IPv4 requires of every link
    static constexpr int kLargestPayload = 65507;

    // mtu: the largest IP packet on the link; 0 never fragments.
    explicit CaptureWriter(const Endpoints &endpoints, int mtu = kDefaultMtu);
    ~CaptureWriter();
    CaptureWriter(const CaptureWriter &) = delete;
    CaptureWriter &operator=(const CaptureWriter &) = delete;

    // Begins the capture on file, which the writer owns from now on (closed by close() or the destructor);
    // false with the reason in *error when libpcap cannot begin it.
    bool open(std::FILE *file, QString *error = nullptr);
    // One datagram carrying payload, sent at timeNs (nanoseconds since the epoch): one packet, or its
    // fragments. False when the payload does not fit into a UDP datagram.
    bool write(qint64 timeNs, QByteArrayView payload);
    // Writes the frames a single playback of index with options would send, each at its time on the
    // playback schedule, the first at startNs. The wire forms are exactly what playback sends.
    Written writeRecording(const FrameIndex &index, const PlaybackEngine::Options &options, qint64 startNs);
    // Flushes what is buffered and closes the file; false when anything failed to be written.
    bool close();

    // The address and port the system would send from to reach ip:port (a connected UDP socket's own),
    // or 127.0.0.1 with the default source port when it has no route.
    static Endpoints endpointsFor(quint32 ip, quint16 port);

private:
    // One packet of the datagram in data (null: the datagram already in place after the headers).
    void writePacket(qint64 timeNs, const uchar *data, int ipOffset, int dataLength, bool more);

    Endpoints m_endpoints;
    int m_mtu;
    quint16 m_id = 0;
    qint64 m_packets = 0;
    pcap_t *m_pcap = nullptr;
    pcap_dumper_t *m_dumper = nullptr;
    std::FILE *m_file = nullptr;
    std::vector<uchar> m_datagram; // the UDP header and payload of the datagram being written
    std::vector<uchar> m_packet;   // one frame on the link
    std::vector<char> m_buffer;    // the file's stream buffer
};

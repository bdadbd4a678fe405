// Writes UDP/IPv4 datagrams as a capture (nanosecond pcap, Ethernet link type), as they would appear on the
// wire: a datagram larger than the MTU is cut into fragments as Linux cuts it, so the file can be sent onto
// a network as it stands. A recording goes in as the frames a playback would send, at the times of the
// playback schedule: at a fixed rate or at the recorded times.
//
// libpcap writes the file header; the packets (packet_building), each behind the record header libpcap's
// pcap_dump would write (host byte order), are made in place in large blocks that a thread hands to the
// file while the next block is made (WriteBehind), so making the packets and the kernel's copying overlap.
// A recording's frames are read a small batch at a time (ScheduledFrames) and each frame's wire form is made
// straight where its packet's payload goes, its headers then put in front of it.
#pragma once

#include "capture/packet_building.h"
#include "play/playback_engine.h"
#include "recording/frame_index.h"

#include <QByteArrayView>
#include <QString>
#include <QtGlobal>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

class WriteBehind;
typedef struct pcap pcap_t;
typedef struct pcap_dumper pcap_dumper_t;

class CaptureWriter
{
public:
    using Endpoints = packet_building::Endpoints;
    // What writing a recording gave.
    struct Written
    {
        enum class Status
        {
            Ok,
            Changed,     // the recording changed on disk since it was indexed
            TooLarge,    // a frame's wire form does not fit into a UDP datagram (see frame and size)
            WriteFailed, // the file could not be written (exportRecording: the reason in its why)
            Cancelled,   // the progress function asked to stop
        };
        Status status = Status::Ok;
        qint64 frames = 0;  // frames written
        qint64 packets = 0; // packets written: frames and their further fragments
        float rate = 0;     // the rate of the schedule, and its period
        quint32 periodUs = 0;
        qint64 outOfOrder = 0; // recorded timing: timestamps that stepped back, gaps shortened
        qint64 shortened = 0;
        qint64 frame = -1; // the frame number that was too large, and its size on the wire
        qsizetype size = 0;
    };

    static constexpr int kDefaultMtu = 1500;
    static constexpr int kLowestMtu = 68; // what IPv4 requires of every link

    // Called about every megabyte of a recording with the entries written so far and the entries to
    // write; false ends the writing with Cancelled.
    using Progress = std::function<bool(qint64 done, qint64 total)>;

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
    Written writeRecording(const FrameIndex &index, const PlaybackEngine::Options &options, qint64 startNs,
                           const Progress &progress = Progress());
    // Flushes what is buffered and closes the file; false when anything failed to be written.
    bool close();

    // writeRecording into file, through file.part renamed to file once it is whole (part_file; force
    // replaces a file.part left from before). On any failure the part is removed; a failure of the file
    // itself is WriteFailed with the reason, naming the file, in *why.
    static Written exportRecording(const QString &file, bool force, const FrameIndex &index,
                                   const PlaybackEngine::Options &options, const Endpoints &endpoints,
                                   int mtu, qint64 startNs, QString *why,
                                   const Progress &progress = Progress());

    // The address and port the system would send from to reach ip:port (a connected UDP socket's own),
    // or 127.0.0.1 with the default source port when it has no route.
    static Endpoints endpointsFor(quint32 ip, quint16 port);

private:
    // Room for one packet of ipDataLength bytes after its IP header, its record and link headers written:
    // where its IP header goes.
    uchar *packet(qint64 timeNs, int ipDataLength);
    // The record and link headers of such a packet at record: where its IP header goes.
    uchar *headPacket(uchar *record, qint64 timeNs, int ipDataLength);
    // The datagram of length bytes in m_datagram (its payload after the UDP header) cut into fragments.
    void writeFragments(qint64 timeNs, int length);
    // A frame of a recording from its bytes in the file (FrameIndex::putWire()), as write() writes its wire
    // form; false when that does not fit into a UDP datagram, *size the wire form's size.
    bool writeFrame(qint64 timeNs, QByteArrayView raw, const char *readable, qsizetype *size);

    Endpoints m_endpoints;
    int m_mtu;
    quint16 m_id = 0;
    qint64 m_packets = 0;
    pcap_t *m_pcap = nullptr;
    pcap_dumper_t *m_dumper = nullptr;
    std::FILE *m_file = nullptr;
    std::unique_ptr<WriteBehind> m_writeBehind;
    uchar m_link[packet_building::kEthernetHeader]; // the same for every packet
    std::vector<uchar> m_datagram; // the UDP header and payload of a datagram to be cut into fragments
};

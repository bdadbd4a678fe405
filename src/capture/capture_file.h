// A capture file read through libpcap, packet by packet: opened only when it is a regular file that begins
// as a capture and holds a link type whose IP packets can be decoded, with a filter expression compiled for
// its datagrams, and the offset where the last whole packet ends, so a file cut inside a packet is read up
// to the cut.
#pragma once

#include "capture/capture_reader.h"

#include <QByteArrayView>
#include <QString>
#include <cstdio>
#include <memory>
#include <vector>

typedef struct pcap pcap_t;
struct bpf_program;
namespace packet_decoding {
struct LinkType;
}

class CaptureFile
{
public:
    struct Packet
    {
        QByteArrayView bytes; // as captured
        qint64 timeNs = 0;    // capture time, nanoseconds since the epoch
        bool cut = false;     // captured shorter than it was (the capture's snapshot length)
    };

    CaptureFile(const QString &path, const CaptureReader::Progress &progress);
    ~CaptureFile();
    CaptureFile(const CaptureFile &) = delete;
    CaptureFile &operator=(const CaptureFile &) = delete;

    // Opens the file; false with the status and the reason in *r.
    bool open(const QString &filter, CaptureReader::Result *r);
    const packet_decoding::LinkType &linkType() const { return *m_link; }
    int snaplen() const;
    // The filter, compiled for raw IP packets; null for none.
    const bpf_program *filter() const { return m_filter.get(); }
    // The next packet that passes the filter, valid until the next call; false at the end of the file, with
    // *r saying why when the end is not the file's: a cut (not a failure), a damaged file, a cancel.
    bool next(Packet *packet, CaptureReader::Result *r);

    // What isCaptureStart() needs: pcapng's first block type, its length and its byte-order magic.
    static constexpr int kStartBytes = 12;

    // True when the first bytes of a file are those of a pcap (either byte order, micro- or nanoseconds, the
    // modified format) or a pcapng file.
    static bool isCaptureStart(const uchar *bytes, qint64 size);
    // Opens a regular file for reading without blocking on a FIFO or a device; -1 when it is none.
    static int openRegular(const QString &path);

private:
    bool openStream(CaptureReader::Result *r);
    bool compileFilter(const QString &filter, CaptureReader::Result *r);
    void endOfPackets(int got, CaptureReader::Result *r) const;

    QString m_path;
    const CaptureReader::Progress &m_progress;
    std::FILE *m_file = nullptr;
    std::vector<char> m_buffer;
    pcap_t *m_pcap = nullptr;
    const packet_decoding::LinkType *m_link = nullptr;
    std::unique_ptr<bpf_program> m_filter; // when there is a filter
    qint64 m_size = 0;                     // the file's
    qint64 m_end = 0;                      // where the last whole packet ends
    qint64 m_read = 0;                     // packets read, filtered out or not
    qint64 m_reported = 0;                 // m_end when progress was last reported
};

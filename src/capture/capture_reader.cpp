#include "capture/capture_reader.h"

#include "capture/ip_reassembly.h"

#include <QFile>
#include <QIODevice>
#include <QJsonObject>
#include <QtEndian>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <pcap/pcap.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t kReadBuffer = 256 * 1024;
constexpr qint64 kProgressStep = 1 << 20;
constexpr int kUdp = 17;

quint16 be16(const uchar *p)
{
    return qFromBigEndian<quint16>(p);
}

quint32 be32(const uchar *p)
{
    return qFromBigEndian<quint32>(p);
}

// Opens a regular file for reading without blocking on a FIFO or a device; -1 when it is none.
int openRegular(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool isCaptureStart(const uchar *b, qint64 n)
{
    if (n < 4)
        return false;
    const quint32 magic = qFromLittleEndian<quint32>(b);
    for (quint32 pcap : {0xa1b2c3d4u, 0xa1b23c4du, 0xa1b2cd34u}) // micro-, nanoseconds, the modified format
        if (magic == pcap || magic == qbswap(pcap))
            return true;
    // pcapng's first block, whose type also reads as line ends: its byte-order magic must follow too.
    return magic == 0x0a0d0d0a && n >= 12 &&
           (qFromLittleEndian<quint32>(b + 8) == 0x1a2b3c4d || qFromBigEndian<quint32>(b + 8) == 0x1a2b3c4d);
}

// Where the IP packet of a link-layer frame begins, or -1 when it carries neither IPv4 nor IPv6.
int ipOffset(int linkType, const uchar *d, int n)
{
    int type = -1, at = 0; // the EtherType and where what it names begins
    switch (linkType) {
    case DLT_EN10MB:
        if (n < 14)
            return -1;
        type = be16(d + 12);
        at = 14;
        break;
    case DLT_LINUX_SLL:
        if (n < 16)
            return -1;
        type = be16(d + 14);
        at = 16;
        break;
    case DLT_LINUX_SLL2:
        if (n < 20)
            return -1;
        type = be16(d);
        at = 20;
        break;
    case DLT_NULL:
    case DLT_LOOP: {
        // The address family in the capturing machine's byte order (DLT_NULL): AF_INET is 2 everywhere,
        // AF_INET6 differs from system to system.
        if (n < 4)
            return -1;
        for (quint32 family : {qFromLittleEndian<quint32>(d), qFromBigEndian<quint32>(d)})
            if (family == 2 || family == 10 || family == 24 || family == 28 || family == 30)
                return 4;
        return -1;
    }
    default: // raw IP
        return 0;
    }
    while ((type == 0x8100 || type == 0x88a8 || type == 0x9100) && at + 4 <= n) {
        type = be16(d + at + 2);
        at += 4;
    }
    return type == 0x0800 || type == 0x86dd ? at : -1;
}

bool readsLinkType(int linkType)
{
    for (int known :
         {DLT_EN10MB, DLT_LINUX_SLL, DLT_LINUX_SLL2, DLT_NULL, DLT_LOOP, DLT_RAW, DLT_IPV4, DLT_IPV6})
        if (linkType == known)
            return true;
    return false;
}

// One pass over a capture: every UDP datagram counted by its port, those to writePort given to the sink.
class Pass
{
public:
    Pass(int writePort, const CaptureReader::Sink &sink, const CaptureReader::Progress &progress)
        : m_writePort(writePort), m_sink(sink), m_progress(progress), m_perPort(65536, 0)
    {
    }
    ~Pass()
    {
        if (m_filtered)
            pcap_freecode(&m_filter);
        if (m_pcap)
            pcap_close(m_pcap); // closes the stream too
        else if (m_file)
            std::fclose(m_file);
    }

    CaptureReader::Result run(const QString &path, const QString &filter);
    qint64 datagramsTo(int port) const { return m_perPort[size_t(port)]; }
    qint64 udpDatagrams() const { return m_udp; }
    // The port most datagrams go to (the lowest of equals), or -1.
    int busiestPort() const;

private:
    bool open(const QString &path, const QString &filter, CaptureReader::Result *r);
    bool packet(const uchar *d, int n);
    bool ip(const uchar *d, int n);
    bool walk6(const uchar *d, int pos, int end, int next, const uchar *header, bool inFragment);
    bool udp(const uchar *d, int n);
    bool shortPacket();

    int m_writePort;
    const CaptureReader::Sink &m_sink;
    const CaptureReader::Progress &m_progress;
    std::FILE *m_file = nullptr;
    std::vector<char> m_buffer;
    pcap_t *m_pcap = nullptr;
    int m_link = -1;
    std::vector<qint64> m_perPort;
    qint64 m_timeNs = 0; // the capture time of the packet read last
    qint64 m_udp = 0;
    CaptureReader::Stats m_stats;
    IpReassembly m_reassembly;
    bool m_writeFailed = false;
    bool m_cut = false; // the packet read last was captured shorter than it was
    bpf_program m_filter{};
    bool m_filtered = false;
};

int Pass::busiestPort() const
{
    int best = -1;
    for (int port = 0; port < 65536; ++port)
        if (m_perPort[size_t(port)] > 0 && (best < 0 || m_perPort[size_t(port)] > m_perPort[size_t(best)]))
            best = port;
    return best;
}

bool Pass::open(const QString &path, const QString &filter, CaptureReader::Result *r)
{
    const int fd = openRegular(path);
    if (fd < 0 || !(m_file = ::fdopen(fd, "rb"))) {
        if (fd >= 0)
            ::close(fd);
        r->status = CaptureReader::Status::Unreadable;
        r->error = QStringLiteral("%1 cannot be opened as a file").arg(path);
        return false;
    }
    m_buffer.resize(kReadBuffer);
    std::setvbuf(m_file, m_buffer.data(), _IOFBF, m_buffer.size());
    uchar start[12];
    const size_t got = std::fread(start, 1, sizeof start, m_file);
    if (!isCaptureStart(start, qint64(got))) {
        r->status = CaptureReader::Status::NotACapture;
        r->error = QStringLiteral("%1 is not a capture (pcap or pcapng)").arg(path);
        return false;
    }
    std::rewind(m_file);
    char message[PCAP_ERRBUF_SIZE] = "";
    m_pcap = pcap_fopen_offline_with_tstamp_precision(m_file, PCAP_TSTAMP_PRECISION_NANO, message);
    if (!m_pcap) {
        r->status = CaptureReader::Status::Refused;
        r->error =
            QStringLiteral("%1 cannot be read as a capture: %2").arg(path, QString::fromLocal8Bit(message));
        return false;
    }
    m_link = pcap_datalink(m_pcap);
    if (!readsLinkType(m_link)) {
        const char *name = pcap_datalink_val_to_name(m_link);
        r->status = CaptureReader::Status::LinkType;
        r->error = QStringLiteral("%1 holds packets of link type %2 (%3); Ethernet, Linux cooked, raw IP and "
                                  "BSD loopback captures can be read")
                       .arg(path, QString::fromLatin1(name ? name : "unknown"))
                       .arg(m_link);
        return false;
    }
    // Applied here rather than inside libpcap, which would pass over packets unseen: every packet read moves
    // the offset a cut is reported at.
    if (!filter.isEmpty()) {
        if (pcap_compile(m_pcap, &m_filter, filter.toLocal8Bit().constData(), 1, PCAP_NETMASK_UNKNOWN) != 0) {
            r->status = CaptureReader::Status::BadFilter;
            r->error =
                QStringLiteral("filter \"%1\": %2").arg(filter, QString::fromLocal8Bit(pcap_geterr(m_pcap)));
            return false;
        }
        m_filtered = true;
    }
    return true;
}

CaptureReader::Result Pass::run(const QString &path, const QString &filter)
{
    CaptureReader::Result r;
    if (!open(path, filter, &r))
        return r;
    qint64 end = std::ftell(m_file); // where the last whole packet ends
    qint64 read = 0;
    struct stat st;
    const qint64 size = ::fstat(fileno(m_file), &st) == 0 ? qint64(st.st_size) : 0;
    qint64 reported = 0;
    for (;;) {
        pcap_pkthdr *header = nullptr;
        const u_char *data = nullptr;
        const int got = pcap_next_ex(m_pcap, &header, &data);
        if (got == 1) {
            ++read;
            end = std::ftell(m_file);
            if (m_progress && end - reported >= kProgressStep) {
                reported = end;
                if (!m_progress(end, size)) {
                    r.status = CaptureReader::Status::Cancelled;
                    r.error = QStringLiteral("reading %1 was cancelled").arg(path);
                    return r;
                }
            }
            if (m_filtered && pcap_offline_filter(&m_filter, header, data) == 0)
                continue;
            ++m_stats.packets;
            m_cut = header->caplen < header->len;
            // Opened with nanosecond precision: the field holds nanoseconds.
            m_timeNs = qint64(header->ts.tv_sec) * 1000000000 + qint64(header->ts.tv_usec);
            if (!packet(data, int(header->caplen)))
                break;
            continue;
        }
        if (got == PCAP_ERROR && std::feof(m_file)) {
            r.cutAt = end;
            r.cutNote = QStringLiteral("%1 is cut short: it ends inside a packet at byte %2; the %3 packets "
                                       "before it were read")
                            .arg(path)
                            .arg(end)
                            .arg(read);
        } else if (got == PCAP_ERROR) {
            r.status = CaptureReader::Status::Unreadable;
            r.error = QStringLiteral("%1 cannot be read after byte %2: %3")
                          .arg(path)
                          .arg(end)
                          .arg(QString::fromLocal8Bit(pcap_geterr(m_pcap)));
        }
        break;
    }
    if (m_writeFailed) {
        r.status = CaptureReader::Status::WriteFailed;
        r.error = QStringLiteral("the recording of %1 could not be written").arg(path);
    }
    const IpReassembly::Counts &c = m_reassembly.counts();
    m_stats.reassembled = c.reassembled;
    m_stats.incomplete = c.evicted + m_reassembly.pending();
    m_stats.malformed += c.malformed;
    r.stats = m_stats;
    return r;
}

bool Pass::shortPacket()
{
    // Cut by the capture's snapshot length, or shorter than its own header says.
    ++(m_cut ? m_stats.capturedShort : m_stats.malformed);
    return true;
}

bool Pass::packet(const uchar *d, int n)
{
    const int at = ipOffset(m_link, d, n);
    if (at < 0 || at >= n) {
        ++m_stats.notUdp;
        return true;
    }
    return ip(d + at, n - at);
}

bool Pass::ip(const uchar *d, int n)
{
    if ((d[0] >> 4) == 6) {
        if (n < 40)
            return shortPacket();
        const int end = 40 + be16(d + 4);
        if (be16(d + 4) == 0) { // a jumbogram: beyond what a UDP socket takes
            ++m_stats.notUdp;
            return true;
        }
        if (end > n)
            return shortPacket();
        return walk6(d, 40, end, d[6], d, false);
    }
    if ((d[0] >> 4) != 4) {
        ++m_stats.notUdp;
        return true;
    }
    if (n < 20)
        return shortPacket();
    const int headerLength = (d[0] & 15) * 4;
    const int total = be16(d + 2);
    if (headerLength < 20 || total < headerLength) {
        ++m_stats.malformed;
        return true;
    }
    if (total > n)
        return shortPacket();
    if (d[9] != kUdp) {
        ++m_stats.notUdp;
        return true;
    }
    const int flags = be16(d + 6);
    const int offset = (flags & 0x1fff) * 8;
    const bool more = (flags & 0x2000) != 0;
    if (offset == 0 && !more)
        return udp(d + headerLength, total - headerLength);
    ++m_stats.fragments;
    IpReassembly::Key key;
    key.version = 4;
    key.protocol = d[9];
    key.id = be16(d + 4);
    std::memcpy(key.source.data(), d + 12, 4);
    std::memcpy(key.destination.data(), d + 16, 4);
    IpReassembly::Fragment fragment;
    fragment.offset = offset;
    fragment.more = more;
    fragment.data = QByteArrayView(d + headerLength, total - headerLength);
    fragment.limit = 65535 - headerLength;
    fragment.protocol = d[9];
    QByteArrayView whole;
    quint8 protocol = 0;
    if (m_reassembly.add(key, fragment, &whole, &protocol) != IpReassembly::Outcome::Complete)
        return true;
    return udp(reinterpret_cast<const uchar *>(whole.data()), int(whole.size()));
}

// Walks IPv6 extension headers from pos to the UDP header; a fragment header hands the rest to the
// reassembly, and a whole datagram comes back here (inFragment) to walk what its payload begins with.
bool Pass::walk6(const uchar *d, int pos, int end, int next, const uchar *header, bool inFragment)
{
    for (;;) {
        if (next == kUdp)
            return udp(d + pos, end - pos);
        if (next == 44 && !inFragment) { // fragment header
            if (pos + 8 > end)
                break;
            const int field = be16(d + pos + 2);
            const int offset = field & 0xfff8;
            const bool more = (field & 1) != 0;
            if (offset == 0 && !more) { // an atomic fragment: a whole datagram
                next = d[pos];
                pos += 8;
                continue;
            }
            ++m_stats.fragments;
            IpReassembly::Key key;
            key.version = 6;
            key.id = be32(d + pos + 4);
            std::memcpy(key.source.data(), header + 8, 16);
            std::memcpy(key.destination.data(), header + 24, 16);
            IpReassembly::Fragment fragment;
            fragment.offset = offset;
            fragment.more = more;
            fragment.data = QByteArrayView(d + pos + 8, end - pos - 8);
            fragment.limit = 65535 - (pos - 40); // the headers before this one stay in the datagram
            fragment.protocol = d[pos];
            QByteArrayView whole;
            quint8 protocol = 0;
            if (m_reassembly.add(key, fragment, &whole, &protocol) != IpReassembly::Outcome::Complete)
                return true;
            return walk6(reinterpret_cast<const uchar *>(whole.data()), 0, int(whole.size()), protocol,
                         header, true);
        }
        int length = 0;
        if (next == 0 || next == 43 || next == 60 || next == 135 || next == 139 || next == 140)
            length = pos + 2 <= end ? (d[pos + 1] + 1) * 8 : 0;
        else if (next == 51) // authentication header: its length counts 4-byte words
            length = pos + 2 <= end ? (d[pos + 1] + 2) * 4 : 0;
        else {
            ++m_stats.notUdp;
            return true;
        }
        if (length == 0 || pos + length > end)
            break;
        next = d[pos];
        pos += length;
    }
    ++m_stats.malformed;
    return true;
}

bool Pass::udp(const uchar *d, int n)
{
    const int length = n >= 8 ? be16(d + 4) : 0;
    if (length < 8 || length > n) {
        ++m_stats.malformed;
        return true;
    }
    if (length == 8)
        return true; // carries nothing
    const int port = be16(d + 2);
    ++m_perPort[size_t(port)];
    ++m_udp;
    if (port != m_writePort) {
        ++m_stats.otherPorts;
        return true;
    }
    ++m_stats.datagrams;
    m_stats.bytes += length - 8;
    if (m_sink(reinterpret_cast<const char *>(d + 8), length - 8, m_timeNs))
        return true;
    m_writeFailed = true;
    return false;
}

} // namespace

QString CaptureReader::Stats::summary() const
{
    QString text = QStringLiteral("%1 datagrams kept (%2 bytes), %3 to other ports passed over")
                       .arg(datagrams)
                       .arg(bytes)
                       .arg(otherPorts);
    if (fragments > 0)
        text +=
            QStringLiteral(", %1 fragments read, %2 datagrams reassembled").arg(fragments).arg(reassembled);
    if (incomplete > 0 || malformed > 0)
        text += QStringLiteral(", %1 incomplete and %2 malformed datagrams dropped")
                    .arg(incomplete)
                    .arg(malformed);
    if (capturedShort > 0)
        text += QStringLiteral(", %1 packets captured short").arg(capturedShort);
    return text;
}

RecordingInfo::CaptureDetails CaptureReader::Result::details() const
{
    RecordingInfo::CaptureDetails d;
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
                         {"cut_at", cutAt >= 0 ? QJsonValue(cutAt) : QJsonValue()}};
    return d;
}

bool CaptureReader::isCapture(const QString &path)
{
    const int fd = openRegular(path);
    if (fd < 0)
        return false;
    uchar start[12];
    qint64 got = 0;
    while (got < qint64(sizeof start)) {
        const ssize_t n = ::read(fd, start + got, sizeof start - size_t(got));
        if (n <= 0)
            break;
        got += n;
    }
    ::close(fd);
    return isCaptureStart(start, got);
}

CaptureReader::Result CaptureReader::read(const QString &path, const Options &options, const Sink &sink,
                                          const Progress &progress)
{
    const auto port = [](int p) { return p >= 0 && p <= 65535 ? p : -1; };
    const int asked = port(options.port);
    // The port to write while counting; the choice is known at the end of this pass.
    const int first = asked >= 0 ? asked : port(options.preferredPort);
    Pass pass(first, sink, progress);
    Result r = pass.run(path, options.filter);
    if (!r.ok())
        return r;
    const qint64 all = pass.udpDatagrams();
    const auto choice = [&](int port, const char *why) {
        r.port = quint16(port);
        r.portChoice = QStringLiteral("UDP port %1, %2 (%3 of %4 datagrams)")
                           .arg(port)
                           .arg(QLatin1String(why))
                           .arg(r.stats.datagrams)
                           .arg(all);
    };
    if (asked >= 0) {
        choice(asked, "as asked");
    } else if (first >= 0 && pass.datagramsTo(first) > 0) {
        choice(first, "the record port of the settings");
    } else if (const int busiest = pass.busiestPort(); busiest >= 0) {
        Pass second(busiest, sink, progress);
        r = second.run(path, options.filter);
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

CaptureReader::Sink CaptureReader::deviceSink(QIODevice *device)
{
    return [device](const char *data, qsizetype size, qint64) { return device->write(data, size) == size; };
}

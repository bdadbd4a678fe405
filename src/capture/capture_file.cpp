#include "capture/capture_file.h"

#include "capture/packet_decoding.h"

#include <QFile>
#include <QRegularExpression>
#include <QtEndian>
#include <algorithm>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <pcap/pcap.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t kReadBuffer = 256 * 1024;
constexpr qint64 kProgressStep = 1 << 20;

constexpr quint32 kPcapMagics[] = {0xa1b2c3d4u, 0xa1b23c4du, 0xa1b2cd34u}; // micro-, nanoseconds, modified
constexpr quint32 kPcapngSectionHeader = 0x0a0d0d0a;
constexpr quint32 kPcapngByteOrderMagic = 0x1a2b3c4d;
constexpr int kPcapngByteOrderAt = 8;

} // namespace

CaptureFile::CaptureFile(const QString &path, const CaptureReader::Progress &progress)
    : m_path(path), m_progress(progress)
{
}

CaptureFile::~CaptureFile()
{
    if (m_filter)
        pcap_freecode(m_filter.get());
    if (m_pcap)
        pcap_close(m_pcap); // closes the stream too
    else if (m_file)
        std::fclose(m_file);
}

int CaptureFile::openRegular(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool CaptureFile::isCaptureStart(const uchar *b, qint64 n)
{
    if (n < 4)
        return false;
    const quint32 magic = qFromLittleEndian<quint32>(b);
    for (quint32 pcap : kPcapMagics)
        if (magic == pcap || magic == qbswap(pcap))
            return true;
    // pcapng's first block, whose type also reads as line ends: its byte-order magic must follow too.
    return magic == kPcapngSectionHeader && n >= kPcapngByteOrderAt + 4 &&
           (qFromLittleEndian<quint32>(b + kPcapngByteOrderAt) == kPcapngByteOrderMagic ||
            qFromBigEndian<quint32>(b + kPcapngByteOrderAt) == kPcapngByteOrderMagic);
}

int CaptureFile::snaplen() const
{
    return pcap_snapshot(m_pcap);
}

bool CaptureFile::open(const QString &filter, CaptureReader::Result *r)
{
    if (!openStream(r))
        return false;
    m_link = packet_decoding::linkType(pcap_datalink(m_pcap));
    if (!m_link) {
        const int link = pcap_datalink(m_pcap);
        const char *name = pcap_datalink_val_to_name(link);
        r->status = CaptureReader::Status::LinkType;
        r->error = QStringLiteral("%1 holds packets of link type %2 (%3); Ethernet, Linux cooked, raw IP and "
                                  "BSD loopback captures can be read")
                       .arg(m_path, QString::fromLatin1(name ? name : "unknown"))
                       .arg(link);
        return false;
    }
    if (!compileFilter(filter, r))
        return false;
    m_end = std::ftell(m_file);
    struct stat st;
    m_size = ::fstat(fileno(m_file), &st) == 0 ? qint64(st.st_size) : 0;
    return true;
}

bool CaptureFile::openStream(CaptureReader::Result *r)
{
    const int fd = openRegular(m_path);
    if (fd < 0 || !(m_file = ::fdopen(fd, "rb"))) {
        if (fd >= 0)
            ::close(fd);
        r->status = CaptureReader::Status::Unreadable;
        r->error = QStringLiteral("%1 cannot be opened as a file").arg(m_path);
        return false;
    }
    m_buffer.resize(kReadBuffer);
    std::setvbuf(m_file, m_buffer.data(), _IOFBF, m_buffer.size());
    uchar start[kStartBytes];
    const size_t got = std::fread(start, 1, sizeof start, m_file);
    if (!isCaptureStart(start, qint64(got))) {
        r->status = CaptureReader::Status::NotACapture;
        r->error = QStringLiteral("%1 is not a capture (pcap or pcapng)").arg(m_path);
        return false;
    }
    std::rewind(m_file);
    char message[PCAP_ERRBUF_SIZE] = "";
    m_pcap = pcap_fopen_offline_with_tstamp_precision(m_file, PCAP_TSTAMP_PRECISION_NANO, message);
    if (!m_pcap) {
        r->status = CaptureReader::Status::Refused;
        r->error =
            QStringLiteral("%1 cannot be read as a capture: %2").arg(m_path, QString::fromLocal8Bit(message));
        return false;
    }
    return true;
}

// For whole datagrams in raw IP packets, not for the captured packets: a fragment after the first carries no
// UDP header, so "udp port 5000" would pass over every fragmented datagram.
bool CaptureFile::compileFilter(const QString &filter, CaptureReader::Result *r)
{
    if (filter.isEmpty())
        return true;
    auto program = std::make_unique<bpf_program>();
    pcap_t *rawIp = pcap_open_dead(DLT_RAW, 65535);
    const bool compiled = rawIp && pcap_compile(rawIp, program.get(), filter.toLocal8Bit().constData(), 1,
                                                PCAP_NETMASK_UNKNOWN) == 0;
    if (!compiled) {
        r->status = CaptureReader::Status::BadFilter;
        r->error = QStringLiteral("filter \"%1\": %2")
                       .arg(filter, rawIp ? QString::fromLocal8Bit(pcap_geterr(rawIp)) : QString());
    } else {
        m_filter = std::move(program);
    }
    if (rawIp)
        pcap_close(rawIp);
    return compiled;
}

bool CaptureFile::next(Packet *packet, CaptureReader::Result *r)
{
    for (;;) {
        pcap_pkthdr *header = nullptr;
        const u_char *data = nullptr;
        const int got = pcap_next_ex(m_pcap, &header, &data);
        if (got != 1) {
            endOfPackets(got, r);
            return false;
        }
        ++m_read;
        m_end = std::ftell(m_file);
        if (m_progress && m_end - m_reported >= kProgressStep) {
            m_reported = m_end;
            if (!m_progress(m_end, m_size)) {
                r->status = CaptureReader::Status::Cancelled;
                r->error = QStringLiteral("reading %1 was cancelled").arg(m_path);
                return false;
            }
        }
        packet->bytes = QByteArrayView(data, qsizetype(header->caplen));
        packet->cut = header->caplen < header->len;
        // Opened with nanosecond precision: the field holds nanoseconds. A damaged or hostile
        // timestamp is clamped to what nanoseconds since 1970 can hold (about 292 years either way).
        constexpr qint64 kMaxSeconds = std::numeric_limits<qint64>::max() / 1000000000 - 1;
        const qint64 seconds = std::clamp<qint64>(qint64(header->ts.tv_sec), -kMaxSeconds, kMaxSeconds);
        packet->timeNs = seconds * 1000000000 + qint64(header->ts.tv_usec) % 1000000000;
        return true;
    }
}

namespace {

QString linkTypeWords(int type)
{
    const char *words = pcap_datalink_val_to_description(type);
    return words ? QString::fromLatin1(words) : QStringLiteral("link type %1").arg(type);
}

} // namespace

void CaptureFile::endOfPackets(int got, CaptureReader::Result *r) const
{
    if (got != PCAP_ERROR)
        return;
    const QString reason = QString::fromLocal8Bit(pcap_geterr(m_pcap));
    // libpcap reads one link type a file: a pcapng of several (dumpcap -i A -i B, mergecap) ends here.
    static const QRegularExpression otherType(
        QStringLiteral("^an interface has a type (\\d+) different from the type of the first interface"));
    if (const QRegularExpressionMatch other = otherType.match(reason); other.hasMatch()) {
        r->status = CaptureReader::Status::Refused;
        r->error =
            QStringLiteral("%1 holds interfaces of different link types (%2, then %3), which cannot be "
                           "read as one capture; split it by interface first: tshark -r %1 -Y "
                           "frame.interface_id==0 -w OUT")
                .arg(m_path, linkTypeWords(pcap_datalink(m_pcap)), linkTypeWords(other.captured(1).toInt()));
        return;
    }
    if (std::ferror(m_file)) {
        r->status = CaptureReader::Status::Unreadable;
        r->error = QStringLiteral("%1 cannot be read after byte %2: %3").arg(m_path).arg(m_end).arg(reason);
        return;
    }
    // Cut short, or damaged after whole packets (a record header no capture writes, two captures joined
    // with cat): the packets before are kept, as far as they go.
    r->cutAt = m_end;
    r->cutNote = std::feof(m_file) ? QStringLiteral("%1 is cut short: it ends inside a packet at byte %2; "
                                                    "the %3 packets before it were read")
                                         .arg(m_path)
                                         .arg(m_end)
                                         .arg(m_read)
                                   : QStringLiteral("%1 is damaged at byte %2 (%3); the %4 packets before "
                                                    "it were read")
                                         .arg(m_path)
                                         .arg(m_end)
                                         .arg(reason)
                                         .arg(m_read);
}

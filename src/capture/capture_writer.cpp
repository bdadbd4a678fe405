#include "capture/capture_writer.h"

#include "ap/ap_socket.h"
#include "play/playback_schedule.h"
#include "recording/part_file.h"
#include "recording/wire_reader.h"

#include <QFile>
#include <QtEndian>
#include <arpa/inet.h>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int kEthernet = 14;
constexpr int kIpHeader = 20;
constexpr int kUdpHeader = 8;
constexpr int kSnapshot = 262144; // what tcpdump uses: every packet whole
constexpr size_t kRecordHeader = 16;
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

// Writing behind the writer: it makes packets in one of two blocks while a thread writes the other to the
// file.
class CaptureWriter::WriteBehind
{
public:
    explicit WriteBehind(std::FILE *file) : m_file(file)
    {
        for (std::vector<uchar> &block : m_block)
            block.resize(kBlock);
        m_thread = std::thread([this] { run(); });
    }
    ~WriteBehind() { finish(); }

    // Room for bytes in the block being made; a full block is handed to the thread first.
    uchar *reserve(size_t bytes)
    {
        if (m_used + bytes > kBlock)
            handOver();
        uchar *at = m_block[m_current].data() + m_used;
        m_used += bytes;
        return at;
    }
    // Writes what was made and ends the thread: false when any write failed.
    bool finish()
    {
        if (m_thread.joinable()) {
            handOver();
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_idle.wait(lock, [this] { return m_pending == 0; });
                m_stop = true;
            }
            m_wake.notify_one();
            m_thread.join();
        }
        return !m_failed.load();
    }
    bool failed() const { return m_failed.load(std::memory_order_relaxed); }

private:
    static constexpr size_t kBlock = size_t(4) << 20;

    void handOver()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_idle.wait(lock, [this] { return m_pending == 0; });
        if (m_used == 0)
            return;
        m_pending = m_used;
        m_pendingBlock = m_current;
        m_current ^= 1;
        m_used = 0;
        lock.unlock();
        m_wake.notify_one();
    }
    void run()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return m_pending > 0 || m_stop; });
            if (m_pending == 0)
                return;
            const uchar *data = m_block[m_pendingBlock].data();
            const size_t size = m_pending;
            lock.unlock();
            const bool written = !m_failed.load() && std::fwrite(data, 1, size, m_file) == size;
            lock.lock();
            if (!written)
                m_failed.store(true);
            m_pending = 0;
            m_idle.notify_one();
        }
    }

    std::FILE *m_file;
    std::vector<uchar> m_block[2];
    int m_current = 0;      // the block being made
    size_t m_used = 0;      // and its bytes made so far
    int m_pendingBlock = 0; // the block handed over, while m_pending > 0
    size_t m_pending = 0;
    bool m_stop = false;
    std::atomic<bool> m_failed{false};
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::thread m_thread;
};

CaptureWriter::CaptureWriter(const Endpoints &endpoints, int mtu)
    : m_endpoints(endpoints), m_mtu(mtu <= 0 ? 0 : qMax(mtu, kLowestMtu)),
      m_datagram(size_t(kUdpHeader + ap_udp_max_payload))
{
    // The link header is the same for every packet; a group or broadcast address has its own link address.
    uchar *e = m_link;
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
    const quint32 length = quint32(kEthernet + kIpHeader + ipDataLength);
    uchar *record = m_writeBehind->reserve(kRecordHeader + length);
    // Seconds and nanoseconds (a nanosecond capture), the captured and the original length: whole.
    const quint32 header[4] = {quint32(timeNs / 1000000000), quint32(timeNs % 1000000000), length, length};
    std::memcpy(record, header, kRecordHeader);
    std::memcpy(record + kRecordHeader, m_link, kEthernet);
    ++m_packets;
    return record + kRecordHeader + kEthernet;
}

void CaptureWriter::ipHeader(uchar *ip, int ipOffset, int dataLength, bool more) const
{
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
}

bool CaptureWriter::write(qint64 timeNs, QByteArrayView payload)
{
    if (payload.size() > ap_udp_max_payload || !m_writeBehind)
        return false;
    const int length = kUdpHeader + int(payload.size());
    const bool whole = m_mtu == 0 || kIpHeader + length <= m_mtu;
    // A datagram one packet carries is made in that packet; one to be cut into fragments, apart.
    uchar *ip = whole ? packet(timeNs, length) : nullptr;
    uchar *u = whole ? ip + kIpHeader : m_datagram.data();
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
    if (whole) {
        ipHeader(ip, 0, length, false);
        return true;
    }
    // Every fragment but the last carries as much as the MTU leaves, in whole 8-byte units.
    const int most = (m_mtu - kIpHeader) & ~7;
    for (int offset = 0; offset < length; offset += most) {
        const int part = qMin(most, length - offset);
        uchar *fragment = packet(timeNs, part);
        std::memcpy(fragment + kIpHeader, u + offset, size_t(part));
        ipHeader(fragment, offset, part, offset + part < length);
    }
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
    PlaybackEngine::Plan plan;
    if (!index.unchanged() || !PlaybackEngine::plan(index, options, &plan)) {
        w.status = Written::Status::Changed;
        return w;
    }
    w.rate = plan.rate;
    w.periodUs = plan.periodUs;
    const std::unique_ptr<PlaybackSchedule> schedule = PlaybackEngine::schedule(index, options, plan, false);
    schedule->start(0);
    qint64 firstDeadline = -1;
    WireReader reader(index, plan.first, plan.last);
    WireReader::Batch batch;
    for (PlaybackSchedule::Step step = schedule->next(); step.kind != PlaybackSchedule::Kind::End;
         schedule->advance(), step = schedule->next()) {
        if (step.kind != PlaybackSchedule::Kind::Send)
            continue;
        if (!batch.holds(step.entry)) {
            if (progress && !progress(step.entry - plan.first, plan.last - plan.first + 1)) {
                w.status = Written::Status::Cancelled;
                return w;
            }
            if (!reader.take(step.entry, &batch)) {
                w.status = Written::Status::Changed;
                return w;
            }
        }
        const size_t i = size_t(step.entry - batch.first);
        const qsizetype begin = i == 0 ? 0 : batch.ends[i - 1];
        const QByteArrayView bytes(batch.wires.constData() + begin, batch.ends[i] - begin);
        if (bytes.size() > ap_udp_max_payload) {
            w.status = Written::Status::TooLarge;
            w.frame = qint64(index.first()) + step.entry;
            w.size = bytes.size();
            return w;
        }
        if (firstDeadline < 0)
            firstDeadline = step.deadline;
        write(startNs + step.deadline - firstDeadline, bytes);
        ++w.frames;
        if (m_writeBehind->failed()) {
            w.status = Written::Status::WriteFailed;
            return w;
        }
    }
    w.packets = m_packets - packetsBefore;
    w.outOfOrder = schedule->outOfOrder();
    w.shortened = schedule->shortened();
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
    if (w.status == Written::Status::Ok) // finish() said why and closed the part
        w.status = Written::Status::WriteFailed;
    else
        std::fclose(stream);
    if (w.status == Written::Status::WriteFailed && why->isEmpty())
        *why = QStringLiteral("writing %1 failed (is the disk full?)").arg(part);
    QFile::remove(part);
    return w;
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

#include "frame_index.h"

#include "frame_index_builder.h"
#include "frame_lines.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// Offsets are kept in blocks of a fixed size: the index never reallocates while it grows, so building it
// needs no more than the offsets themselves and one block.
constexpr int kBlockBits = 14;
constexpr qint64 kBlockSize = qint64(1) << kBlockBits;

struct Identity
{
    dev_t device = 0;
    ino_t inode = 0;
    qint64 size = -1;
    timespec modified{};

    bool operator==(const Identity &o) const
    {
        return device == o.device && inode == o.inode && size == o.size &&
               modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec;
    }
};

Identity identityOf(const struct stat &st)
{
    Identity id;
    id.device = st.st_dev;
    id.inode = st.st_ino;
    id.size = qint64(st.st_size);
    id.modified = st.st_mtim;
    return id;
}

const char *lineEnd(const char *begin, const char *end)
{
    const void *lf = std::memchr(begin, '\n', size_t(end - begin));
    return lf ? static_cast<const char *>(lf) + 1 : end;
}

// White space as QString::trimmed() sees it in Latin-1 text.
bool isSpace(char c)
{
    const uchar u = uchar(c);
    return u == ' ' || (u >= '\t' && u <= '\r') || u == 0x85 || u == 0xa0;
}

QByteArrayView stripped(QByteArrayView line)
{
    qsizetype begin = 0;
    qsizetype end = line.size();
    while (begin < end && isSpace(line[begin]))
        ++begin;
    while (end > begin && isSpace(line[end - 1]))
        --end;
    return QByteArrayView(line.data() + begin, end - begin);
}

} // namespace

struct FrameIndex::File
{
    int fd = -1;
    QString name;
    QByteArray path; // name encoded for the system calls
    Identity scanned;
    bool changedWhileScanning = false;
    bool leading = false;
    quint32 first = 0;
    quint32 last = 0;
    qint64 starts = 0; // entries + 1: the last start is the end of the last entry
    std::vector<std::vector<qint64>> blocks;

    ~File()
    {
        if (fd >= 0)
            ::close(fd);
    }
    qint64 start(qint64 k) const { return blocks[size_t(k >> kBlockBits)][size_t(k & (kBlockSize - 1))]; }
    void push(qint64 offset)
    {
        if (starts % kBlockSize == 0) {
            blocks.emplace_back();
            blocks.back().reserve(size_t(kBlockSize));
        }
        blocks.back().push_back(offset);
        ++starts;
    }
};

qsizetype FrameIndex::size() const
{
    return m_file ? qsizetype(m_file->starts - 1) : 0;
}

quint32 FrameIndex::first() const
{
    return m_file ? m_file->first : 0;
}

quint32 FrameIndex::last() const
{
    return m_file ? m_file->last : 0;
}

QString FrameIndex::fileName() const
{
    return m_file ? m_file->name : QString();
}

qsizetype FrameIndex::entryOf(qint64 frame) const
{
    // The first number is taken as signed, as the window's slider takes it.
    const qint64 k = frame - qint64(qint32(first()));
    return k >= 0 && k < size() ? qsizetype(k) : -1;
}

bool FrameIndex::isFrame(qsizetype k) const
{
    if (k < 0 || k >= size() || (k == 0 && m_file->leading))
        return false;
    return m_file->start(k + 1) > m_file->start(k);
}

qsizetype FrameIndex::frameAtOrAfter(qsizetype k) const
{
    if (k < 0)
        k = 0;
    if (k == 0 && size() > 0 && m_file->leading)
        k = 1;
    if (k >= size())
        return -1;
    // Starts never decrease and only a lost frame's entry is empty, so the frame is the entry just before
    // the first start beyond start(k): found by bisection, however long a run of lost frames.
    const File &f = *m_file;
    const qint64 at = f.start(k);
    if (f.start(k + 1) > at)
        return k; // the common case, a frame that was not lost
    qint64 low = k + 1;
    qint64 high = f.starts; // the first start beyond lies in [low, high), or there is none
    while (low < high) {
        const qint64 mid = low + (high - low) / 2;
        if (f.start(mid) > at)
            high = mid;
        else
            low = mid + 1;
    }
    return low < f.starts ? qsizetype(low - 1) : -1;
}

bool FrameIndex::unchanged() const
{
    if (!m_file || m_file->changedWhileScanning)
        return false;
    struct stat st;
    if (::stat(m_file->path.constData(), &st) != 0)
        return false;
    return identityOf(st) == m_file->scanned;
}

FrameIndex::Read FrameIndex::raw(qsizetype k, QByteArray *bytes) const
{
    bytes->clear();
    if (k < 0 || k >= size())
        return Read::Ok;
    if (!unchanged())
        return Read::Changed;
    return readAt(m_file->start(k), m_file->start(k + 1) - m_file->start(k), bytes);
}

FrameIndex::Read FrameIndex::readAt(qint64 begin, qint64 length, QByteArray *bytes) const
{
    bytes->resize(qsizetype(length));
    qint64 done = 0;
    while (done < length) {
        const ssize_t got = ::pread(m_file->fd, bytes->data() + done, size_t(length - done), begin + done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            // Shorter than it was when scanned: the file changed after the check above.
            bytes->clear();
            return Read::Changed;
        }
        done += got;
    }
    return Read::Ok;
}

namespace {
// Calls f(line, hasEnd) for each line of an entry's bytes, as the line rules read it.
template <typename F> void forEachLine(QByteArrayView raw, F f)
{
    const char *p = raw.constData();
    const char *end = p + raw.size();
    while (p < end) {
        const char *next = lineEnd(p, end);
        bool hasEnd = false;
        const QByteArrayView line = frame_lines::takeLine(QByteArrayView(p, next - p), &hasEnd);
        f(line, hasEnd);
        p = next;
    }
}
} // namespace

FrameIndex::Read FrameIndex::text(qsizetype k, QString *text) const
{
    QByteArray bytes;
    const Read read = raw(k, &bytes);
    if (read != Read::Ok || (!bytes.contains('\r') && !bytes.contains('\0'))) {
        *text = QString::fromLatin1(bytes);
        return read;
    }
    QByteArray lines;
    lines.reserve(bytes.size());
    forEachLine(bytes, [&](QByteArrayView line, bool hasEnd) {
        lines.append(line);
        if (hasEnd)
            lines.append('\n');
    });
    *text = QString::fromLatin1(lines);
    return Read::Ok;
}

namespace {
// Writes an entry's wire form, made from its bytes in the file, at out, which has room for twice as many
// bytes and two more (a line grows by one byte at most, CR before its LF; a last line without LF by two).
// Returns where the wire form ends.
char *putWire(QByteArrayView raw, char *out, double *timestamp)
{
    forEachLine(raw, [&](QByteArrayView line, bool) {
        if (timestamp && frame_lines::isTimestampLine(line))
            *timestamp = frame_lines::parseDouble(QString::fromLatin1(frame_lines::secondField(line)));
        const QByteArrayView text = stripped(line);
        if (!text.isEmpty() && text[0] == '#')
            return;
        std::memcpy(out, text.data(), size_t(text.size()));
        out += text.size();
        *out++ = '\r';
        *out++ = '\n';
    });
    return out;
}
} // namespace

FrameIndex::Read FrameIndex::wire(qsizetype k, QByteArray *bytes, double *timestamp) const
{
    if (timestamp)
        *timestamp = -1.0;
    QByteArray raw;
    bytes->clear();
    const Read read = this->raw(k, &raw);
    if (read != Read::Ok || raw.isEmpty())
        return read;
    bytes->resize(2 * raw.size() + 2);
    bytes->resize(putWire(raw, bytes->data(), timestamp) - bytes->constData());
    return Read::Ok;
}

FrameIndex::Read FrameIndex::wires(qsizetype k, qint64 maxBytes, QByteArray *bytes,
                                   std::vector<qsizetype> *ends) const
{
    bytes->resize(0);
    ends->clear();
    if (k < 0 || k >= size())
        return Read::Ok;
    if (!unchanged())
        return Read::Changed;
    const File &f = *m_file;
    const qint64 begin = f.start(k);
    qsizetype end = k + 1;
    while (end < size() && f.start(end + 1) - begin <= maxBytes)
        ++end;
    QByteArray raw;
    if (readAt(begin, f.start(end) - begin, &raw) != Read::Ok)
        return Read::Changed;
    bytes->resize(2 * raw.size() + 2 * (end - k));
    char *out = bytes->data();
    for (qsizetype i = k; i < end; ++i) {
        const QByteArrayView entry(raw.constData() + (f.start(i) - begin), f.start(i + 1) - f.start(i));
        out = putWire(entry, out, nullptr);
        ends->push_back(out - bytes->constData());
    }
    bytes->resize(out - bytes->constData());
    return Read::Ok;
}

FrameIndexBuilder::FrameIndexBuilder() : m_file(std::make_shared<FrameIndex::File>()) {}

FrameIndexBuilder::~FrameIndexBuilder() = default;

bool FrameIndexBuilder::open(const QString &fileName)
{
    m_file->name = fileName;
    m_file->path = QFile::encodeName(fileName);
    const int fd = ::open(m_file->path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    m_file->fd = fd;
    m_file->scanned = identityOf(st);
    return true;
}

int FrameIndexBuilder::descriptor() const
{
    return m_file->fd;
}

qint64 FrameIndexBuilder::fileSize() const
{
    return m_file->scanned.size;
}

qint64 FrameIndexBuilder::entries() const
{
    return m_file->starts;
}

void FrameIndexBuilder::append(qint64 offset, qint64 count)
{
    for (qint64 i = 0; i < count; ++i)
        m_file->push(offset);
}

void FrameIndexBuilder::setLeading(bool leading)
{
    m_file->leading = leading;
}

FrameIndex FrameIndexBuilder::finish(qint64 end, qint64 scanned, quint32 first, quint32 last)
{
    m_file->push(end);
    m_file->first = first;
    m_file->last = last;
    // A file that grew or shrank while it was read no longer matches the size noted at the start.
    m_file->changedWhileScanning = scanned != m_file->scanned.size;
    FrameIndex index;
    index.m_file = std::move(m_file);
    m_file = std::make_shared<FrameIndex::File>();
    return index;
}

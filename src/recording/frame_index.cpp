#include "recording/frame_index.h"

#include "recording/frame_index_builder.h"
#include "recording/frame_lines.h"

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#if defined(__x86_64__) || defined(__SSE2__)
#include <immintrin.h>
#endif

namespace {

// Of BlockArray below.
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

// Values kept in blocks of a fixed size: the index never reallocates while it grows, so building it needs no
// more than the values themselves and one block.
namespace {
template <typename T> class BlockArray
{
public:
    T at(qint64 i) const { return m_blocks[size_t(i >> kBlockBits)][size_t(i & (kBlockSize - 1))]; }
    T &at(qint64 i) { return m_blocks[size_t(i >> kBlockBits)][size_t(i & (kBlockSize - 1))]; }
    void push(T value)
    {
        if (m_size % kBlockSize == 0) {
            m_blocks.emplace_back();
            m_blocks.back().reserve(size_t(kBlockSize));
        }
        m_blocks.back().push_back(value);
        ++m_size;
    }
    qint64 size() const { return m_size; }
    // Calls f(i, value) for each value from i = from up to to.
    template <typename F> void forRange(qint64 from, qint64 to, F f) const
    {
        while (from < to) {
            const qint64 inBlock = from & (kBlockSize - 1);
            const qint64 n = std::min(to - from, kBlockSize - inBlock);
            const T *values = m_blocks[size_t(from >> kBlockBits)].data() + inBlock;
            for (qint64 j = 0; j < n; ++j)
                f(from + j, values[j]);
            from += n;
        }
    }
    // Appends count values.
    void append(const T *values, qint64 count)
    {
        while (count > 0) {
            if (m_size % kBlockSize == 0) {
                m_blocks.emplace_back();
                m_blocks.back().reserve(size_t(kBlockSize));
            }
            const qint64 n = std::min(count, kBlockSize - m_size % kBlockSize);
            m_blocks.back().insert(m_blocks.back().end(), values, values + n);
            values += n;
            count -= n;
            m_size += n;
        }
    }
    // Moves other's values to the end, a block at a time, each freed once copied.
    void append(BlockArray &&other)
    {
        for (std::vector<T> &block : other.m_blocks) {
            append(block.data(), qint64(block.size()));
            std::vector<T>().swap(block);
        }
        other.m_blocks.clear();
        other.m_size = 0;
    }

private:
    std::vector<std::vector<T>> m_blocks;
    qint64 m_size = 0;
};
} // namespace

struct FrameIndex::File
{
    // Entries entry, entry + 1, ... are stored as stored, stored + 1, ..., up to the next segment.
    struct Segment
    {
        qint64 entry;
        qint64 stored;
    };

    int fd = -1;
    QString name;
    QByteArray path; // name encoded for the system calls
    Identity scanned;
    bool changedWhileScanning = false;
    bool leading = false;
    qint64 first = 0;
    qint64 last = 0;
    qint64 entries = 0;       // lost ones included
    BlockArray<qint64> offsets;  // one per stored entry, and the end of the last
    BlockArray<float> intervals; // one per stored entry: seconds since the last stamped entry, or NaN
    qint64 firstStamped = -1; // the stored entry of the first stamped one, the one without an interval
    std::vector<Segment> segments;

    ~File()
    {
        if (fd >= 0)
            ::close(fd);
    }
    qint64 stored() const { return intervals.size(); }
    // The segment entry k lies in or after: the last that starts at or before k.
    size_t segmentOf(qint64 k) const
    {
        auto it = std::upper_bound(segments.begin(), segments.end(), k,
                                   [](qint64 entry, const Segment &s) { return entry < s.entry; });
        return size_t(it - segments.begin()) - 1;
    }
    qint64 segmentEnd(size_t s) const
    {
        const qint64 storedEnd = s + 1 < segments.size() ? segments[s + 1].stored : stored();
        return segments[s].entry + (storedEnd - segments[s].stored);
    }
    // The stored entry of entry k, or -1 when it is lost.
    qint64 storedOf(qint64 k) const
    {
        if (k < 0 || k >= entries)
            return -1;
        const size_t s = segmentOf(k);
        return k < segmentEnd(s) ? segments[s].stored + (k - segments[s].entry) : -1;
    }
};

qsizetype FrameIndex::size() const
{
    return m_file ? qsizetype(m_file->entries) : 0;
}

qint64 FrameIndex::first() const
{
    return m_file ? m_file->first : 0;
}

qint64 FrameIndex::last() const
{
    return m_file ? m_file->last : 0;
}

QString FrameIndex::fileName() const
{
    return m_file ? m_file->name : QString();
}

qint64 FrameIndex::frameCount() const
{
    return m_file ? m_file->stored() - (m_file->leading ? 1 : 0) : 0;
}

std::vector<FrameIndex::Run> FrameIndex::lostRuns() const
{
    std::vector<Run> runs;
    if (!m_file)
        return runs;
    const File &f = *m_file;
    for (size_t s = 1; s < f.segments.size(); ++s)
        runs.push_back({f.first + f.segmentEnd(s - 1), f.first + f.segments[s].entry - 1});
    return runs;
}

qint64 FrameIndex::lostCount() const
{
    return m_file ? m_file->entries - m_file->stored() : 0;
}

qsizetype FrameIndex::entryOf(qint64 frame) const
{
    const qint64 k = frame - first();
    return k >= 0 && k < size() ? qsizetype(k) : -1;
}

bool FrameIndex::isFrame(qsizetype k) const
{
    if (!m_file || (k == 0 && m_file->leading))
        return false;
    return m_file->storedOf(k) >= 0;
}

qsizetype FrameIndex::frameAtOrAfter(qsizetype k, size_t *run) const
{
    if (run && k > 0 && m_file && *run < m_file->segments.size() && k >= m_file->segments[*run].entry &&
        k < m_file->segmentEnd(*run))
        return k;
    if (k < 0)
        k = 0;
    if (k == 0 && size() > 0 && m_file->leading)
        k = 1;
    if (k >= size())
        return -1;
    const File &f = *m_file;
    size_t s = f.segmentOf(k);
    if (k >= f.segmentEnd(s)) {
        if (++s >= f.segments.size())
            return -1;
        k = qsizetype(f.segments[s].entry);
    }
    if (run)
        *run = s;
    return k;
}

void FrameIndex::forEachFrame(const std::function<void(qsizetype k, qint64 bytes, double seconds)> &f) const
{
    if (!m_file)
        return;
    const File &file = *m_file;
    for (size_t s = 0; s < file.segments.size(); ++s) {
        const File::Segment &segment = file.segments[s];
        for (qint64 k = segment.entry, end = file.segmentEnd(s); k < end; ++k) {
            if (k == 0 && file.leading)
                continue;
            const qint64 i = segment.stored + (k - segment.entry);
            f(qsizetype(k), file.offsets.at(i + 1) - file.offsets.at(i), double(file.intervals.at(i)));
        }
    }
}

std::vector<float> FrameIndex::intervals() const
{
    std::vector<float> seconds;
    if (!m_file)
        return seconds;
    const File &file = *m_file;
    seconds.reserve(size_t(file.stored()));
    file.intervals.forRange(file.leading ? 1 : 0, file.stored(), [&](qint64, float interval) {
        if (!std::isnan(interval))
            seconds.push_back(interval);
    });
    return seconds;
}

void FrameIndex::forEachFrameAbove(
    qint64 bytes, double seconds,
    const std::function<void(qsizetype k, qint64 bytes, double seconds)> &f) const
{
    if (!m_file)
        return;
    // The stored entries sought, found in a pass over each array, then in order.
    const File &file = *m_file;
    const qint64 first = file.leading ? 1 : 0;
    std::vector<qint64> found;
    file.intervals.forRange(first, file.stored(), [&](qint64 i, float interval) {
        if (double(interval) > seconds)
            found.push_back(i);
    });
    qint64 previous = file.stored() > first ? file.offsets.at(first) : 0;
    file.offsets.forRange(first + 1, file.stored() + 1, [&](qint64 i, qint64 offset) {
        if (offset - previous > bytes)
            found.push_back(i - 1);
        previous = offset;
    });
    std::sort(found.begin(), found.end());
    found.erase(std::unique(found.begin(), found.end()), found.end());
    size_t s = 0;
    for (const qint64 i : found) {
        while (s + 1 < file.segments.size() && file.segments[s + 1].stored <= i)
            ++s;
        f(qsizetype(file.segments[s].entry + (i - file.segments[s].stored)),
          file.offsets.at(i + 1) - file.offsets.at(i), double(file.intervals.at(i)));
    }
}

double FrameIndex::interval(qsizetype k, bool *stamped) const
{
    const qint64 i = m_file ? m_file->storedOf(k) : -1;
    const double seconds = i < 0 ? std::numeric_limits<double>::quiet_NaN() : double(m_file->intervals.at(i));
    if (stamped)
        *stamped = i >= 0 && (!std::isnan(seconds) || i == m_file->firstStamped);
    return seconds;
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
    const qint64 i = m_file ? m_file->storedOf(k) : -1;
    if (i < 0)
        return Read::Ok;
    if (!unchanged())
        return Read::Changed;
    return readAt(m_file->offsets.at(i), m_file->offsets.at(i + 1) - m_file->offsets.at(i), bytes);
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
    const char *p = raw.data();
    const char *end = p + raw.size();
    while (p < end) {
        const char *next = frame_lines::rawLineEnd(p, end);
        bool hasEnd = false;
        const QByteArrayView line = frame_lines::takeLine(QByteArrayView(p, next - p), &hasEnd);
        f(line, hasEnd);
        p = next;
    }
}

// Calls f(line, text) for each line of an entry that goes on the wire: the line as read and the text sent
// for it, stripped of surrounding white space. Comment lines are left out.
template <typename F> void forEachWireLine(QByteArrayView raw, F f)
{
    forEachLine(raw, [&](QByteArrayView line, bool) {
        const QByteArrayView text = stripped(line);
        if (text.isEmpty() || text[0] != '#')
            f(line, text);
    });
}

// The first LF or NUL in [from, end), or end.
const char *lineEndOrNul(const char *from, const char *end)
{
#if defined(__SSE2__)
    const __m128i lf = _mm_set1_epi8('\n'), nul = _mm_setzero_si128();
    for (; end - from >= 16; from += 16) {
        const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i *>(from));
        if (const int mask =
                _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(here, lf), _mm_cmpeq_epi8(here, nul))))
            return from + __builtin_ctz(unsigned(mask));
    }
#endif
    while (from < end && *from != '\n' && *from != '\0')
        ++from;
    return from;
}

// Writes the wire form of lines, as the line rules read them, at out: see putWire().
char *putWireLines(QByteArrayView raw, char *out, double *timestamp)
{
    forEachWireLine(raw, [&](QByteArrayView line, QByteArrayView text) {
        if (timestamp && frame_lines::isTimestampLine(line))
            *timestamp = frame_lines::timestampValue(frame_lines::secondField(line));
        std::memcpy(out, text.data(), size_t(text.size()));
        out += text.size();
        *out++ = '\r';
        *out++ = '\n';
    });
    return out;
}

#if defined(__x86_64__)
// Bit i set where byte i of the 64 at p equals c.
__attribute__((target("avx2"))) inline quint64 bytesEqual(__m256i low, __m256i high, char c)
{
    const __m256i v = _mm256_set1_epi8(c);
    return quint32(_mm256_movemask_epi8(_mm256_cmpeq_epi8(low, v))) |
           quint64(quint32(_mm256_movemask_epi8(_mm256_cmpeq_epi8(high, v)))) << 32;
}

// Bit i set where byte i of v is '\t'..'\r': the bytes b with (b - '\t') at most 4 as bytes without a sign.
__attribute__((target("avx2"))) inline quint32 controlSpaces(__m256i v)
{
    const __m256i d = _mm256_sub_epi8(v, _mm256_set1_epi8('\t'));
    return quint32(_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_min_epu8(d, _mm256_set1_epi8(4)), d)));
}

// White space as isSpace() sees it, bit i for byte i.
__attribute__((target("avx2"))) inline quint64 spaces(__m256i low, __m256i high)
{
    return (quint64(controlSpaces(low)) | quint64(controlSpaces(high)) << 32) | bytesEqual(low, high, ' ') |
           bytesEqual(low, high, char(0x85)) | bytesEqual(low, high, char(0xa0));
}

// A whole frame whose lines all go on the wire as they stand (see putWire()), 64 bytes at a time in steps that
// do not depend on the lines: its line ends, white space and '#' found as bit masks, the lines checked at
// once, then each line copied with two 32-byte stores to where it goes: its place in the frame plus one byte
// for each line before it (their CRs). What is stored after a line's end is written over by what follows.
// Returns where the wire form ends; nullptr when any line takes the line rules or is longer than 64 bytes,
// or the frame does not end with LF or lies within 64 bytes of readable's end (nothing is read past it).
__attribute__((target("avx2"))) char *putPlainFrameAvx2(const char *p, qsizetype length, const char *readable,
                                                        char *out)
{
    if (length <= 0 || readable - (p + length) < 64 || p[length - 1] != '\n')
        return nullptr;
    qsizetype lines = 0;     // lines before the one that begins at start
    qsizetype start = 0;     // where the next line begins
    quint64 lineStart = 1;   // byte 0 of the next 64 begins a line
    quint64 whiteBefore = 0; // the byte before the next 64 is white space
    for (qsizetype base = 0; base < length; base += 64) {
        const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + base));
        const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + base + 32));
        const quint64 inFrame = length - base >= 64 ? ~quint64(0) : (quint64(1) << (length - base)) - 1;
        const quint64 lfs = bytesEqual(low, high, '\n') & inFrame;
        const quint64 white = spaces(low, high);
        const quint64 starts = ((lfs << 1) | lineStart) & inFrame;
        // A NUL; a line that begins with white space, '#' or its own end; a line that ends in white space.
        if ((bytesEqual(low, high, '\0') & inFrame) | (starts & (white | bytesEqual(low, high, '#') | lfs)) |
            (lfs & ((white << 1) | whiteBefore)))
            return nullptr;
        for (quint64 ends = lfs; ends; ends &= ends - 1) {
            const qsizetype e = base + __builtin_ctzll(ends);
            if (e - start > 64)
                return nullptr;
            char *to = out + start + lines;
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(to),
                                _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + start)));
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(to + 32),
                                _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + start + 32)));
            out[e + lines] = '\r';
            out[e + lines + 1] = '\n';
            ++lines;
            start = e + 1;
        }
        lineStart = lfs >> 63;
        whiteBefore = white >> 63;
    }
    return out + length + lines;
}
#endif

using PlainFrame = char *(*)(const char *p, qsizetype length, const char *readable, char *out);

char *noPlainFrame(const char *, qsizetype, const char *, char *)
{
    return nullptr;
}

PlainFrame plainFrame()
{
#if defined(__x86_64__)
    static const PlainFrame put = __builtin_cpu_supports("avx2") ? putPlainFrameAvx2 : noPlainFrame;
    return put;
#else
    return noPlainFrame;
#endif
}

// Writes an entry's wire form, made from its bytes in the file, at out, which has room for twice as many
// bytes and two more, and for 64 more (a line grows by one byte at most, CR before its LF; a last line without
// LF by two; lines are stored 64 bytes at a time). Bytes up to readable (at least the entry's end) may be read.
// Returns where the wire form ends.
char *putWire(QByteArrayView raw, char *out, double *timestamp, const char *readable)
{
    if (!timestamp) {
        // Nearly every line ends with LF, holds no NUL and begins and ends with neither white space nor (at
        // its start) a comment's '#': it goes on the wire as it stands. The others take the line rules.
        const char *p = raw.data(), *end = p + raw.size();
        if (char *done = plainFrame()(p, raw.size(), readable, out))
            return done;
        while (p < end) {
            const char *stop = lineEndOrNul(p, end);
            if (stop < end && *stop == '\n' && stop > p && !isSpace(*p) && *p != '#' && !isSpace(stop[-1])) {
                std::memcpy(out, p, size_t(stop - p));
                out += stop - p;
                *out++ = '\r';
                *out++ = '\n';
                p = stop + 1;
                continue;
            }
            const char *next = frame_lines::rawLineEnd(stop, end);
            out = putWireLines(QByteArrayView(p, next - p), out, nullptr);
            p = next;
        }
        return out;
    }
    return putWireLines(raw, out, timestamp);
}

// The wire form of a later pass of a loop whose numbers go on, appended to out. Which lines are counter and
// timestamp lines is told from the lines as read: an indented "ts" is body text, though stripped it looks
// like a timestamp line on the wire.
void appendShiftedWire(QByteArrayView raw, const frame_lines::Shift &shift, QByteArray *out)
{
    forEachWireLine(raw, [&](QByteArrayView line, QByteArrayView text) {
        if (frame_lines::isFrameCounterLine(line))
            frame_lines::appendShifted(text, frame_lines::LineKind::FrameCounter, shift, out);
        else if (frame_lines::isTimestampLine(line))
            frame_lines::appendShifted(text, frame_lines::LineKind::Timestamp, shift, out);
        else
            out->append(text);
        out->append("\r\n", 2);
    });
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

FrameIndex::Read FrameIndex::wire(qsizetype k, QByteArray *bytes, double *timestamp) const
{
    if (timestamp)
        *timestamp = -1.0;
    QByteArray raw;
    bytes->clear();
    const Read read = this->raw(k, &raw);
    if (read != Read::Ok || raw.isEmpty())
        return read;
    bytes->resize(wireRoom(raw.size()));
    bytes->resize(::putWire(raw, bytes->data(), timestamp, raw.constData() + raw.size()) - bytes->constData());
    return Read::Ok;
}

FrameIndex::Read FrameIndex::raws(qsizetype k, qint64 maxBytes, QByteArray *bytes, std::vector<qsizetype> *ends,
                                  qsizetype last) const
{
    bytes->resize(0);
    ends->clear();
    const qint64 first = m_file ? m_file->storedOf(k) : -1;
    if (first < 0)
        return Read::Ok;
    if (!unchanged())
        return Read::Changed;
    // The frames that follow k without a lost one between them lie one after the other in the file.
    const File &f = *m_file;
    qint64 lastOfRun = first + (f.segmentEnd(f.segmentOf(k)) - 1 - k);
    if (last >= k)
        lastOfRun = qMin(lastOfRun, first + (last - k));
    const qint64 begin = f.offsets.at(first);
    qint64 end = first + 1;
    while (end <= lastOfRun && f.offsets.at(end + 1) - begin <= maxBytes)
        ++end;
    if (readAt(begin, f.offsets.at(end) - begin, bytes) != Read::Ok)
        return Read::Changed;
    for (qint64 i = first; i < end; ++i)
        ends->push_back(qsizetype(f.offsets.at(i + 1) - begin));
    return Read::Ok;
}

char *FrameIndex::putWire(QByteArrayView raw, char *out, const char *readable)
{
    return ::putWire(raw, out, nullptr, readable);
}

FrameIndex::Read FrameIndex::wires(qsizetype k, qint64 maxBytes, QByteArray *bytes,
                                   std::vector<qsizetype> *ends, qsizetype last,
                                   const frame_lines::Shift *shift) const
{
    QByteArray raw;
    std::vector<qsizetype> rawEnds;
    const Read read = raws(k, maxBytes, &raw, &rawEnds, last);
    bytes->resize(0);
    ends->clear();
    if (read != Read::Ok)
        return read;
    ends->reserve(rawEnds.size());
    if (shift) {
        bytes->reserve(2 * raw.size() + 40 * qsizetype(rawEnds.size()));
        qsizetype begin = 0;
        for (const qsizetype end : rawEnds) {
            appendShiftedWire(QByteArrayView(raw.constData() + begin, end - begin), *shift, bytes);
            ends->push_back(bytes->size());
            begin = end;
        }
        return Read::Ok;
    }
    bytes->resize(wireRoom(raw.size()) + 2 * qsizetype(rawEnds.size()));
    char *out = bytes->data();
    const char *readable = raw.constData() + raw.size();
    qsizetype begin = 0;
    for (const qsizetype end : rawEnds) {
        out = ::putWire(QByteArrayView(raw.constData() + begin, end - begin), out, nullptr, readable);
        ends->push_back(out - bytes->constData());
        begin = end;
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
    const int fd = ::open(m_file->path.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ::fcntl(fd, F_SETFL, 0) != 0) {
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

qint64 FrameIndexBuilder::storedBefore() const
{
    return m_file->stored();
}

void FrameIndexBuilder::appendAfterLost(qint64 offset, qint64 lost)
{
    store();
    FrameIndex::File &f = *m_file;
    f.entries += lost;
    if (lost > 0 || f.segments.empty())
        f.segments.push_back({f.entries, f.stored()});
    f.offsets.push(offset);
    f.intervals.push(std::numeric_limits<float>::quiet_NaN());
    ++f.entries;
    m_started = true;
}

void FrameIndexBuilder::store()
{
    FrameIndex::File &f = *m_file;
    float intervals[kPending];
    for (int i = 0; i < m_pending; ++i) {
        const double seconds = m_stamps[i];
        intervals[i] = std::numeric_limits<float>::quiet_NaN();
        if (!frame_lines::isUsableTimestamp(seconds))
            continue;
        if (m_stamped)
            intervals[i] = float(seconds - m_lastStamp);
        else
            f.firstStamped = f.stored() + i;
        if (!m_stamped)
            m_firstStamp = seconds;
        m_lastStamp = seconds;
        m_stamped = true;
    }
    f.offsets.append(m_offsets, m_pending);
    f.intervals.append(intervals, m_pending);
    f.entries += m_pending;
    m_pending = 0;
}

void FrameIndexBuilder::setStoredTimestamp(double seconds)
{
    FrameIndex::File &f = *m_file;
    if (f.stored() == 0 || !frame_lines::isUsableTimestamp(seconds))
        return;
    if (m_stamped)
        f.intervals.at(f.stored() - 1) = float(seconds - m_lastStamp);
    else
        f.firstStamped = f.stored() - 1;
    if (!m_stamped)
        m_firstStamp = seconds;
    m_lastStamp = seconds;
    m_stamped = true;
}

void FrameIndexBuilder::setLeading(bool leading)
{
    m_file->leading = leading;
}

void FrameIndexBuilder::appendPart(FrameIndexBuilder &part, qint64 lost)
{
    store();
    part.store();
    FrameIndex::File &f = *m_file;
    FrameIndex::File &p = *part.m_file;
    f.entries += lost;
    const qint64 entryBase = f.entries, storedBase = f.stored();
    // The part's first run goes on the last one here when nothing was lost between them.
    for (size_t s = lost > 0 || f.segments.empty() ? 0 : 1; s < p.segments.size(); ++s)
        f.segments.push_back({entryBase + p.segments[s].entry, storedBase + p.segments[s].stored});
    f.entries += p.entries;
    f.offsets.append(std::move(p.offsets));
    f.intervals.append(std::move(p.intervals));
    if (p.firstStamped >= 0) {
        if (m_stamped)
            f.intervals.at(storedBase + p.firstStamped) = float(part.m_firstStamp - m_lastStamp);
        else
            f.firstStamped = storedBase + p.firstStamped;
        if (!m_stamped)
            m_firstStamp = part.m_firstStamp;
        m_lastStamp = part.m_lastStamp;
        m_stamped = true;
    }
    part.m_file = std::make_shared<FrameIndex::File>();
    part.m_stamped = part.m_started = false;
}

FrameIndex FrameIndexBuilder::finish(qint64 end, qint64 scanned, qint64 first, qint64 last)
{
    store();
    m_file->offsets.push(end);
    m_file->first = first;
    m_file->last = last;
    // A file that grew or shrank while it was read no longer matches the size noted at the start.
    m_file->changedWhileScanning = scanned != m_file->scanned.size;
    FrameIndex index;
    index.m_file = std::move(m_file);
    m_file = std::make_shared<FrameIndex::File>();
    m_stamped = m_started = false;
    return index;
}

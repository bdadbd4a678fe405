#include "recording/frame_scanner.h"

#include "recording/frame_index_builder.h"
#include "recording/frame_lines.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <unistd.h>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

using Status = FrameScanner::Status;

// The first line start in [from, end) whose first character is that of a frame-counter or timestamp line
// prefix, or end; from[-1] must be readable. Only those lines matter to the index, so body lines (numbers)
// are passed over without visiting each one: with SSE2, 16 bytes at a time are compared with both
// characters and the bytes before them with LF, one pass for both kinds of line.
const char *nextMarkedLine(const char *from, const char *end)
{
    constexpr char kFrame = frame_lines::kFramePrefix[0], kStamp = frame_lines::kTimestampPrefix[0];
#if defined(__SSE2__)
    const __m128i lf = _mm_set1_epi8('\n'), frame = _mm_set1_epi8(kFrame), stamp = _mm_set1_epi8(kStamp);
    for (; end - from >= 16; from += 16) {
        const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i *>(from));
        const __m128i before = _mm_loadu_si128(reinterpret_cast<const __m128i *>(from - 1));
        const __m128i marked =
            _mm_and_si128(_mm_cmpeq_epi8(before, lf),
                          _mm_or_si128(_mm_cmpeq_epi8(here, frame), _mm_cmpeq_epi8(here, stamp)));
        if (const int mask = _mm_movemask_epi8(marked))
            return from + __builtin_ctz(unsigned(mask));
    }
#endif
    for (; from < end; ++from)
        if (from[-1] == '\n' && (*from == kFrame || *from == kStamp))
            return from;
    return end;
}

#if defined(__x86_64__)
// The same 32 or 64 bytes at a time, where the processor can.
__attribute__((target("avx2"))) const char *nextMarkedLineAvx2(const char *from, const char *end)
{
    constexpr char kFrame = frame_lines::kFramePrefix[0], kStamp = frame_lines::kTimestampPrefix[0];
    const __m256i lf = _mm256_set1_epi8('\n'), frame = _mm256_set1_epi8(kFrame),
                  stamp = _mm256_set1_epi8(kStamp);
    for (; end - from >= 32; from += 32) {
        const __m256i here = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(from));
        const __m256i before = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(from - 1));
        const __m256i marked =
            _mm256_and_si256(_mm256_cmpeq_epi8(before, lf),
                             _mm256_or_si256(_mm256_cmpeq_epi8(here, frame), _mm256_cmpeq_epi8(here, stamp)));
        if (const unsigned mask = unsigned(_mm256_movemask_epi8(marked)))
            return from + __builtin_ctz(mask);
    }
    return nextMarkedLine(from, end);
}

__attribute__((target("avx512bw"))) const char *nextMarkedLineAvx512(const char *from, const char *end)
{
    constexpr char kFrame = frame_lines::kFramePrefix[0], kStamp = frame_lines::kTimestampPrefix[0];
    const __m512i lf = _mm512_set1_epi8('\n'), frame = _mm512_set1_epi8(kFrame),
                  stamp = _mm512_set1_epi8(kStamp);
    for (; end - from >= 64; from += 64) {
        const __m512i here = _mm512_loadu_si512(from);
        const __mmask64 marked = _mm512_mask_cmpeq_epi8_mask(_mm512_cmpeq_epi8_mask(here, frame) |
                                                                 _mm512_cmpeq_epi8_mask(here, stamp),
                                                             _mm512_loadu_si512(from - 1), lf);
        if (marked)
            return from + __builtin_ctzll(marked);
    }
    return nextMarkedLineAvx2(from, end);
}
#endif

using MarkedLineFinder = const char *(*)(const char *from, const char *end);

MarkedLineFinder markedLineFinder()
{
#if defined(__x86_64__)
    static const MarkedLineFinder finder = __builtin_cpu_supports("avx512bw") ? nextMarkedLineAvx512
                                           : __builtin_cpu_supports("avx2")   ? nextMarkedLineAvx2
                                                                              : nextMarkedLine;
    return finder;
#else
    return nextMarkedLine;
#endif
}

// Whether the line at p begins with prefix, as frame_lines::isFrameCounterLine() and isTimestampLine() tell.
inline bool startsWith(const char *p, const char *end, const char *prefix)
{
    return end - p >= frame_lines::kPrefixLength &&
           std::memcmp(p, prefix, size_t(frame_lines::kPrefixLength)) == 0;
}

// The number of the digits in [from, to), at most 18 of them.
inline qint64 numberOf(const char *from, const char *to)
{
    qint64 number = 0;
    for (; from < to; ++from)
        number = number * 10 + (*from - '0');
    return number;
}

// A frame-counter line's number as the line rules read it; not a number counts as 0.
qint64 numberOf(QByteArrayView rawLine)
{
    bool hasEnd = false;
    qint64 number = 0;
    frame_lines::parseNumber(frame_lines::secondField(frame_lines::takeLine(rawLine, &hasEnd)), &number);
    return number;
}

// The 16 bytes at field as bit masks: digits, points and LFs.
struct Classes
{
    unsigned digits = 0;
    unsigned points = 0;
    unsigned lfs = 0;
};

inline Classes classify(const char *field)
{
    Classes classes;
#if defined(__SSE2__)
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i *>(field));
    const __m128i value = _mm_sub_epi8(c, _mm_set1_epi8('0'));
    classes.digits =
        unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(value, _mm_set1_epi8(9)), value)));
    classes.points = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(c, _mm_set1_epi8('.'))));
    classes.lfs = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(c, _mm_set1_epi8('\n'))));
#else
    for (int i = 0; i < 16; ++i) {
        classes.digits |= unsigned(unsigned(field[i] - '0') <= 9) << i;
        classes.points |= unsigned(field[i] == '.') << i;
        classes.lfs |= unsigned(field[i] == '\n') << i;
    }
#endif
    return classes;
}

// Nearly every frame-counter line is its prefix, 1 to 18 digits and an LF: no CR, NUL, sign or second field.
// Where such a line that starts at p ends (after its LF) with its number in *number, or null for any other
// line, which then goes through the line rules.
inline const char *plainFrameLine(const char *p, const char *end, qint64 *number)
{
    const char *field = p + frame_lines::kPrefixLength;
    const char *q = field;
    if (end - field >= 16) { // up to 15 digits told at once
        const Classes classes = classify(field);
        const int digits = __builtin_ctz(~classes.digits);
        if (digits < 16) {
            if (digits == 0 || !(classes.lfs >> digits & 1))
                return nullptr;
            *number = numberOf(field, field + digits);
            return field + digits + 1;
        }
    }
    for (const char *most = std::min(end, field + 18); q < most && unsigned(*q - '0') <= 9;)
        ++q;
    if (q == field || q >= end || *q != '\n')
        return nullptr;
    *number = numberOf(field, q);
    return q + 1;
}

// Nearly every timestamp line is its prefix, a plain decimal and an LF: at most 15 digits with at most one
// point between two of them. Its value, as frame_lines::timestampValue() computes it, goes to *seconds and
// the line is passed over (true); any other line is left to the line rules (false).
inline bool plainTimestamp(const char *p, const char *end, double *seconds)
{
    static constexpr double kPowers[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                         1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    const char *q = p + frame_lines::kPrefixLength;
    if (end - q >= 16) { // up to 15 characters told at once
        const Classes classes = classify(q);
        const int length = __builtin_ctz(~(classes.digits | classes.points));
        if (length < 16) {
            const unsigned points = classes.points & ((1u << length) - 1);
            const int point = points ? __builtin_ctz(points) : length;
            if (length == 0 || !(classes.lfs >> length & 1) || (points & (points - 1)) || point == 0 ||
                point == length - 1)
                return false;
            const int decimals = points ? length - 1 - point : 0;
            const qint64 mantissa =
                numberOf(q, q + point) * qint64(kPowers[decimals]) + numberOf(q + point + 1, q + length);
            *seconds = double(mantissa) / kPowers[decimals];
            return true;
        }
    }
    qint64 mantissa = 0;
    int digits = 0, decimals = -1;
    for (const char *most = std::min(end, q + 16); q < most; ++q) {
        if (unsigned(*q - '0') <= 9) {
            mantissa = mantissa * 10 + (*q - '0');
            ++digits;
            decimals += decimals >= 0;
        } else if (*q == '.' && decimals < 0 && digits > 0) {
            decimals = 0;
        } else {
            break;
        }
    }
    if (q >= end || *q != '\n' || digits == 0 || digits > 15 || decimals == 0)
        return false;
    *seconds = double(mantissa) / kPowers[decimals < 0 ? 0 : decimals];
    return true;
}

// Where frame-counter lines start and each frame's timestamp are what the index needs, so the body lines
// between them are passed over.
class Scan
{
public:
    // A later part begins at a frame-counter line, after the file's first line: its first number is checked
    // against the part before it when the parts are joined.
    Scan(FrameIndexBuilder &builder, const FrameScanner::DatagramTimes *times, bool laterPart = false)
        : m_builder(builder), m_times(times), m_laterPart(laterPart), m_firstLineSeen(laterPart)
    {
    }

    // Processes the complete lines in [begin, end), which lie at offset base of the file; the last one may
    // lack its LF only at the end of the data. Returns false when the scan has failed.
    bool lines(const char *begin, const char *end, qint64 base);
    // A line too long for the buffer that cannot be a frame-counter line starts with the size bytes at begin;
    // its end is not known yet. False when it must be read whole first: a timestamp line whose number does
    // not end within those bytes.
    bool longLine(const char *begin, qsizetype size);
    // The long line ended at offset (its LF included).
    void longLineEnded(qint64 offset);
    // At the end of the scanned bytes, which is end: closes the last frame.
    void close(qint64 end);
    FrameScanner::Result &result() { return m_result; }
    bool firstLineSeen() const { return m_firstLineSeen; }
    // A later part: a frame numbered 2^63 - 1, which is one too many when the file's first number is 0.
    bool reachedLargest() const { return m_reachedLargest; }
    // A later part: the number of its first frame, once read; the join checks it against the part before.
    const std::optional<qint64> &opening() const { return m_opening; }
    // A frame has been read: a number that does not increase after this is a break at a place.
    bool framed() const { return m_inFrame; }

private:
    bool firstLine(QByteArrayView rawLine, qint64 next);
    bool frameLine(qint64 number, qint64 offset);
    void timestampLine(QByteArrayView rawLine);
    void openFrame(qint64 offset);
    void closeFrame();
    // The time of the frame being closed, whose datagram was captured at captured.
    double capturedFrame(double captured);
    void leading(qint64 start);
    bool fail(Status status);

    FrameIndexBuilder &m_builder;
    const FrameScanner::DatagramTimes *m_times;
    const bool m_laterPart;
    bool m_reachedLargest = false;
    std::optional<qint64> m_opening;
    size_t m_datagram = 0;    // the datagram the frame-counter line met last lies in
    bool m_clocksMet = false; // a frame with a timestamp of its own has been captured
    double m_clockOffset = 0; // its timestamp less its capture time
    double m_lastOwn = 0;     // the last such frame's time, and its capture time
    double m_lastOwnCaptured = 0;
    FrameScanner::Result m_result;
    bool m_firstLineSeen = false;
    bool m_leadingOpen = false; // the first line is long and not a frame-counter line: entry 0 follows it
    bool m_inFrame = false;     // the lines read belong to a frame
    qint64 m_frameOffset = 0;   // where that frame's frame-counter line starts
    double m_stamp = 0;         // the value of its last timestamp line, 0 without one
    qint64 m_previous = 0;
};

bool Scan::lines(const char *begin, const char *end, qint64 base)
{
    const char *p = begin;
    if (!m_firstLineSeen && p < end) {
        m_firstLineSeen = true;
        const char *next = frame_lines::rawLineEnd(p, end);
        if (!firstLine(QByteArrayView(p, next - p), base + (next - begin)))
            return false;
        p = next;
    }
    const auto nextMarked = markedLineFinder();
    while (p < end) {
        if (startsWith(p, end, frame_lines::kFramePrefix)) {
            qint64 number = 0;
            const char *next = plainFrameLine(p, end, &number);
            if (!next)
                number = numberOf(QByteArrayView(p, (next = frame_lines::rawLineEnd(p, end)) - p));
            if (!frameLine(number, base + (p - begin)))
                return false;
            p = next;
        } else {
            // A frame's last timestamp line counts.
            if (m_inFrame && startsWith(p, end, frame_lines::kTimestampPrefix) &&
                !plainTimestamp(p, end, &m_stamp))
                timestampLine(QByteArrayView(p, frame_lines::rawLineEnd(p, end) - p));
            p = nextMarked(p + 1, end);
        }
    }
    return true;
}

bool Scan::longLine(const char *begin, qsizetype size)
{
    if (m_inFrame && frame_lines::isTimestampLine(QByteArrayView(begin, size))) {
        // Its number ends at the second space, or where the line is cut at a NUL.
        bool hasEnd = false;
        const QByteArrayView line = frame_lines::takeLine(QByteArrayView(begin, size), &hasEnd);
        if (line.size() == size &&
            !std::memchr(begin + frame_lines::kPrefixLength, ' ', size_t(size - frame_lines::kPrefixLength)))
            return false;
        timestampLine(line);
    }
    if (!m_firstLineSeen) {
        m_firstLineSeen = true;
        m_leadingOpen = true;
    }
    return true;
}

void Scan::longLineEnded(qint64 offset)
{
    if (m_leadingOpen)
        leading(offset);
    m_leadingOpen = false;
}

void Scan::leading(qint64 start)
{
    // Any other first line belongs to no frame and is dropped; entry 0 holds what follows it.
    m_builder.setLeading(true);
    m_builder.append(start);
}

bool Scan::firstLine(QByteArrayView rawLine, qint64 next)
{
    bool hasEnd = false;
    const QByteArrayView line = frame_lines::takeLine(rawLine, &hasEnd);
    if (!frame_lines::isFrameCounterLine(line)) {
        leading(next);
        return true;
    }
    qint64 first = 0;
    if (!frame_lines::parseNumber(frame_lines::secondField(line), &first))
        return fail(Status::FirstNumberInvalid);
    if (first < 0)
        return fail(Status::BadNumbering);
    m_previous = first;
    m_result.first_frame = m_result.last_frame = first;
    m_builder.append(0);
    openFrame(0);
    return true;
}

bool Scan::frameLine(qint64 number, qint64 offset)
{
    constexpr qint64 kLargest = std::numeric_limits<qint64>::max();
    if (m_laterPart && !m_inFrame) { // the part's first frame
        m_opening = number;
        if (number < 0)
            return fail(Status::BadNumbering);
        m_result.first_frame = m_result.last_frame = m_previous = number;
        m_reachedLargest = number == kLargest;
        m_builder.append(offset);
        openFrame(offset);
        return true;
    }
    // Numbers only increase; recordings of this system count up from 0 or 1, so a negative one is damage.
    // The entries from the first number to this one must be countable. A later part counts from its own
    // first number: when that is 0, the file's is too, so the same refusal holds and its own count cannot
    // overflow. Where a frame came before, the place of a number that does not increase is kept.
    if (number <= m_previous && m_inFrame) {
        fail(Status::BadNumbering);
        m_result.broken = {offset, number, m_previous};
        return false;
    }
    if (number <= m_previous || number < 0 || m_builder.stored() >= FrameScanner::kMaxFrames ||
        number - m_result.first_frame == kLargest)
        return fail(Status::BadNumbering);
    m_reachedLargest = number == kLargest;
    const qint64 gap = number - m_previous - 1;
    m_result.lost_count += gap;
    m_result.last_frame = number;
    closeFrame();
    m_builder.append(offset, gap);
    m_previous = number;
    openFrame(offset);
    return true;
}

void Scan::timestampLine(QByteArrayView rawLine)
{
    bool hasEnd = false;
    m_stamp = frame_lines::timestampValue(frame_lines::secondField(frame_lines::takeLine(rawLine, &hasEnd)));
}

void Scan::openFrame(qint64 offset)
{
    m_inFrame = true;
    m_frameOffset = offset;
    m_stamp = 0;
}

void Scan::closeFrame()
{
    if (!m_inFrame)
        return;
    double seconds = m_stamp;
    if (m_times) {
        while (m_datagram < m_times->ends.size() && m_times->ends[m_datagram] <= m_frameOffset)
            ++m_datagram;
        if (m_datagram < m_times->ends.size())
            seconds = capturedFrame(m_times->seconds[m_datagram]);
    }
    m_builder.setTimestamp(seconds); // kept when usable
}

double Scan::capturedFrame(double captured)
{
    // The sender's clock and the capture's are not the same: times are kept on the capture's clock from the
    // first frame with a timestamp of its own on, each such frame at its own distance from that one, and a
    // frame without one at its capture time's distance from the last frame that had one.
    if (frame_lines::isUsableTimestamp(m_stamp)) {
        if (!m_clocksMet)
            m_clockOffset = m_stamp - captured;
        m_clocksMet = true;
        m_lastOwn = m_stamp - m_clockOffset;
        m_lastOwnCaptured = captured;
        return m_lastOwn;
    }
    return m_clocksMet ? m_lastOwn + (captured - m_lastOwnCaptured) : captured;
}

void Scan::close(qint64 end)
{
    closeFrame();
    if (!m_firstLineSeen || m_leadingOpen)
        leading(end);
}

bool Scan::fail(Status status)
{
    m_result.status = status;
    m_result.first_frame = 0;
    m_result.last_frame = 0;
    m_result.lost_count = 0;
    return false;
}

// The file read in chunks into a buffer, whose complete lines go to the scan. A line longer than the buffer
// is passed over up to its LF when the scan needs nothing more of it; else the buffer grows until it holds
// the line whole.
class Chunks
{
public:
    // The bytes from begin up to end, or to the end of the file when end is -1.
    Chunks(int fd, qsizetype chunkSize, qint64 begin = 0, qint64 end = -1)
        : m_fd(fd), m_capacity(std::max<qsizetype>(chunkSize, 1)), m_buffer(new char[size_t(m_capacity)]),
          m_base(begin), m_end(end)
    {
    }

    // The bytes read so far.
    qint64 offset() const { return m_base + m_filled; }
    // Reads on: the bytes got, 0 at the end of the file, -1 when the read failed.
    qsizetype read();
    // Hands the complete lines of the bytes just got to the scan; false when the scan has failed.
    bool take(qsizetype got, Scan &scan);
    // At the end of the file: the last line, if it lacks its LF. False when the scan has failed.
    bool finish(Scan &scan)
    {
        return m_filled == 0 || scan.lines(m_buffer.get(), m_buffer.get() + m_filled, m_base);
    }

private:
    // Inside a long line that is passed over: false while its LF is still to come, else what follows it
    // stays in the buffer.
    bool passLongLine(qsizetype got, Scan &scan);
    // A full buffer without an LF.
    void longLine(Scan &scan);

    int m_fd;
    qsizetype m_capacity;
    std::unique_ptr<char[]> m_buffer;
    qsizetype m_filled = 0;  // bytes at the buffer's start not processed yet: an incomplete last line
    qint64 m_base = 0;       // the file offset of the buffer's first byte
    qint64 m_end = -1;
    bool m_skipping = false; // inside a long line that is passed over up to its LF
};

qsizetype Chunks::read()
{
    qsizetype room = m_capacity - m_filled;
    if (m_end >= 0)
        room = qsizetype(std::min<qint64>(room, m_end - offset()));
    if (room <= 0)
        return 0;
    for (;;) {
        const ssize_t got = ::pread(m_fd, m_buffer.get() + m_filled, size_t(room), offset());
        if (got >= 0 || errno != EINTR)
            return got < 0 ? -1 : qsizetype(got);
    }
}

bool Chunks::take(qsizetype got, Scan &scan)
{
    if (!m_skipping)
        m_filled += got;
    else if (!passLongLine(got, scan))
        return true;
    const char *begin = m_buffer.get();
    const char *lastLf = static_cast<const char *>(memrchr(begin, '\n', size_t(m_filled)));
    if (!lastLf) {
        if (m_filled == m_capacity)
            longLine(scan);
        return true;
    }
    const char *complete = lastLf + 1;
    if (!scan.lines(begin, complete, m_base))
        return false;
    const qsizetype done = qsizetype(complete - begin);
    m_base += done;
    m_filled -= done;
    std::memmove(m_buffer.get(), complete, size_t(m_filled));
    return true;
}

bool Chunks::passLongLine(qsizetype got, Scan &scan)
{
    const char *lf = static_cast<const char *>(std::memchr(m_buffer.get(), '\n', size_t(got)));
    if (!lf) {
        m_base += got;
        return false;
    }
    m_skipping = false;
    const qsizetype passed = qsizetype(lf + 1 - m_buffer.get());
    m_base += passed;
    scan.longLineEnded(m_base);
    m_filled = got - passed;
    std::memmove(m_buffer.get(), lf + 1, size_t(m_filled));
    return true;
}

void Chunks::longLine(Scan &scan)
{
    const char *begin = m_buffer.get();
    if (m_filled >= frame_lines::kPrefixLength &&
        !frame_lines::isFrameCounterLine(QByteArrayView(begin, m_filled)) && scan.longLine(begin, m_filled)) {
        // Nothing more in it is needed: only the numbers of frame-counter and timestamp lines are read.
        m_skipping = true;
        m_base += m_filled;
        m_filled = 0;
        return;
    }
    // A frame-counter or timestamp line longer than the buffer: its number is known only once it is whole.
    const qsizetype grown = m_capacity * 2;
    std::unique_ptr<char[]> bigger(new char[size_t(grown)]);
    std::memcpy(bigger.get(), m_buffer.get(), size_t(m_filled));
    m_buffer = std::move(bigger);
    m_capacity = grown;
}

// Where each part of a file begins: the first frame-counter line at or after each parts-th of it. The
// search for one ends this far after its point: a file without frame-counter lines there is split at fewer.
constexpr qint64 kSplitSearch = qint64(1) << 20;

std::vector<qint64> partStarts(int fd, qint64 size, int parts)
{
    std::vector<qint64> starts{0};
    char line[frame_lines::kPrefixLength + 1] = {'\n'}; // the LF before the line, and its prefix
    std::memcpy(line + 1, frame_lines::kFramePrefix, size_t(frame_lines::kPrefixLength));
    std::vector<char> buffer(size_t(64) << 10);
    for (int i = 1; i < parts; ++i) {
        const qint64 from = std::max(qint64(__int128(size) * i / parts), starts.back() + 1) - 1;
        for (qint64 at = from; at < size && at - from < kSplitSearch;) {
            const ssize_t got = ::pread(fd, buffer.data(), buffer.size(), at);
            if (got < qint64(sizeof line))
                break;
            if (const void *found = memmem(buffer.data(), size_t(got), line, sizeof line)) {
                starts.push_back(at + (static_cast<const char *>(found) - buffer.data()) + 1);
                break;
            }
            at += got - qint64(sizeof line) + 1; // a line that begins near the end is found in the next read
        }
    }
    return starts;
}

// A part of the file scanned by a thread of its own, all but the first into a builder of its own.
struct Part
{
    qint64 begin = 0;
    qint64 end = -1; // -1: to the end of the file; once scanned, where it ended
    FrameIndexBuilder own;
    std::optional<Scan> scan;
    Status status = Status::Ok;
    bool stopped = false; // ended before its end because another part failed or the scan was cancelled
};

// What the parts share while they run.
struct Shared
{
    int fd = -1;
    qsizetype chunkSize = 0;
    std::atomic<qint64> stored{0}; // entries all parts have stored
    std::atomic<bool> stop{false};
    bool cancelled = false; // set by the calling thread only
    std::mutex mutex;       // guards the two below; news is told of every change
    qint64 scanned = 0;     // bytes all parts have read
    int running = 0;
    std::condition_variable news;
};

// Scans a part up to its end, a failure or a stop; beforeRead (may be empty) is asked before every read and
// false cancels the scan.
void runPart(Part &part, FrameIndexBuilder &builder, Shared &shared, const std::function<bool()> &beforeRead)
{
    Chunks chunks(shared.fd, shared.chunkSize, part.begin, part.end);
    Scan &scan = *part.scan;
    qint64 counted = 0;
    for (;;) {
        if (beforeRead && !beforeRead()) {
            shared.cancelled = true;
            shared.stop = true;
            part.stopped = true;
            return;
        }
        // The first line is read whatever happens: whether the first number is valid comes first.
        if (shared.stop.load(std::memory_order_relaxed) && scan.firstLineSeen()) {
            part.stopped = true;
            return;
        }
        const qsizetype got = chunks.read();
        {
            std::lock_guard<std::mutex> lock(shared.mutex);
            shared.scanned += std::max<qsizetype>(got, 0);
        }
        shared.news.notify_all();
        if (got < 0) {
            part.status = Status::ReadFailed;
            shared.stop = true;
            return;
        }
        if (got == 0) {
            if (chunks.finish(scan))
                scan.close(chunks.offset());
            part.end = chunks.offset();
            part.status = scan.result().status;
            return;
        }
        if (!chunks.take(got, scan)) {
            part.status = scan.result().status;
            return;
        }
        // Parts that together hold too many entries to index stop early: their memory stays bounded.
        const qint64 stored = builder.stored();
        if (shared.stored.fetch_add(stored - counted) + (stored - counted) > FrameScanner::kMaxFrames)
            shared.stop = true;
        counted = stored;
    }
}

// The parts' results joined in file order into the result of a scan of the whole file, and their entries
// into builder, which holds the first part's: the numbering checked and lost frames counted across each
// start of a part as within a part.
FrameScanner::Result join(std::vector<std::unique_ptr<Part>> &parts, FrameIndexBuilder &builder,
                          const Shared &shared, FrameIndex &index)
{
    FrameScanner::Result failed;
    failed.status = shared.cancelled ? Status::Cancelled : Status::BadNumbering;
    if (shared.cancelled)
        return failed;
    FrameScanner::Result result = parts.front()->scan->result();
    bool complete = true, framed = parts.front()->scan->framed();
    for (size_t i = 0; i < parts.size(); ++i) {
        Part &part = *parts[i];
        Scan &scan = *part.scan;
        // In file order, as one pass meets them: the part's first number, which must increase on the part
        // before it, and no entry 2^63 - 1 after the first; then what the part found within itself.
        const bool whole = part.status == Status::Ok && !part.stopped;
        if (i > 0 && complete && (scan.opening() || whole)) {
            if (!scan.opening() || *scan.opening() <= result.last_frame) {
                if (scan.opening() && framed)
                    failed.broken = {part.begin, *scan.opening(), result.last_frame};
                return failed;
            }
            if (result.first_frame == 0 && scan.reachedLargest())
                return failed;
        }
        if (part.status != Status::Ok) {
            failed.status = part.status;
            failed.broken = scan.result().broken;
            return failed;
        }
        complete = complete && !part.stopped;
        if (i == 0 || !complete)
            continue;
        const FrameScanner::Result &r = scan.result();
        framed = true;
        const qint64 lost = r.first_frame - result.last_frame - 1;
        result.lost_count += lost + r.lost_count;
        result.last_frame = r.last_frame;
        builder.appendPart(part.own, lost);
    }
    // A part stops early only when the parts hold too many entries; it is not counted or seen when it
    // holds none at all.
    if (!complete || builder.stored() > FrameScanner::kMaxFrames)
        return failed;
    index = builder.finish(parts.back()->end, shared.scanned, result.first_frame, result.last_frame);
    return result;
}

// Runs every part but the first on a thread of its own and the first on this one, which then tells progress
// of all parts' reads until they are done; a part whose thread cannot start runs here after the first.
void runParts(std::vector<std::unique_ptr<Part>> &parts, FrameIndexBuilder &builder, Shared &shared,
              qint64 size, const FrameScanner::Progress &progress)
{
    std::vector<std::thread> threads;
    std::vector<Part *> unstarted;
    shared.running = int(parts.size()) - 1;
    for (size_t i = 1; i < parts.size(); ++i) {
        Part *part = parts[i].get();
        try {
            threads.emplace_back([part, &shared] {
                runPart(*part, part->own, shared, {});
                std::lock_guard<std::mutex> lock(shared.mutex);
                --shared.running;
                shared.news.notify_all();
            });
        } catch (const std::system_error &) {
            unstarted.push_back(part);
        }
    }
    auto told = [&] {
        std::unique_lock<std::mutex> lock(shared.mutex);
        const qint64 scanned = shared.scanned;
        lock.unlock();
        return !progress || progress(scanned, size);
    };
    runPart(*parts.front(), builder, shared, told);
    for (Part *part : unstarted) {
        runPart(*part, part->own, shared, told);
        std::lock_guard<std::mutex> lock(shared.mutex);
        --shared.running;
    }
    std::unique_lock<std::mutex> lock(shared.mutex);
    for (qint64 seen = -1; shared.running > 0;) {
        shared.news.wait(lock, [&] { return shared.running == 0 || shared.scanned != seen; });
        seen = shared.scanned;
        lock.unlock();
        if (progress && !shared.cancelled && !progress(seen, size)) {
            shared.cancelled = true;
            shared.stop = true;
        }
        lock.lock();
    }
    // As a scan in one part asks before its last read, which finds the end.
    const qint64 scanned = shared.scanned;
    lock.unlock();
    if (parts.size() > 1 && progress && !shared.cancelled && !progress(scanned, size))
        shared.cancelled = true;
    for (std::thread &thread : threads)
        thread.join();
}

} // namespace

FrameScanner::Result FrameScanner::scan(const QString &fileName, FrameIndex &index, qsizetype chunkSize,
                                        const Progress &progress, const DatagramTimes *times, int parts)
{
    FrameIndexBuilder builder;
    if (!builder.open(fileName)) {
        Result failed;
        failed.status = Status::OpenFailed;
        return failed;
    }
    const qint64 size = builder.fileSize();
    if (parts <= 0)
        parts =
            int(std::min<qint64>(std::max(1u, std::thread::hardware_concurrency()), size / kMinPartBytes));
    parts = std::clamp(parts, 1, 256);
    Shared shared;
    shared.fd = builder.descriptor();
    shared.chunkSize = chunkSize;
    std::vector<std::unique_ptr<Part>> scanned;
    const std::vector<qint64> starts = times ? std::vector<qint64>{0} : partStarts(shared.fd, size, parts);
    for (size_t i = 0; i < starts.size(); ++i) {
        scanned.push_back(std::make_unique<Part>());
        Part &part = *scanned.back();
        part.begin = starts[i];
        part.end = i + 1 < starts.size() ? starts[i + 1] : -1;
        part.scan.emplace(i == 0 ? builder : part.own, times, i > 0);
    }
    runParts(scanned, builder, shared, size, progress);
    return join(scanned, builder, shared, index);
}

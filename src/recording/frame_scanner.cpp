#include "recording/frame_scanner.h"

#include "recording/frame_index_builder.h"
#include "recording/frame_lines.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <unistd.h>
#if defined(__SSE2__)
#include <emmintrin.h>
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

// Where frame-counter lines start and each frame's timestamp are what the index needs, so the body lines
// between them are passed over.
class Scan
{
public:
    Scan(FrameIndexBuilder &builder, const FrameScanner::DatagramTimes *times)
        : m_builder(builder), m_times(times)
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
    FrameIndex finish(qint64 end);
    FrameScanner::Result &result() { return m_result; }

private:
    bool firstLine(QByteArrayView rawLine, qint64 next);
    bool frameLine(QByteArrayView rawLine, qint64 offset);
    bool number(QByteArrayView line, qint64 offset);
    void timestampLine(QByteArrayView rawLine);
    void openFrame(qint64 offset);
    void closeFrame();
    // The time of the frame being closed, whose datagram was captured at captured.
    double capturedFrame(double captured);
    void leading(qint64 start);
    bool fail(Status status);

    FrameIndexBuilder &m_builder;
    const FrameScanner::DatagramTimes *m_times;
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
    while (p < end) {
        if (frame_lines::isFrameCounterLine(QByteArrayView(p, end - p))) {
            const char *next = frame_lines::rawLineEnd(p, end);
            if (!frameLine(QByteArrayView(p, next - p), base + (p - begin)))
                return false;
            p = next;
        } else {
            // A frame's last timestamp line counts.
            if (m_inFrame && frame_lines::isTimestampLine(QByteArrayView(p, end - p)))
                timestampLine(QByteArrayView(p, frame_lines::rawLineEnd(p, end) - p));
            p = nextMarkedLine(p + 1, end);
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

bool Scan::frameLine(QByteArrayView rawLine, qint64 offset)
{
    bool hasEnd = false;
    const QByteArrayView line = frame_lines::takeLine(rawLine, &hasEnd);
    qint64 number = 0;
    frame_lines::parseNumber(frame_lines::secondField(line), &number); // not a number counts as 0
    // Numbers only increase; recordings of this system count up from 0 or 1, so a negative one is damage.
    // The entries from the first number to this one must be countable.
    if (number <= m_previous || number < 0 || m_builder.stored() >= FrameScanner::kMaxFrames ||
        number - m_result.first_frame == std::numeric_limits<qint64>::max())
        return fail(Status::BadNumbering);
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
    if (frame_lines::isUsableTimestamp(seconds))
        m_builder.setTimestamp(seconds);
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

FrameIndex Scan::finish(qint64 end)
{
    closeFrame();
    if (!m_firstLineSeen || m_leadingOpen)
        leading(end);
    return m_builder.finish(end, end, m_result.first_frame, m_result.last_frame);
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
    Chunks(int fd, qsizetype chunkSize)
        : m_fd(fd), m_capacity(std::max<qsizetype>(chunkSize, 1)), m_buffer(new char[size_t(m_capacity)])
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
    bool m_skipping = false; // inside a long line that is passed over up to its LF
};

qsizetype Chunks::read()
{
    for (;;) {
        const ssize_t got = ::read(m_fd, m_buffer.get() + m_filled, size_t(m_capacity - m_filled));
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

} // namespace

FrameScanner::Result FrameScanner::scan(const QString &fileName, FrameIndex &index, qsizetype chunkSize,
                                        const Progress &progress, const DatagramTimes *times)
{
    FrameIndexBuilder builder;
    Result failed;
    if (!builder.open(fileName)) {
        failed.status = Status::OpenFailed;
        return failed;
    }
    Scan scan(builder, times);
    Chunks chunks(builder.descriptor(), chunkSize);
    for (;;) {
        if (progress && !progress(chunks.offset(), builder.fileSize())) {
            failed.status = Status::Cancelled;
            return failed;
        }
        const qsizetype got = chunks.read();
        if (got < 0) {
            failed.status = Status::ReadFailed;
            return failed;
        }
        if (got == 0) {
            if (chunks.finish(scan))
                index = scan.finish(chunks.offset());
            return scan.result();
        }
        if (!chunks.take(got, scan))
            return scan.result();
    }
}

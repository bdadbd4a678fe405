#include "recording/frame_scanner.h"

#include "recording/frame_index_builder.h"
#include "recording/frame_lines.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <unistd.h>

namespace {

using Status = FrameScanner::Status;

// The start of the first frame-counter line in [from, end), or end. Such a line starts right after an LF;
// looking for the prefix's first character passes over body lines (numbers) without visiting each one.
const char *nextFrameStart(const char *from, const char *end)
{
    while (from < end) {
        const void *hit = std::memchr(from, frame_lines::kFramePrefix[0], size_t(end - from));
        if (!hit)
            break;
        const char *candidate = static_cast<const char *>(hit);
        if (candidate[-1] == '\n' &&
            frame_lines::isFrameCounterLine(QByteArrayView(candidate, end - candidate)))
            return candidate;
        from = candidate + 1;
    }
    return end;
}

const char *lineEnd(const char *begin, const char *end)
{
    const void *lf = std::memchr(begin, '\n', size_t(end - begin));
    return lf ? static_cast<const char *>(lf) + 1 : end;
}

// Only where frame-counter lines start matters to the index, so the bytes between them are passed over.
class Scan
{
public:
    explicit Scan(FrameIndexBuilder &builder) : m_builder(builder) {}

    // Processes the complete lines in [begin, end), which lie at offset base of the file; the last one may
    // lack its LF only at the end of the data. Returns false when the scan has failed.
    bool lines(const char *begin, const char *end, qint64 base);
    // A line too long for the buffer that cannot be a frame-counter line starts here; its end is not known
    // yet.
    void longLine();
    // The long line ended at offset (its LF included).
    void longLineEnded(qint64 offset);
    FrameIndex finish(qint64 end);
    FrameScanner::Result &result() { return m_result; }

private:
    bool firstLine(QByteArrayView rawLine, qint64 next);
    bool frameLine(QByteArrayView rawLine, qint64 offset);
    bool number(QByteArrayView line, qint64 offset);
    void timestampLine(const char *p, const char *end);
    void leading(qint64 start);
    bool fail(Status status);

    FrameIndexBuilder &m_builder;
    FrameScanner::Result m_result;
    bool m_firstLineSeen = false;
    bool m_leadingOpen = false;    // the first line is long and not a frame-counter line: entry 0 follows it
    bool m_awaitTimestamp = false; // the next line follows a frame-counter line
    qint64 m_previous = 0;
};

bool Scan::lines(const char *begin, const char *end, qint64 base)
{
    const char *p = begin;
    if (!m_firstLineSeen && p < end) {
        m_firstLineSeen = true;
        const char *next = lineEnd(p, end);
        if (!firstLine(QByteArrayView(p, next - p), base + (next - begin)))
            return false;
        p = next;
    }
    while (p < end) {
        if (m_awaitTimestamp)
            timestampLine(p, end);
        if (frame_lines::isFrameCounterLine(QByteArrayView(p, end - p))) {
            const char *next = lineEnd(p, end);
            if (!frameLine(QByteArrayView(p, next - p), base + (p - begin)))
                return false;
            p = next;
        } else {
            p = nextFrameStart(p + 1, end);
        }
    }
    return true;
}

void Scan::longLine()
{
    m_awaitTimestamp = false;
    if (m_firstLineSeen)
        return;
    m_firstLineSeen = true;
    m_leadingOpen = true;
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
    m_awaitTimestamp = true;
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
    m_builder.append(offset, gap);
    m_previous = number;
    m_awaitTimestamp = true;
    return true;
}

void Scan::timestampLine(const char *p, const char *end)
{
    m_awaitTimestamp = false;
    if (!frame_lines::isTimestampLine(QByteArrayView(p, end - p)))
        return;
    bool hasEnd = false;
    const QByteArrayView line = frame_lines::takeLine(QByteArrayView(p, lineEnd(p, end) - p), &hasEnd);
    double seconds = 0;
    if (frame_lines::parseTimestamp(frame_lines::secondField(line), &seconds))
        m_builder.setTimestamp(seconds);
}

FrameIndex Scan::finish(qint64 end)
{
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

} // namespace

FrameScanner::Result FrameScanner::scan(const QString &fileName, FrameIndex &index, qsizetype chunkSize,
                                        const Progress &progress)
{
    FrameIndexBuilder builder;
    Result failed;
    if (!builder.open(fileName)) {
        failed.status = Status::OpenFailed;
        return failed;
    }
    const int fd = builder.descriptor();
    Scan scan(builder);

    qsizetype capacity = std::max<qsizetype>(chunkSize, 1);
    std::unique_ptr<char[]> buffer(new char[size_t(capacity)]);
    qsizetype filled = 0;  // bytes at the buffer's start not processed yet: an incomplete last line
    qint64 base = 0;       // the file offset of the buffer's first byte
    bool skipping = false; // inside a long line that is passed over up to its LF
    for (;;) {
        if (progress && !progress(base + filled, builder.fileSize())) {
            failed.status = Status::Cancelled;
            return failed;
        }
        const ssize_t got = ::read(fd, buffer.get() + filled, size_t(capacity - filled));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            failed.status = Status::ReadFailed;
            return failed;
        }
        if (got == 0) {
            if (filled > 0 && !scan.lines(buffer.get(), buffer.get() + filled, base))
                return scan.result();
            index = scan.finish(base + filled);
            return scan.result();
        }
        if (skipping) {
            const char *lf = static_cast<const char *>(std::memchr(buffer.get(), '\n', size_t(got)));
            if (!lf) {
                base += got;
                continue;
            }
            skipping = false;
            const qsizetype passed = qsizetype(lf + 1 - buffer.get());
            base += passed;
            scan.longLineEnded(base);
            filled = qsizetype(got) - passed;
            std::memmove(buffer.get(), lf + 1, size_t(filled));
        } else {
            filled += qsizetype(got);
        }
        const char *begin = buffer.get();
        const char *lastLf = static_cast<const char *>(memrchr(begin, '\n', size_t(filled)));
        if (!lastLf) {
            if (filled < capacity)
                continue;
            if (filled >= frame_lines::kPrefixLength &&
                !frame_lines::isFrameCounterLine(QByteArrayView(begin, filled))) {
                // Nothing in it is needed: only a frame-counter line's number is read.
                scan.longLine();
                skipping = true;
                base += filled;
                filled = 0;
                continue;
            }
            // A frame-counter line longer than the buffer: its number is known only once it is whole.
            const qsizetype grown = capacity * 2;
            std::unique_ptr<char[]> bigger(new char[size_t(grown)]);
            std::memcpy(bigger.get(), buffer.get(), size_t(filled));
            buffer = std::move(bigger);
            capacity = grown;
            continue;
        }
        const char *complete = lastLf + 1;
        if (!scan.lines(begin, complete, base))
            return scan.result();
        const qsizetype done = qsizetype(complete - begin);
        base += done;
        filled -= done;
        std::memmove(buffer.get(), complete, size_t(filled));
    }
}

#include "frame_scanner.h"

#include "frame_index_builder.h"
#include "frame_lines.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
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
    qint64 failedAt() const { return m_failedAt; }

private:
    bool firstLine(QByteArrayView rawLine, qint64 next);
    bool frameLine(QByteArrayView rawLine, qint64 offset);
    void leading(qint64 start);
    bool fail(Status status, qint64 offset);

    FrameIndexBuilder &m_builder;
    FrameScanner::Result m_result;
    bool m_firstLineSeen = false;
    bool m_leadingOpen = false; // the first line is long and not a frame-counter line: entry 0 follows it
    qint64 m_previous = 0;
    qint64 m_failedAt = -1;
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
    int number = 0;
    if (!frame_lines::parseInt(frame_lines::secondField(line), &number))
        return fail(Status::FirstNumberInvalid, 0);
    m_previous = number;
    m_result.first_frame = m_result.last_frame = quint32(number);
    m_builder.append(0);
    return true;
}

bool Scan::frameLine(QByteArrayView rawLine, qint64 offset)
{
    bool hasEnd = false;
    const QByteArrayView line = frame_lines::takeLine(rawLine, &hasEnd);
    int parsed = 0;
    frame_lines::parseInt(frame_lines::secondField(line), &parsed); // not a number counts as 0
    m_result.last_frame = quint32(parsed);
    // 64-bit, so that a predecessor of 2^31 - 1 cannot overflow.
    const qint64 number = parsed;
    if (m_previous + 1 > number || number < 0)
        return fail(Status::BadNumbering, offset);
    const qint64 gap = number - m_previous - 1;
    // Entries after this frame: those so far, the empty ones of the gap, this frame's own.
    if (m_builder.entries() + gap + 1 > FrameScanner::kMaxEntries)
        return fail(Status::BadNumbering, offset);
    for (qint64 n = m_previous + 1;
         n < number && m_result.lost_numbers.size() < FrameScanner::kNotedLostFrames; ++n)
        m_result.lost_numbers.push_back(int(n));
    m_result.lost_count += gap;
    m_builder.append(offset, gap + 1);
    m_previous = number;
    return true;
}

FrameIndex Scan::finish(qint64 end)
{
    if (!m_firstLineSeen || m_leadingOpen)
        leading(end);
    return m_builder.finish(end, end, m_result.first_frame, m_result.last_frame);
}

bool Scan::fail(Status status, qint64 offset)
{
    m_result.status = status;
    m_result.first_frame = 0;
    m_result.last_frame = 0;
    m_failedAt = offset;
    return false;
}

} // namespace

QString FrameScanner::Result::lostFramesText() const
{
    if (lost_count <= 0)
        return QString();
    QString text = QStringLiteral("Lost frame number ") + QString::number(lost_count) + QStringLiteral(": ");
    for (const int number : lost_numbers)
        text += QLatin1Char(' ') + QString::number(number);
    if (lost_count > kNotedLostFrames)
        text += QStringLiteral("...");
    return text;
}

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
    auto failedScan = [&]() {
        // The entries up to the offending line stay: those before it ended there.
        const Result result = scan.result();
        index = result.status == Status::FirstNumberInvalid
                    ? FrameIndex()
                    : builder.finish(scan.failedAt(), builder.fileSize(), 0, 0);
        return result;
    };

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
            index = FrameIndex();
            return failed;
        }
        if (got == 0) {
            if (filled > 0 && !scan.lines(buffer.get(), buffer.get() + filled, base))
                return failedScan();
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
            return failedScan();
        const qsizetype done = qsizetype(complete - begin);
        base += done;
        filled -= done;
        std::memmove(buffer.get(), complete, size_t(filled));
    }
}

#include "frame_scanner.h"

#include "frame_lines.h"

#include <QFile>
#include <QIODevice>
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

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

// Reserve for the usual frame size of a few hundred bytes; the list still grows past it when needed, and
// reserved pages that are never written cost address space only.
constexpr qint64 kBytesPerFrameEstimate = 128;
constexpr qint64 kMaxReserve = qint64(1) << 22;

class Scan
{
public:
    explicit Scan(std::vector<QString> &frames) : m_frames(frames) {}

    // Processes the complete lines in [begin, end); the last one may lack its LF only at the end of the
    // data. Returns false when the scan has failed. The bytes may be reused once it has returned.
    bool lines(const char *begin, const char *end);
    bool finish();
    FrameScanner::Result &result() { return m_result; }

private:
    bool firstLine(QByteArrayView rawLine);
    bool frameLine(QByteArrayView rawLine);
    void appendBody(const char *begin, const char *end);
    void appendLine(QByteArrayView rawLine);
    void appendClean(const char *begin, const char *end);
    void settle();
    void flushFrame();
    bool fail(Status status);

    std::vector<QString> &m_frames;
    FrameScanner::Result m_result;
    // The current frame's text is m_frame followed by the bytes [m_runBegin, m_runEnd) of the chunk in
    // hand, which hold neither NUL nor CR and so read exactly as they stand: a frame within one chunk is
    // converted straight from the chunk. m_frame is reused from frame to frame.
    std::string m_frame;
    const char *m_runBegin = nullptr;
    const char *m_runEnd = nullptr;
    bool m_firstLineSeen = false;
    qint64 m_previous = 0;
};

const char *lineEnd(const char *begin, const char *end)
{
    const void *lf = std::memchr(begin, '\n', size_t(end - begin));
    return lf ? static_cast<const char *>(lf) + 1 : end;
}

bool isClean(const char *begin, const char *end)
{
    const size_t length = size_t(end - begin);
    return !std::memchr(begin, '\0', length) && !std::memchr(begin, '\r', length);
}

bool Scan::lines(const char *p, const char *end)
{
    while (p < end) {
        const bool first = !m_firstLineSeen;
        if (first || frame_lines::isFrameCounterLine(QByteArrayView(p, end - p))) {
            m_firstLineSeen = true;
            const char *next = lineEnd(p, end);
            if (!(first ? firstLine(QByteArrayView(p, next - p)) : frameLine(QByteArrayView(p, next - p))))
                return false;
            p = next;
            continue;
        }
        // Body lines up to the next frame-counter line are taken as one run.
        const char *bodyEnd = nextFrameStart(p + 1, end);
        appendBody(p, bodyEnd);
        p = bodyEnd;
    }
    settle();
    return true;
}

bool Scan::firstLine(QByteArrayView rawLine)
{
    bool hasEnd = false;
    const QByteArrayView line = frame_lines::takeLine(rawLine, &hasEnd);
    // Any other first line belongs to no frame and is dropped.
    if (!frame_lines::isFrameCounterLine(line))
        return true;
    int number = 0;
    if (!frame_lines::parseInt(frame_lines::secondField(line), &number))
        return fail(Status::FirstNumberInvalid);
    m_previous = number;
    m_result.first_frame = m_result.last_frame = quint32(number);
    appendLine(rawLine);
    return true;
}

void Scan::appendBody(const char *begin, const char *end)
{
    if (isClean(begin, end)) {
        appendClean(begin, end);
        return;
    }
    while (begin < end) {
        const char *next = lineEnd(begin, end);
        appendLine(QByteArrayView(begin, next - begin));
        begin = next;
    }
}

void Scan::appendLine(QByteArrayView rawLine)
{
    if (isClean(rawLine.data(), rawLine.data() + rawLine.size())) {
        appendClean(rawLine.data(), rawLine.data() + rawLine.size());
        return;
    }
    settle();
    bool hasEnd = false;
    const QByteArrayView line = frame_lines::takeLine(rawLine, &hasEnd);
    m_frame.append(line.data(), size_t(line.size()));
    if (hasEnd)
        m_frame.push_back('\n');
}

void Scan::appendClean(const char *begin, const char *end)
{
    if (m_runBegin && m_runEnd == begin) {
        m_runEnd = end;
        return;
    }
    settle();
    if (m_frame.empty()) {
        m_runBegin = begin;
        m_runEnd = end;
    } else {
        m_frame.append(begin, size_t(end - begin));
    }
}

void Scan::settle()
{
    if (!m_runBegin)
        return;
    m_frame.append(m_runBegin, size_t(m_runEnd - m_runBegin));
    m_runBegin = m_runEnd = nullptr;
}

void Scan::flushFrame()
{
    if (m_runBegin && m_frame.empty()) {
        m_frames.push_back(QString::fromLatin1(m_runBegin, m_runEnd - m_runBegin));
    } else {
        settle();
        m_frames.push_back(QString::fromLatin1(m_frame.data(), qsizetype(m_frame.size())));
    }
    m_runBegin = m_runEnd = nullptr;
    m_frame.clear();
}

bool Scan::frameLine(QByteArrayView rawLine)
{
    flushFrame();
    appendLine(rawLine);
    bool hasEnd = false;
    const QByteArrayView line = frame_lines::takeLine(rawLine, &hasEnd);

    int parsed = 0;
    frame_lines::parseInt(frame_lines::secondField(line), &parsed); // not a number counts as 0
    m_result.last_frame = quint32(parsed);
    // 64-bit, so that a predecessor of 2^31 - 1 cannot overflow.
    const qint64 number = parsed;
    if (m_previous + 1 > number || number < 0)
        return fail(Status::BadNumbering);
    const qint64 gap = number - m_previous - 1;
    // Entries after this frame: those so far, the empty ones of the gap, this frame's own.
    if (qint64(m_frames.size()) + gap + 1 > FrameScanner::kMaxEntries)
        return fail(Status::BadNumbering);
    if (gap > 0) {
        for (qint64 n = m_previous + 1;
             n < number && m_result.lost_numbers.size() < FrameScanner::kNotedLostFrames; ++n)
            m_result.lost_numbers.push_back(int(n));
        m_result.lost_count += gap;
        m_frames.resize(m_frames.size() + size_t(gap));
    }
    m_previous = number;
    return true;
}

bool Scan::finish()
{
    flushFrame();
    return true;
}

bool Scan::fail(Status status)
{
    m_result.status = status;
    m_result.first_frame = 0;
    m_result.last_frame = 0;
    return false;
}

// Switches a device's text mode off for the scan: the line rule is applied to the raw bytes.
class RawReading
{
public:
    explicit RawReading(QIODevice &device) : m_device(device), m_text(device.isTextModeEnabled())
    {
        if (m_text)
            m_device.setTextModeEnabled(false);
    }
    ~RawReading()
    {
        if (m_text)
            m_device.setTextModeEnabled(true);
    }
    RawReading(const RawReading &) = delete;
    RawReading &operator=(const RawReading &) = delete;

private:
    QIODevice &m_device;
    bool m_text;
};

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

FrameScanner::Result FrameScanner::scan(const QString &fileName, std::vector<QString> &frames,
                                        qsizetype chunkSize)
{
    QFile file(fileName);
    // Unbuffered: the chunks are large, Qt's own buffer would only add a copy.
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        Result result;
        result.status = Status::OpenFailed;
        return result;
    }
    return scan(file, frames, chunkSize);
}

FrameScanner::Result FrameScanner::scan(QIODevice &device, std::vector<QString> &frames, qsizetype chunkSize)
{
    if (!device.isOpen() || !device.isReadable()) {
        Result result;
        result.status = Status::OpenFailed;
        return result;
    }
    RawReading raw(device);
    frames.clear();
    const qint64 size = device.isSequential() ? 0 : device.size() - device.pos();
    frames.reserve(size_t(std::min(size / kBytesPerFrameEstimate + 1, kMaxReserve)));

    Scan scan(frames);
    qsizetype capacity = std::max<qsizetype>(chunkSize, 1);
    std::unique_ptr<char[]> buffer(new char[size_t(capacity)]);
    qsizetype filled = 0; // bytes at the buffer's start not processed yet: an incomplete last line
    for (;;) {
        const qint64 got = device.read(buffer.get() + filled, capacity - filled);
        if (got < 0) {
            Result result = scan.result();
            result.status = Status::ReadFailed;
            result.first_frame = result.last_frame = 0;
            return result;
        }
        if (got == 0) {
            if (filled > 0 && !scan.lines(buffer.get(), buffer.get() + filled))
                return scan.result();
            scan.finish();
            return scan.result();
        }
        filled += qsizetype(got);
        const char *begin = buffer.get();
        const char *end = begin + filled;
        const char *lastLf = static_cast<const char *>(memrchr(begin, '\n', size_t(filled)));
        if (!lastLf) {
            if (filled == capacity) {
                // A line longer than the buffer: it has to be whole before its kind is known.
                const qsizetype grown = capacity * 2;
                std::unique_ptr<char[]> bigger(new char[size_t(grown)]);
                std::memcpy(bigger.get(), buffer.get(), size_t(filled));
                buffer = std::move(bigger);
                capacity = grown;
            }
            continue;
        }
        const char *complete = lastLf + 1;
        if (!scan.lines(begin, complete))
            return scan.result();
        filled = qsizetype(end - complete);
        std::memmove(buffer.get(), complete, size_t(filled));
    }
}

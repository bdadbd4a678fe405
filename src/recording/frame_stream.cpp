#include "recording/frame_stream.h"

#include "recording/frame_lines.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

constexpr size_t kBufferSize = size_t(1) << 20;
// A frame-counter line is read up to this many bytes: far more than a number needs.
constexpr qint64 kMaxNumberLine = 64 * 1024;
constexpr char kStart[] = "\nfr ";

// The first "\nfr " in [begin, end), or null. Sixteen places at a time where SSE2 is there: four compares of
// shifted loads, far faster than memmem for a needle this short.
const char *findFrameLine(const char *begin, const char *end)
{
    const char *p = begin;
#ifdef __SSE2__
    const __m128i lf = _mm_set1_epi8('\n'), f = _mm_set1_epi8('f'), r = _mm_set1_epi8('r'),
                  space = _mm_set1_epi8(' ');
    for (; end - p >= 19; p += 16) {
        const auto at = [p](int i) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i)); };
        const __m128i hits =
            _mm_and_si128(_mm_and_si128(_mm_cmpeq_epi8(at(0), lf), _mm_cmpeq_epi8(at(1), f)),
                          _mm_and_si128(_mm_cmpeq_epi8(at(2), r), _mm_cmpeq_epi8(at(3), space)));
        if (const int mask = _mm_movemask_epi8(hits))
            return p + __builtin_ctz(unsigned(mask));
    }
#endif
    return static_cast<const char *>(::memmem(p, size_t(std::max<qsizetype>(end - p, 0)), kStart, 4));
}

} // namespace

FrameStream::~FrameStream()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool FrameStream::open(const QString &file)
{
    m_fd = ::open(QFile::encodeName(file).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (m_fd < 0 || ::fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        m_status = Status::OpenFailed;
        return false;
    }
    return true;
}

void FrameStream::park()
{
    m_buffer = std::vector<char>();
    m_bufferBegin = m_begin;
    m_length = 0;
}

bool FrameStream::fill(qint64 keep)
{
    const qint64 bufferEnd = m_bufferBegin + qint64(m_length);
    if (keep < m_bufferBegin || keep > bufferEnd) {
        m_bufferBegin = keep;
        m_length = 0;
    } else if (keep > m_bufferBegin) {
        m_length = size_t(bufferEnd - keep);
        std::memmove(m_buffer.data(), m_buffer.data() + (keep - m_bufferBegin), m_length);
        m_bufferBegin = keep;
    }
    m_buffer.resize(kBufferSize);
    const size_t before = m_length;
    while (m_length < m_buffer.size()) {
        const ssize_t n = ::pread(m_fd, m_buffer.data() + m_length, m_buffer.size() - m_length,
                                  m_bufferBegin + qint64(m_length));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            m_status = Status::ReadFailed;
        if (n <= 0)
            break;
        m_length += size_t(n);
    }
    return m_length > before;
}

qint64 FrameStream::findStart(qint64 at, qint64 keep)
{
    for (;;) {
        const qint64 bufferEnd = m_bufferBegin + qint64(m_length);
        if (at >= m_bufferBegin && at < bufferEnd) {
            const char *from = m_buffer.data() + (at - m_bufferBegin);
            if (const char *found = findFrameLine(from, from + (bufferEnd - at)))
                return m_bufferBegin + (found - m_buffer.data()) + 1;
            at = std::max(at, bufferEnd - 3);
        }
        // A frame too large to hold is passed over, not held.
        if (bufferEnd - keep > qint64(kBufferSize / 2))
            keep = at;
        if (!fill(std::min(keep, at)))
            return -1;
    }
}

bool FrameStream::readNumber()
{
    const char *line = nullptr;
    const char *lineEnd = nullptr;
    // The pointers are taken again after every fill, which moves the bytes.
    for (bool more = true;; more = fill(m_begin)) {
        const qint64 bufferEnd = m_bufferBegin + qint64(m_length);
        if (m_begin >= m_bufferBegin && m_begin < bufferEnd) {
            line = m_buffer.data() + (m_begin - m_bufferBegin);
            const qint64 most = std::min(bufferEnd - m_begin, kMaxNumberLine);
            lineEnd = frame_lines::rawLineEnd(line, line + most);
            if (lineEnd < line + most || most == kMaxNumberLine || !more)
                break;
        } else if (!more) {
            return false;
        }
    }
    bool hasEnd = false;
    const QByteArrayView taken = frame_lines::takeLine(QByteArrayView(line, lineEnd - line), &hasEnd);
    return frame_lines::parseNumber(frame_lines::secondField(taken), &m_number);
}

bool FrameStream::next()
{
    if (!m_started) {
        m_started = true;
        fill(0);
        const bool atStart = m_length >= 3 && std::memcmp(m_buffer.data(), frame_lines::kFramePrefix, 3) == 0;
        m_next = atStart ? 0 : findStart(0, 0);
    }
    if (m_next < 0 || m_status != Status::Ok)
        return false;
    m_begin = m_next;
    if (!readNumber()) {
        if (m_frames == 0 && m_status == Status::Ok)
            m_status = Status::FirstNumberInvalid;
        m_number = 0; // not a number counts as 0
    }
    m_next = findStart(m_begin, m_begin);
    m_end = m_next >= 0 ? m_next : m_bufferBegin + qint64(m_length);
    ++m_frames;
    return m_status == Status::Ok;
}

bool FrameStream::sameBytes(const FrameStream &a, const FrameStream &b)
{
    const qint64 size = a.m_end - a.m_begin;
    if (size != b.m_end - b.m_begin)
        return false;
    if (a.held() && b.held())
        return a.bytes() == b.bytes();
    std::vector<char> x(64 * 1024), y(64 * 1024);
    for (qint64 at = 0; at < size;) {
        const size_t n = size_t(std::min<qint64>(size - at, qint64(x.size())));
        if (::pread(a.m_fd, x.data(), n, a.m_begin + at) != ssize_t(n) ||
            ::pread(b.m_fd, y.data(), n, b.m_begin + at) != ssize_t(n) ||
            std::memcmp(x.data(), y.data(), n) != 0)
            return false;
        at += qint64(n);
    }
    return true;
}

#include "capture/capture_recording.h"

#include <QDir>
#include <QTemporaryFile>
#include <cstdio>
#include <unistd.h>
#include <vector>

namespace {
constexpr size_t kStreamBuffer = 1 << 20;
}

CaptureRecording::CaptureRecording() = default;
CaptureRecording::~CaptureRecording() = default;
CaptureRecording::CaptureRecording(CaptureRecording &&other) noexcept = default;
CaptureRecording &CaptureRecording::operator=(CaptureRecording &&other) noexcept = default;

QString CaptureRecording::fileName() const
{
    return m_file ? m_file->fileName() : QString();
}

const CaptureReader::Result &CaptureRecording::read(const QString &capture,
                                                    const CaptureReader::Options &options,
                                                    const CaptureReader::Progress &progress)
{
    m_file.reset();
    m_capture = capture;
    m_result = CaptureReader::Result();
    auto file = std::make_unique<QTemporaryFile>(QDir::tempPath() + "/ostrel-capture-XXXXXX.orf");
    // Written through a stream of its own with a large buffer: a capture gives many small payloads.
    const int fd = file->open() ? ::dup(file->handle()) : -1;
    std::FILE *stream = fd >= 0 ? ::fdopen(fd, "wb") : nullptr;
    if (!stream) {
        if (fd >= 0)
            ::close(fd);
        m_result.status = CaptureReader::Status::WriteFailed;
        m_result.error = QStringLiteral("no temporary recording can be written for %1 in %2")
                             .arg(capture, QDir::tempPath());
        return m_result;
    }
    std::vector<char> buffer(kStreamBuffer);
    std::setvbuf(stream, buffer.data(), _IOFBF, buffer.size());
    m_times = {};
    const CaptureReader::Sink write = CaptureReader::fileSink(stream);
    qint64 written = 0;
    m_result = CaptureReader::read(
        capture, options,
        [&](const char *data, qsizetype size, qint64 timeNs) {
            m_times.ends.push_back(written += size);
            m_times.seconds.push_back(double(timeNs) / 1e9);
            return write(data, size, timeNs);
        },
        progress);
    const bool closed = std::fclose(stream) == 0;
    file->close();
    if (m_result.ok() && !closed) {
        m_result.status = CaptureReader::Status::WriteFailed;
        m_result.error = QStringLiteral("the recording of %1 could not be written to %2 (is the disk full?)")
                             .arg(capture, file->fileName());
    }
    if (m_result.ok())
        m_file = std::move(file);
    else
        m_times = {};
    return m_result;
}

FrameScanner::Result CaptureRecording::scan(FrameIndex &index, const FrameScanner::Progress &progress)
{
    const FrameScanner::Result result =
        FrameScanner::scan(fileName(), index, FrameScanner::kDefaultChunkSize, progress, &m_times);
    m_times = {};
    return result;
}

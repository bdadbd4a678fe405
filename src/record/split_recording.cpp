#include "record/split_recording.h"

#include "recording/frame_lines.h"
#include "recording/part_file.h"

#include <QFile>
#include <QFileInfo>

#include <cstring>
#include <sys/stat.h>

SplitRecording::SplitRecording(const QString &file, Limits limits, bool force)
    : m_file(file), m_limits(limits), m_force(force)
{
}

SplitRecording::~SplitRecording()
{
    waitForClosed();
    if (m_output)
        std::fclose(m_output);
}

QString SplitRecording::numbered(const QString &file, int number)
{
    const QString suffix = QFileInfo(file).suffix();
    const QString base = suffix.isEmpty() ? file : file.chopped(suffix.size() + 1);
    const QString numberText = QStringLiteral("-%1").arg(number, 4, 10, QLatin1Char('0'));
    return suffix.isEmpty() ? base + numberText : base + numberText + '.' + suffix;
}

FILE *SplitRecording::open(QString *why)
{
    ++m_number;
    // A file of that name is replaced only with force, as the first one's is: the rename would replace it.
    struct stat st;
    if (!m_force && ::lstat(QFile::encodeName(current()).constData(), &st) == 0) {
        *why = QStringLiteral("%1 exists; --force replaces it").arg(current());
        return m_output = nullptr;
    }
    m_output = part_file::create(current(), m_force, why);
    m_bytes = 0;
    m_opened = std::chrono::steady_clock::now();
    return m_output;
}

FILE *SplitRecording::outputFor(const char *data, int length)
{
    const bool full = (m_limits.bytes > 0 && m_bytes >= m_limits.bytes) ||
                      (m_limits.seconds > 0 &&
                       std::chrono::duration<double>(std::chrono::steady_clock::now() - m_opened).count() >=
                           m_limits.seconds);
    if (full && m_output && m_bytes > 0 && m_lineEnded && length >= frame_lines::kPrefixLength &&
        std::memcmp(data, frame_lines::kFramePrefix, frame_lines::kPrefixLength) == 0) {
        // The closed file is finished meanwhile; the next waits for it, so at most one is ever finishing.
        waitForClosed();
        FILE *closed = m_output;
        const QString name = current();
        m_finishing = std::thread([this, closed, name] {
            QString why;
            if (!part_file::finish(closed, name, &why)) {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (m_failure.isEmpty())
                    m_failure = why;
            }
        });
        QString why;
        if (!open(&why)) {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_failure.isEmpty())
                m_failure = why;
        }
    }
    if (length > 0) {
        m_bytes += length;
        m_lineEnded = data[length - 1] == '\n';
    }
    return m_output;
}

void SplitRecording::waitForClosed()
{
    if (m_finishing.joinable())
        m_finishing.join();
}

bool SplitRecording::finish(QString *why)
{
    waitForClosed();
    FILE *output = m_output;
    m_output = nullptr;
    const bool finished = output && part_file::finish(output, current(), why);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_failure.isEmpty()) {
        *why = m_failure;
        return false;
    }
    return finished;
}

void SplitRecording::abandon(bool removePart, QString *why)
{
    waitForClosed();
    if (m_output)
        std::fclose(m_output);
    m_output = nullptr;
    if (removePart)
        QFile::remove(current() + ".part");
    std::lock_guard<std::mutex> lock(m_mutex);
    *why = m_failure;
}

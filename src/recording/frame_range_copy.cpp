#include "recording/frame_range_copy.h"

#include "recording/part_file.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace frame_range_copy {

namespace {

// Copied between two asks of the progress function.
constexpr qint64 kPiece = qint64(64) << 20;

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// Walks the index's frames with where each begins relative to the first frame, and turns those into file
// offsets at the end: the bytes before the first frame are the file's size less all frames'.
template <typename Take> Range walk(const FrameIndex &index, Take take)
{
    Range range;
    qint64 offset = 0;
    qint64 beginRelative = -1;
    index.forEachFrame([&](qsizetype k, qint64 bytes, double seconds) {
        if (take(k, seconds)) {
            if (beginRelative < 0) {
                beginRelative = offset;
                range.firstFrame = index.first() + k;
            }
            range.end = offset + bytes;
            range.lastFrame = index.first() + k;
            ++range.frames;
        }
        offset += bytes;
    });
    if (range.frames == 0)
        return Range();
    const qint64 leading = QFileInfo(index.fileName()).size() - offset;
    range.begin = leading + beginRelative;
    range.end += leading;
    return range;
}

} // namespace

Range framesBetween(const FrameIndex &index, qint64 from, qint64 until)
{
    const qint64 first = index.first();
    return walk(index, [&](qsizetype k, double) { return first + k >= from && first + k <= until; });
}

bool framesWithin(const FrameIndex &index, double start, double duration, Range *range)
{
    bool stamped = false;
    double time = 0; // since the first stamped frame
    *range = walk(index, [&](qsizetype k, double seconds) {
        if (!std::isnan(seconds))
            time += seconds;
        else if (!stamped)
            index.interval(k, &stamped);
        stamped = stamped || !std::isnan(seconds);
        return time >= start && time - start < duration;
    });
    return stamped;
}

void startWriteBack(int fd)
{
    ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
}

Status copyBytes(int from, qint64 begin, qint64 end, int to, const Progress &progress, QString *why)
{
    bool share = true; // until the file system says it cannot copy between the two
    std::vector<char> buffer;
    for (qint64 at = begin; at < end;) {
        if (progress && !progress(at - begin, end - begin))
            return Status::Cancelled;
        const qint64 pieceEnd = std::min(end, at + kPiece);
        while (at < pieceEnd) {
            ssize_t n = -1;
            if (share) {
                loff_t offset = at;
                n = ::copy_file_range(from, &offset, to, nullptr, size_t(pieceEnd - at), 0);
                if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
                    share = false;
                    continue;
                }
            } else {
                buffer.resize(size_t(1) << 20);
                n = ::pread(from, buffer.data(), size_t(std::min<qint64>(pieceEnd - at, 1 << 20)), at);
                if (n > 0 && ::write(to, buffer.data(), size_t(n)) != n)
                    n = -1;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                *why = n < 0 ? systemError() : QStringLiteral("the recording ended early");
                return n < 0 ? Status::Failed : Status::Changed;
            }
            at += n;
        }
        startWriteBack(to);
    }
    return Status::Ok;
}

Status save(const FrameIndex &index, const Range &range, const QString &file, bool force,
            const Progress &progress, QString *why)
{
    const QByteArray source = QFile::encodeName(index.fileName());
    const int from = ::open(source.constData(), O_RDONLY | O_CLOEXEC);
    if (from < 0 || !index.unchanged()) {
        if (from >= 0)
            ::close(from);
        *why = QStringLiteral("%1 has changed since it was opened").arg(index.fileName());
        return Status::Changed;
    }
    FILE *part = part_file::create(file, force, why);
    if (!part) {
        ::close(from);
        return Status::Failed;
    }
    const QString partName = file + ".part";
    part_file::reserve(part, range.end - range.begin);
    Status status = copyBytes(from, range.begin, range.end, fileno(part), progress, why);
    ::close(from);
    if (status == Status::Ok && !index.unchanged())
        status = Status::Changed;
    if (status == Status::Changed)
        *why = QStringLiteral("%1 has changed since it was opened").arg(index.fileName());
    else if (status == Status::Failed)
        *why = QStringLiteral("writing %1 failed: %2").arg(partName, *why);
    if (status != Status::Ok) {
        std::fclose(part);
        QFile::remove(partName);
        return status;
    }
    if (!part_file::finish(part, file, why)) {
        QFile::remove(partName);
        return Status::Failed;
    }
    return Status::Ok;
}

} // namespace frame_range_copy

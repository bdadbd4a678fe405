#include "record/temp_recording.h"

#include "recording/part_file.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace temp_recording {

namespace {
QString tr(const char *text)
{
    return QCoreApplication::translate("temp_recording", text);
}

void setWhy(QString *why, const QString &text)
{
    if (why)
        *why = text;
}

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}
} // namespace

FILE *open(const QString &path, QString *why)
{
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        setWhy(why, errno == ELOOP ? tr("%1 is a symbolic link.").arg(path) : systemError());
        return nullptr;
    }
    struct stat st;
    QString refusal;
    if (fstat(fd, &st) != 0)
        refusal = systemError();
    else if (!S_ISREG(st.st_mode) || st.st_nlink != 1)
        refusal = tr("%1 is not a plain file.").arg(path);
    else if (st.st_uid != geteuid())
        refusal = tr("%1 belongs to another user.").arg(path);
    else if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        refusal = errno == EWOULDBLOCK ? tr("%1 is in use by another recording.").arg(path) : systemError();
    else if (fchmod(fd, 0600) != 0 || ftruncate(fd, 0) != 0)
        refusal = systemError();
    if (!refusal.isEmpty()) {
        ::close(fd);
        setWhy(why, refusal);
        return nullptr;
    }
    FILE *stream = fdopen(fd, "wb");
    if (!stream) {
        setWhy(why, systemError());
        ::close(fd);
        return nullptr;
    }
    // Datagrams of a kilobyte each: a larger buffer writes them with a tenth of the system calls. The
    // receiving thread flushes it several times a second, so a crash loses no more than before.
    setvbuf(stream, nullptr, _IOFBF, 64 * 1024);
    return stream;
}

Saved save(FILE *stream, const QString &source, const QString &target, QString *why, const Progress &progress)
{
    if (stream && fflush(stream) != 0) {
        setWhy(why, systemError());
        return Saved::Failed;
    }
    const QByteArray sourcePath = QFile::encodeName(source), targetPath = QFile::encodeName(target);
    struct stat sourceStat, targetStat, directoryStat;
    if (::stat(sourcePath.constData(), &sourceStat) == 0 &&
        ::stat(targetPath.constData(), &targetStat) == 0 && sourceStat.st_dev == targetStat.st_dev &&
        sourceStat.st_ino == targetStat.st_ino) {
        setWhy(why, tr("It is the temporary recording itself."));
        return Saved::Failed;
    }
    const QByteArray directory = QFile::encodeName(QFileInfo(target).absolutePath());
    if (::stat(sourcePath.constData(), &sourceStat) == 0 &&
        ::stat(directory.constData(), &directoryStat) == 0 && sourceStat.st_dev == directoryStat.st_dev) {
        // The temporary recording is owner-only; the saved one is an ordinary file of the user's.
        if (::chmod(sourcePath.constData(), 0666 & ~part_file::creationMask()) == 0 &&
            ::rename(sourcePath.constData(), targetPath.constData()) == 0)
            return Saved::Moved;
        if (errno != EXDEV) {
            setWhy(why, systemError());
            ::chmod(sourcePath.constData(), 0600);
            return Saved::Failed;
        }
    }
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly)) {
        setWhy(why, in.errorString());
        return Saved::Failed;
    }
    QSaveFile out(target);
    // Unbuffered: a buffered device loses a short write (disk full, file size limit) while flushing, and the
    // copy would then be committed truncated.
    if (!out.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        setWhy(why, out.errorString());
        return Saved::Failed;
    }
    const qint64 total = in.size();
    qint64 done = 0;
    QByteArray chunk(1 << 20, Qt::Uninitialized);
    for (;;) {
        if (progress && !progress(done, total)) {
            out.cancelWriting();
            return Saved::Cancelled;
        }
        const qint64 n = in.read(chunk.data(), chunk.size());
        if (n < 0) {
            setWhy(why, in.errorString());
            out.cancelWriting();
            return Saved::Failed;
        }
        if (n == 0)
            break;
        if (out.write(chunk.constData(), n) != n) {
            setWhy(why, out.errorString());
            out.cancelWriting();
            return Saved::Failed;
        }
        done += n;
    }
    if (!out.commit()) {
        setWhy(why, out.errorString());
        return Saved::Failed;
    }
    return Saved::Copied;
}

Leftover leftover(const QString &path)
{
    Leftover found;
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return found;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == geteuid() &&
        st.st_size > 0 && flock(fd, LOCK_SH | LOCK_NB) == 0) {
        found.found = true;
        found.bytes = qint64(st.st_size);
        found.modified = QDateTime::fromSecsSinceEpoch(qint64(st.st_mtim.tv_sec));
    }
    ::close(fd); // releases the probe's lock
    return found;
}

} // namespace temp_recording

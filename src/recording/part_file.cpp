#include "recording/part_file.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace part_file {

namespace {

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

mode_t creationMask()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly))
        for (QByteArray line; !(line = status.readLine()).isEmpty();)
            if (line.startsWith("Umask:"))
                return mode_t(line.mid(6).trimmed().toUInt(nullptr, 8));
    return 022;
}

namespace {

// The part at name opened without following a link or blocking (a FIFO), or -1.
int openExisting(const QByteArray &name)
{
    return ::open(name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
}

bool lockedElsewhere(int fd)
{
    return ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
}

// A part left from before removed, unless another run holds it (false, with why).
bool removeLeftOver(const QString &part, QString *why)
{
    const QByteArray name = QFile::encodeName(part);
    const int fd = openExisting(name);
    // Locked while it is unlinked: a run that is just starting to write it cannot be taken unawares.
    const bool held = fd >= 0 && lockedElsewhere(fd);
    const bool removed = !held && (::unlink(name.constData()) == 0 || errno == ENOENT);
    if (!removed)
        *why = held ? heldText(part.chopped(5))
                    : QStringLiteral("%1 cannot be removed: %2").arg(part, systemError());
    if (fd >= 0)
        ::close(fd);
    return removed;
}

// The part created and locked before it is seen under its name (an unnamed file linked in when locked), so
// no other run ever finds it unlocked; where the file system has no unnamed files, created and then locked.
int createLocked(const QByteArray &name)
{
    const QByteArray folder = QFile::encodeName(QFileInfo(QFile::decodeName(name)).absolutePath());
    int fd = ::open(folder.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd >= 0) {
        const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd);
        if (::flock(fd, LOCK_EX) == 0 &&
            ::linkat(AT_FDCWD, self.constData(), AT_FDCWD, name.constData(), AT_SYMLINK_FOLLOW) == 0)
            return fd;
        const int linkError = errno;
        ::close(fd);
        errno = linkError;
        if (errno == EEXIST)
            return -1;
    }
    // O_EXCL also refuses a symbolic link, even one that points nowhere: nothing is created through it.
    fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0)
        ::flock(fd, LOCK_EX | LOCK_NB);
    return fd;
}

// The part a signal removes: its name, and whether one is armed.
bool removedWhenInterrupted = false;
char interruptedPart[4096];
volatile std::sig_atomic_t armed = 0;

void removeAndEnd(int signal)
{
    if (armed)
        ::unlink(interruptedPart);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

void arm(const QByteArray &name)
{
    if (!removedWhenInterrupted || name.size() >= qsizetype(sizeof interruptedPart))
        return;
    armed = 0;
    std::memcpy(interruptedPart, name.constData(), size_t(name.size()) + 1);
    armed = 1;
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        std::signal(signal, removeAndEnd);
}

} // namespace

void removeWhenInterrupted()
{
    removedWhenInterrupted = true;
}

void discard(FILE *part, const QString &file)
{
    armed = 0;
    std::fclose(part);
    ::unlink(QFile::encodeName(file + ".part").constData());
}

bool isHeld(const QString &file)
{
    const int fd = openExisting(QFile::encodeName(file + ".part"));
    const bool held = fd >= 0 && lockedElsewhere(fd);
    if (fd >= 0)
        ::close(fd);
    return held;
}

QString heldText(const QString &file)
{
    return QStringLiteral("%1.part is being written by another run").arg(file);
}

FILE *create(const QString &file, bool force, QString *why)
{
    // A file-size limit is met as a full disk is: the write fails (EFBIG) and the part is kept and named,
    // instead of the process being killed with it half written.
    std::signal(SIGXFSZ, SIG_IGN);
    const QString part = file + ".part";
    const QByteArray name = QFile::encodeName(part);
    if (force ? !removeLeftOver(part, why) : isHeld(file)) {
        if (!force)
            *why = heldText(file);
        return nullptr;
    }
    const int fd = createLocked(name);
    if (fd < 0) {
        *why = errno == EEXIST && !force
                   ? QStringLiteral("%1 exists; --force replaces it").arg(part)
                   : QStringLiteral("%1 cannot be created: %2").arg(part, systemError());
        return nullptr;
    }
    FILE *stream = ::fdopen(fd, "wb");
    if (stream)
        arm(name);
    if (!stream) {
        *why = QStringLiteral("%1 cannot be written: %2").arg(part, systemError());
        ::close(fd);
        ::unlink(name.constData());
    }
    return stream;
}

void reserve(FILE *part, qint64 bytes)
{
    if (std::fflush(part) != 0 || bytes <= 0)
        return;
    const off_t at = ::lseek(fileno(part), 0, SEEK_END);
    if (at >= 0)
        ::fallocate(fileno(part), FALLOC_FL_KEEP_SIZE, at, off_t(bytes));
}

bool releaseUnused(FILE *file)
{
    // Truncating a file to its own size frees its blocks beyond the end.
    const int fd = fileno(file);
    struct stat st;
    if (std::fflush(file) != 0)
        return false;
    if (::fstat(fd, &st) != 0)
        return false;
    if (qint64(st.st_blocks) * 512 <= qint64(st.st_size) + qint64(st.st_blksize))
        return true;
    return ::ftruncate(fd, st.st_size) == 0;
}

bool finish(FILE *part, const QString &file, QString *why)
{
    const QString partName = file + ".part";
    armed = 0; // from here on the part may be renamed: a signal must never remove what then has its name
    const mode_t mask = creationMask();
    QString failure;
    if (!releaseUnused(part) || ::fsync(fileno(part)) != 0) // flushed by releaseUnused()
        failure = QStringLiteral("writing %1 failed: %2").arg(partName, systemError());
    else if (::fchmod(fileno(part), 0666 & ~mask) != 0)
        failure = QStringLiteral("%1 cannot be given its permissions: %2").arg(partName, systemError());
    // rename() replaces an existing FILE in one step: FILE is always whole. The part stays open, its lock
    // held, until its name is gone.
    if (failure.isEmpty() &&
        std::rename(QFile::encodeName(partName).constData(), QFile::encodeName(file).constData()) != 0)
        failure = QStringLiteral("%1 could not be renamed to %2: %3").arg(partName, file, systemError());
    std::fclose(part); // flushed and synced above: nothing is left to fail
    if (!failure.isEmpty()) {
        *why = failure;
        return false;
    }
    return true;
}

} // namespace part_file

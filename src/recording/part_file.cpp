#include "recording/part_file.h"

#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
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

FILE *create(const QString &file, bool force, QString *why)
{
    // A file-size limit is met as a full disk is: the write fails (EFBIG) and the part is kept and named,
    // instead of the process being killed with it half written.
    std::signal(SIGXFSZ, SIG_IGN);
    const QString part = file + ".part";
    const QByteArray name = QFile::encodeName(part);
    if (force && ::unlink(name.constData()) != 0 && errno != ENOENT) {
        *why = QStringLiteral("%1 cannot be removed: %2").arg(part, systemError());
        return nullptr;
    }
    // O_EXCL also refuses a symbolic link, even one that points nowhere: nothing is created through it.
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        *why = errno == EEXIST && !force
                   ? QStringLiteral("%1 exists; --force replaces it").arg(part)
                   : QStringLiteral("%1 cannot be created: %2").arg(part, systemError());
        return nullptr;
    }
    FILE *stream = ::fdopen(fd, "wb");
    if (!stream) {
        *why = QStringLiteral("%1 cannot be written: %2").arg(part, systemError());
        ::close(fd);
        ::unlink(name.constData());
    }
    return stream;
}

bool finish(FILE *part, const QString &file, QString *why)
{
    const QString partName = file + ".part";
    const mode_t mask = creationMask();
    QString failure;
    if (std::fflush(part) != 0 || ::fsync(fileno(part)) != 0)
        failure = QStringLiteral("writing %1 failed: %2").arg(partName, systemError());
    else if (::fchmod(fileno(part), 0666 & ~mask) != 0)
        failure = QStringLiteral("%1 cannot be given its permissions: %2").arg(partName, systemError());
    if (std::fclose(part) != 0 && failure.isEmpty())
        failure = QStringLiteral("writing %1 failed: %2").arg(partName, systemError());
    if (!failure.isEmpty()) {
        *why = failure;
        return false;
    }
    // rename() replaces an existing FILE in one step: FILE is always whole.
    if (std::rename(QFile::encodeName(partName).constData(), QFile::encodeName(file).constData()) != 0) {
        *why = QStringLiteral("%1 could not be renamed to %2: %3").arg(partName, file, systemError());
        return false;
    }
    return true;
}

} // namespace part_file

#include "recording/file_time.h"

#include <QFile>
#include <sys/stat.h>

namespace file_time {

std::optional<qint64> modifiedNs(const QString &file)
{
    struct stat st;
    if (::stat(QFile::encodeName(file).constData(), &st) != 0)
        return std::nullopt;
    return qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

} // namespace file_time

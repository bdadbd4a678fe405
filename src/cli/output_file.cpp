#include "cli/output_file.h"

#include "cli/terminal.h"
#include "recording/part_file.h"

#include <QFile>

#include <sys/stat.h>

namespace orf {

Ending checkOutput(const QString &file, bool force, const QString &input)
{
    struct stat st, read;
    // The same file under another name too (a link, /proc/self/fd/N): replacing it would lose the input.
    if (!input.isEmpty() && ::stat(QFile::encodeName(input).constData(), &read) == 0 &&
        ::stat(QFile::encodeName(file).constData(), &st) == 0 && st.st_dev == read.st_dev &&
        st.st_ino == read.st_ino) {
        error(QStringLiteral("-o %1: is %2, the file being read; name another output").arg(file, input));
        return kUsage;
    }
    if (file.isEmpty() || file == "-" ||
        (::stat(QFile::encodeName(file).constData(), &st) == 0 && S_ISDIR(st.st_mode))) {
        error(file.isEmpty() ? QStringLiteral("-o '': names no file")
              : file == "-"  ? QStringLiteral("-o -: the standard output is not written to; name a file")
                             : QStringLiteral("-o %1: is a directory; name a file").arg(file));
        return kUsage;
    }
    if (part_file::isHeld(file)) {
        error(part_file::heldText(file));
        return kFailure;
    }
    for (const QString &existing : {file, file + ".part"}) {
        if (::lstat(QFile::encodeName(existing).constData(), &st) != 0)
            continue;
        // --force replaces a file, or a link (never what it points to); never a device or a FIFO.
        const bool replaceable = S_ISREG(st.st_mode) || S_ISLNK(st.st_mode);
        if (!force || !replaceable) {
            error(replaceable
                      ? QStringLiteral("%1 exists; --force replaces it").arg(existing)
                      : QStringLiteral("%1 exists and is not a file; nothing replaces it").arg(existing));
            return kUsage;
        }
    }
    return {};
}

std::FILE *createOutput(const QString &file, bool force)
{
    QString why;
    std::FILE *output = part_file::create(file, force, &why);
    if (!output)
        error(why);
    return output;
}

} // namespace orf

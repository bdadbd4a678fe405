// FILE.part: where a command writes FILE until it is whole. Only a finished FILE.part is renamed to FILE, in
// one step, so FILE is never seen half written, and an existing FILE is replaced only by a whole new one.
#pragma once

#include <QString>
#include <cstdio>

namespace orf {

// Creates FILE.part for writing: exclusively, never through a symbolic link, readable by its owner alone
// until it is finished. With force, a FILE.part left from before is removed first (a link itself, never
// what it points to). Returns nullptr with the reason in *why.
FILE *createPart(const QString &file, bool force, QString *why);

// Writes what is buffered to the disk, gives the file the permissions a new file gets (0666 less the
// umask), closes it and renames FILE.part to FILE, replacing FILE. False with the reason in *why; the part
// is then closed and kept.
bool finishPart(FILE *part, const QString &file, QString *why);

// Whether FILE may be written through FILE.part, found out before any work: FILE names something that is
// not a directory, and neither FILE nor FILE.part exists (a dangling link counts), or with force both are
// files or links (never a device or a FIFO). False with the reason in *why.
bool outputAllowed(const QString &file, bool force, QString *why);

} // namespace orf

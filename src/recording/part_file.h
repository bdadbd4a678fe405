// FILE.part: where orf and the window write FILE until it is whole. Only a finished FILE.part is renamed to
// FILE, in one step, so FILE is never seen half written, and an existing FILE is replaced only by a whole
// new one. Its writer holds a lock on it (flock) from its creation until it is renamed or the writer ends,
// so a second run never takes away a part that is still being written.
#pragma once

#include <QString>
#include <QtGlobal>
#include <cstdio>
#include <sys/types.h>

namespace part_file {

// The process's umask, read without changing it (umask() sets it, which would race with other threads
// creating files: the window finishes its files on a worker thread).
mode_t creationMask();

// Whether FILE.part exists and another run holds it, writing it now.
bool isHeld(const QString &file);
// What a refusal of such a part says.
QString heldText(const QString &file);

// Creates FILE.part for writing, locked: exclusively, never through a symbolic link, readable by its owner
// alone until it is finished. With force, a FILE.part left from before is removed first (a link itself,
// never what it points to), but never one another run holds. Returns nullptr with the reason in *why.
FILE *create(const QString &file, bool force, QString *why);

// Sets aside room on the disk for about bytes more of the part, where the file system can (its blocks found
// once instead of page by page as the part grows); what is not used is given back by finish(). Best effort:
// without it the part is written as before, and a full disk still shows where the writing fails.
void reserve(FILE *part, qint64 bytes);
// Flushes the file and gives back what reserve() set aside beyond its end; false when either fails.
bool releaseUnused(FILE *file);

// From now on, a part create() makes is removed when SIGINT, SIGTERM or SIGHUP ends the process before it is
// finished or discarded (by a command whose input is still there to run it again). One part at a time.
void removeWhenInterrupted();
// Closes a part that is not to be finished, and removes it.
void discard(FILE *part, const QString &file);

// Writes what is buffered to the disk, gives the file the permissions a new file gets (0666 less the
// umask), renames FILE.part to FILE, replacing FILE, and closes it (the lock held until the part's name is
// gone). False with the reason in *why; the part is then closed and kept.
bool finish(FILE *part, const QString &file, QString *why);

} // namespace part_file

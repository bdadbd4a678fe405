// The temporary recording lives under a fixed name in a directory every user can write to, so it is opened
// with care, and a recording is saved so that a failure never loses it or an older file.
#pragma once

#include <QDateTime>
#include <QString>
#include <cstdio>
#include <functional>

namespace temp_recording {

// Opens path for writing from its start: refuses a symbolic link, a file of another user, anything but a
// single-linked regular file, and a file another process holds locked (a second running instance that is
// recording into it). The file gets owner-only permissions and stays locked while the stream is open.
// Truncation happens only after the lock is held. Returns nullptr and a reason on refusal.
FILE *open(const QString &path, QString *why = nullptr);

// Flushes the stream of the temporary recording at source, then puts it at target: on the same file system
// it is moved there (rename(), nothing copied; it gets the permissions a new file of the user gets), else it
// is copied, written beside target under another name and renamed over it only once complete. Either way an
// existing target is replaced only by a whole recording. Refuses a target that is source itself. progress
// hears of a copy's bytes and can cancel it (false), which leaves target as it was.
enum class Saved
{
    Moved,
    Copied,
    Cancelled,
    Failed, // *why says why
};
using Progress = std::function<bool(qint64 done, qint64 total)>;
Saved save(FILE *stream, const QString &source, const QString &target, QString *why = nullptr,
           const Progress &progress = Progress());

// A recording that an earlier run left in path without saving it: a non-empty plain file of ours that no
// running recording holds locked (a running instance keeps its recording locked while the stream is open).
struct Leftover
{
    bool found = false;
    qint64 bytes = 0;
    QDateTime modified;
};
Leftover leftover(const QString &path);

} // namespace temp_recording

// The file a command writes: through FILE.part, renamed to FILE once it is whole (recording/part_file).
#pragma once

#include "cli/command.h"

#include <QString>

#include <cstdio>

namespace orf {

// Whether FILE may be written, found out before any work: FILE names something that is not a directory, and
// neither FILE nor FILE.part exists (a dangling link counts), or with force both are files or links (never
// a device or a FIFO), and FILE is not input, the file the command reads. Says why not: kUsage, or kFailure
// when another run is writing FILE.part.
Ending checkOutput(const QString &file, bool force, const QString &input = {});

// FILE.part, created for writing; null after saying why not.
std::FILE *createOutput(const QString &file, bool force);

} // namespace orf

// orf, the command-line program: records, plays and inspects recordings without a display. It drives the
// same receiving engine, frame index and playback engine as the window, and links nothing of the window.
// Each command is a Command (cli/command.h) defined in a file of its own, NAME_command.cpp, and listed in
// one table, commands().
#pragma once

#include "cli/command.h"

#include <QList>
#include <QString>

namespace orf {

extern const Command kRecord;
extern const Command kPlay;
extern const Command kInfo;
extern const Command kExport;
extern const Command kImport;
extern const Command kCut;
extern const Command kMerge;

// The commands, in the order orf --help lists them.
const QList<const Command *> &commands();
// The command of that name; null when there is none.
const Command *commandNamed(const QString &name);

// Entry point of the program; argv as given to main().
int run(int argc, char *argv[]);

} // namespace orf

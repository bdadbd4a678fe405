// orf --help (the commands), orf help COMMAND (a command's options) and orf --version.
#pragma once

#include <QString>

namespace orf {

// Lists the commands; returns status, the exit status to end with.
int overview(int status);
// A command's help, or the list of commands when command is empty.
int help(const QString &command);
int version();

} // namespace orf

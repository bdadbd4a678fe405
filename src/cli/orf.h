// The command-line program: record, play and inspect recordings without a display. It drives the same
// receiving engine, frame index and playback engine as the window, and links nothing of the window.
#pragma once

#include <QStringList>

class QCommandLineParser;

namespace orf {

// Entry point of the program; argv as given to main().
int run(int argc, char *argv[]);

// Parses a command's arguments (the first is "orf COMMAND"). Prints the help for --help, or the usage error.
// Returns -1 when the command is to go on, else the exit status to end with.
int parse(QCommandLineParser &parser, const QStringList &arguments, const char *synopsis,
          const char *description);

int info(const QStringList &arguments);
int record(const QStringList &arguments);
int play(const QStringList &arguments);
int exportCapture(const QStringList &arguments);
int importCapture(const QStringList &arguments);

} // namespace orf

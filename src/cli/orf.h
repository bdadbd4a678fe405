// The command-line program: record, play and inspect recordings without a display. It drives the same
// receiving engine, frame index and playback engine as the window, and links nothing of the window.
#pragma once

#include "frame_index.h"
#include "frame_scanner.h"
#include "playback_engine.h"

#include <QCommandLineParser>
#include <QString>
#include <QStringList>
#include <QtGlobal>

namespace orf {

// Exit statuses, the same for every command.
enum Exit
{
    kOk = 0,
    kNothing = 1, // nothing arrived (record), not playable (play, info)
    kUsage = 2,
    kFailure = 3, // socket, disk, send or read error
};

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

// Scans a recording into index: -1 when it was read to its end (the scan's result in *scanned), else the
// exit status after saying why it could not be read.
int readRecording(const QString &file, FrameIndex &index, FrameScanner::Result *scanned);
// Why a recording that was read cannot be played (the window's reason where it gives one); empty when it can.
QString unplayableReason(const FrameScanner::Result &scanned, const FrameIndex &index);

// The settings the window wrote, or its fallback beside the executable, or the built-in defaults.
struct Defaults
{
    quint16 record_port = 0;
    QString host_1;
    quint16 port_1 = 0;
    QString host_2;
    quint16 port_2 = 0;
    bool active = false;
    float frequency = 0;
    bool loop = true;
    bool timestamp = true;
};
Defaults loadDefaults();

// HOST:PORT with a port from 1 to 65535 into *d: -1 when it is one, else kUsage after saying why.
int readDestination(const QString &text, PlaybackEngine::Destination *d);
// The options that say which frames follow each other how fast, shared by play and export.
struct ScheduleOptions
{
    const QCommandLineOption *rate;       // --rate HZ
    const QCommandLineOption *timestamps; // --timestamps
    const QCommandLineOption *from;       // --from FRAME
    const QCommandLineOption *until;      // --until FRAME
};
// Their values into *options, the settings' mode and rate where neither --rate nor --timestamps is given:
// -1 when they are good, else kUsage after saying why.
int readSchedule(const QCommandLineParser &parser, const ScheduleOptions &names, const Defaults &defaults,
                 PlaybackEngine::Options *options);

// One line on standard error, "orf: " in front.
void error(const QString &text);
// A status line on standard error when it is a terminal: rewritten in place, ended by endStatus().
bool statusIsTerminal();
void status(const QString &text);
void endStatus();

// Stops the event loop on SIGINT and SIGTERM; the command then ends as when its work is done.
void quitOnSignals();
bool signalled();

} // namespace orf

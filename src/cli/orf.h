// The command-line program: record, play and inspect recordings without a display. It drives the same
// receiving engine, frame index and playback engine as the window, and links nothing of the window.
#pragma once

#include "capture/capture_reader.h"
#include "capture/opened_recording.h"
#include "play/playback_engine.h"
#include "recording/frame_index.h"
#include "recording/frame_scanner.h"
#include "recording/recording_info.h"
#include "settings/settings_file.h"

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

// The value of a numeric option, if it lies in its range: a whole number from low to high, or a number
// above low and at most high. Otherwise says so, naming the range ("--rate 1e9: not a rate in Hz above 0
// and at most 1000000"), and returns false.
bool numberOption(const QCommandLineParser &parser, const QCommandLineOption &option, const char *what,
                  qint64 low, qint64 high, qint64 *value);
bool numberOption(const QCommandLineParser &parser, const QCommandLineOption &option, const char *what,
                  double low, double high, double *value);

int info(const QStringList &arguments);
int record(const QStringList &arguments);
int play(const QStringList &arguments);
int exportCapture(const QStringList &arguments);
int importCapture(const QStringList &arguments);

// Opens file into *recording (see OpenedRecording): -1 when it was read to its end, else the exit status
// after saying why it could not be read. A capture cut short is read up to the cut, which is said.
int readRecording(const QString &file, const CaptureReader::Options *captureOptions,
                  OpenedRecording *recording);

// Says why a capture could not be read, and returns the exit status for it; -1 when it was read (a cut is
// then said).
int captureRead(const CaptureReader::Result &r);

// Whether FILE may be written through FILE.part (part_file), found out before any work: FILE names
// something that is not a directory, and neither FILE nor FILE.part exists (a dangling link counts), or
// with force both are files or links (never a device or a FIFO). False with the reason in *why.
bool outputAllowed(const QString &file, bool force, QString *why);

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
    bool recorded_timing = false; // with timestamp: each frame at its recorded time
    // The texts as found, for what the fields above do not hold, and the file they come from (empty: the
    // built-in defaults).
    SettingsFile::SettingsTexts texts = SettingsFile::defaultTexts();
    QString path;
};
Defaults loadDefaults();
// --port P and --filter EXPR of the commands that read captures.
QList<QCommandLineOption> captureOptions();
// Their values in *options, the settings' record port preferred when it is one: -1, or kUsage after saying
// why not.
int readCaptureOptions(const QCommandLineParser &parser, const Defaults &defaults,
                       CaptureReader::Options *options);
// A setting that is about to stand in for an option but cannot be used: says why, naming the settings file,
// the element, the value and the option that overrides it. Returns kUsage.
int badSetting(const Defaults &defaults, SettingsFile::Setting setting, const QString &why,
               const QString &option);
// The value of option, or, when it is not given, the text of the setting that stands in for it. A value that
// is not usable is refused (naming the option and the value, or through badSetting) with kUsage; -1 else.
int optionOrSetting(const QCommandLineParser &parser, const QCommandLineOption &option,
                    const Defaults &defaults, SettingsFile::Setting setting, bool (*usable)(const QString &),
                    const QString &why, QString *value);
// Checks of option and setting texts: empty (none) or a multicast group; empty (the system's choice) or a
// network interface of this machine by name or address.
bool isGroupOrEmpty(const QString &text);
bool isInterfaceOrEmpty(const QString &text);

// HOST:PORT with a port from 1 to 65535 into *d: -1 when it is one, else kUsage after saying why.
int readDestination(const QString &text, PlaybackEngine::Destination *d);
// The settings' first count destinations (1 or 2) appended to *out, as HOST:PORT to *names: -1, or kUsage
// after naming a value that cannot be used.
int settingsDestinations(const Defaults &defaults, int count, std::vector<PlaybackEngine::Destination> *out,
                         QStringList *names);
// The options that say which frames follow each other how fast, shared by play and export.
struct ScheduleOptions
{
    const QCommandLineOption *rate;           // --rate HZ
    const QCommandLineOption *timestamps;     // --timestamps
    const QCommandLineOption *from;           // --from FRAME
    const QCommandLineOption *until;          // --until FRAME
    const QCommandLineOption *topSpeed;       // --top-speed, which needs no rate; may be null
    const QCommandLineOption *recordedTiming; // --recorded-timing
    const QCommandLineOption *maxGap;         // --max-gap S
};
// Their values into *options, the settings' mode and rate where none of --rate, --timestamps,
// --recorded-timing (and --top-speed) is given: -1 when they are good, else kUsage after saying why.
int readSchedule(const QCommandLineParser &parser, const ScheduleOptions &names, const Defaults &defaults,
                 PlaybackEngine::Options *options);

// One line on standard error, "orf: " in front.
void error(const QString &text);
// A status line on standard error when it is a terminal: rewritten in place, ended by endStatus().
bool statusIsTerminal();
void status(const QString &text);
void endStatus();

// Stops the event loop on SIGINT, SIGTERM and SIGHUP (a closed terminal or SSH session); the command then
// ends as when its work is done.
void quitOnSignals();

} // namespace orf

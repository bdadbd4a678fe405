// The options of the commands that send a recording's frames, or write them as a playback would send
// them: where they go, and which frames follow each other how fast.
#pragma once

#include "cli/command.h"
#include "play/playback_engine.h"

#include <QStringList>

#include <vector>

class QCommandLineOption;
class QCommandLineParser;

namespace orf {

struct Defaults;

// The destinations given as HOST:PORT texts or, without any, the settings' first count (1 or 2): appended
// to *addresses, and as HOST:PORT to *names. A text or a setting that cannot be used is named.
Ending readDestinations(const QStringList &given, const Defaults &defaults, int count,
                        std::vector<PlaybackEngine::Destination> *addresses, QStringList *names);

// The options that say which frames follow each other how fast; a command words them its own way.
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
// --recorded-timing (and --top-speed) is given.
Ending readSchedule(const QCommandLineParser &parser, const ScheduleOptions &names, const Defaults &defaults,
                    PlaybackEngine::Options *options);

} // namespace orf

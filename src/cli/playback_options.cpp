#include "cli/playback_options.h"

#include "ap/ap_socket.h"
#include "cli/defaults.h"
#include "cli/option_values.h"
#include "cli/terminal.h"

#include <QCommandLineParser>

#include <limits>

namespace orf {

namespace {

const char kUnresolvable[] = "cannot be resolved";

// Why host is no destination, or null with its address in *ip.
const char *unresolved(const QString &host, quint32 *ip)
{
    unsigned int address = 0;
    switch (ap_ip_resolve(host.toLocal8Bit().constData(), &address)) {
    case 0:
        *ip = address;
        return address != 0 ? nullptr : kUnresolvable;
    case -3:
        return "not an IPv4 address (four decimal numbers from 0 to 255, without leading zeros)";
    case -6:
        return "IPv6 destinations are not supported";
    }
    return kUnresolvable;
}

// HOST:PORT with a port from 1 to 65535.
Ending readDestination(const QString &text, PlaybackEngine::Destination *d)
{
    const qsizetype colon = text.lastIndexOf(':');
    bool ok = colon > 0;
    const uint port = text.mid(colon + 1).toUInt(&ok);
    if (colon <= 0 || !ok || port == 0 || port > 65535) {
        error(QStringLiteral("--to %1: not HOST:PORT with a port from 1 to 65535").arg(text));
        return kUsage;
    }
    const QString host = text.left(colon);
    d->port = quint16(port);
    if (const char *why = unresolved(host, &d->ip)) {
        error(QString::fromLatin1(why == kUnresolvable ? "host %1 %2" : "host %1: %2")
                  .arg(host, QLatin1String(why)));
        return kUsage;
    }
    return {};
}

Ending settingsDestinations(const Defaults &defaults, int count,
                            std::vector<PlaybackEngine::Destination> *out, QStringList *names)
{
    using SettingsFile::Setting;
    for (int i = 0; i < count; ++i) {
        const Setting hostSetting = i == 0 ? Setting::PlayHost1 : Setting::PlayHost2;
        const Setting portSetting = i == 0 ? Setting::PlayPort1 : Setting::PlayPort2;
        PlaybackEngine::Destination d{0, i == 0 ? defaults.values.port_play_1 : defaults.values.port_play_2};
        if (d.port == 0)
            return badSetting(defaults, portSetting, "not a port number (1 to 65535)", "--to");
        const QString host = defaults.texts.text(hostSetting);
        if (const char *why = unresolved(host, &d.ip))
            return badSetting(defaults, hostSetting, why, "--to");
        out->push_back(d);
        *names << host + ':' + QString::number(d.port);
    }
    return {};
}

// --rate, --timestamps, --recorded-timing and --max-gap, and the settings where they choose nothing.
Ending readPacing(const QCommandLineParser &parser, const ScheduleOptions &names, const Defaults &defaults,
                  PlaybackEngine::Options *options)
{
    if (parser.isSet(*names.rate) && parser.isSet(*names.timestamps)) {
        error("--rate and --timestamps exclude each other");
        return kUsage;
    }
    for (const QCommandLineOption *other : {names.rate, names.timestamps, names.topSpeed}) {
        if (other && parser.isSet(*names.recordedTiming) && parser.isSet(*other)) {
            error(
                QStringLiteral("--recorded-timing and --%1 exclude each other").arg(other->names().first()));
            return kUsage;
        }
    }
    options->rate = defaults.values.frequency_play_1;
    // The settings' rate is used unless --rate gives one: also by timestamps that give none.
    const bool rateNeeded = !parser.isSet(*names.rate) && !(names.topSpeed && parser.isSet(*names.topSpeed));
    if (rateNeeded && !(options->rate > 0))
        return badSetting(defaults, SettingsFile::Setting::Frequency, "not a rate in Hz above 0", "--rate");
    options->timestamps =
        parser.isSet(*names.rate) ? false : (parser.isSet(*names.timestamps) || defaults.values.timestamp);
    // The settings' recorded timing stands only where no option chooses the pacing.
    const bool paced = parser.isSet(*names.rate) || parser.isSet(*names.timestamps) ||
                       (names.topSpeed && parser.isSet(*names.topSpeed));
    options->recordedTiming = parser.isSet(*names.recordedTiming) ||
                              (!paced && defaults.values.timestamp && defaults.values.recorded_timing);
    if (parser.isSet(*names.maxGap)) {
        if (!options->recordedTiming) {
            error("--max-gap: only recorded timing (--recorded-timing) shortens gaps");
            return kUsage;
        }
        if (!numberOption(parser, *names.maxGap, "a gap in seconds", 0.0, 1e6, &options->maxGap))
            return kUsage;
    }
    double rate = 0;
    if (parser.isSet(*names.rate)) {
        if (!numberOption(parser, *names.rate, "a rate in Hz", 0.0, 1e6, &rate))
            return kUsage;
        options->rate = float(rate);
    }
    return {};
}

// --from and --until.
Ending readFrameRange(const QCommandLineParser &parser, const ScheduleOptions &names,
                      PlaybackEngine::Options *options)
{
    for (auto [option, value] :
         {std::pair{names.from, &options->from}, std::pair{names.until, &options->until}}) {
        if (parser.isSet(*option) &&
            !numberOption(parser, *option, "a frame number", 0, std::numeric_limits<qint64>::max(), value))
            return kUsage;
    }
    if (options->from >= 0 && options->until >= 0 && options->until < options->from) {
        error("--until comes before --from");
        return kUsage;
    }
    return {};
}

} // namespace

Ending readDestinations(const QStringList &given, const Defaults &defaults, int count,
                        std::vector<PlaybackEngine::Destination> *addresses, QStringList *names)
{
    for (const QString &text : given) {
        PlaybackEngine::Destination d;
        if (const Ending ending = readDestination(text, &d))
            return ending;
        addresses->push_back(d);
        *names << text;
    }
    // Without any given, the settings'; a value that cannot be used is named where it stands.
    if (given.isEmpty())
        return settingsDestinations(defaults, count, addresses, names);
    return {};
}

Ending readSchedule(const QCommandLineParser &parser, const ScheduleOptions &names, const Defaults &defaults,
                    PlaybackEngine::Options *options)
{
    if (const Ending ending = readPacing(parser, names, defaults, options))
        return ending;
    return readFrameRange(parser, names, options);
}

} // namespace orf

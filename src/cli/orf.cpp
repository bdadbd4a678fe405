#include "cli/orf.h"

#include "ap/ap_socket.h"
#include "ap/signal_pipe.h"
#include "settings/settings_file.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTextStream>

#include <csignal>
#include <cstdio>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace orf {

namespace {

const char kOverview[] =
    "Usage: orf COMMAND [options]\n"
    "Records, plays and inspects recordings of an Ostrel system's UDP frame stream, without a display.\n"
    "\n"
    "Commands:\n"
    "  record   record the datagrams arriving on a port into a recording (.orf)\n"
    "  play     send a recording's frames to one or more destinations\n"
    "  info     check a recording: frames, lost frames, duration, whether it can be played\n"
    "  export   write a recording's frames as a capture (.pcap) for Wireshark, tshark or tcpreplay\n"
    "  import   write the datagrams of a capture (pcap, pcapng) to one port as a recording\n"
    "  help     show the options of a command: orf help COMMAND\n"
    "\n"
    "Defaults come from the settings the Ostrel Recorder window writes\n"
    "(~/.NUV/Ostrel_Recorder/config/current-settings.xml); options override them.\n"
    "Exit status: 0 done, 1 nothing recorded or not playable, 2 usage error, 3 socket, disk or read error.\n";

bool status_shown = false;

using Command = int (*)(const QStringList &);
Command commandNamed(const QString &name)
{
    if (name == QLatin1String("record"))
        return record;
    if (name == QLatin1String("play"))
        return play;
    if (name == QLatin1String("info"))
        return info;
    if (name == QLatin1String("export"))
        return exportCapture;
    if (name == QLatin1String("import"))
        return importCapture;
    return nullptr;
}

bool outOfRange(const QCommandLineOption &option, const QString &text, const char *what, const QString &range)
{
    error(QStringLiteral("--%1 %2: not %3 %4")
              .arg(option.names().constLast(), text, QLatin1String(what), range));
    return false;
}

} // namespace

void error(const QString &text)
{
    endStatus();
    std::fprintf(stderr, "orf: %s\n", text.toLocal8Bit().constData());
}

bool statusIsTerminal()
{
    return isatty(STDERR_FILENO) == 1;
}

void status(const QString &text)
{
    if (!statusIsTerminal())
        return;
    // Clear to the end of the line: the new text may be shorter than the last.
    std::fprintf(stderr, "\r%s\033[K", text.toLocal8Bit().constData());
    std::fflush(stderr);
    status_shown = true;
}

void endStatus()
{
    if (!status_shown)
        return;
    std::fputc('\n', stderr);
    status_shown = false;
}

void quitOnSignals()
{
    static SignalPipe *pipe = nullptr;
    if (pipe || !SignalPipe::catchSignals())
        return;
    pipe = new SignalPipe(QCoreApplication::instance());
    QObject::connect(pipe, &SignalPipe::caught, QCoreApplication::instance(), &QCoreApplication::quit);
    // After a hang-up nobody may read standard error any more: a message must not end the program.
    std::signal(SIGPIPE, SIG_IGN);
}

int parse(QCommandLineParser &parser, const QStringList &arguments, const char *synopsis,
          const char *description)
{
    const QCommandLineOption help({"h", "help"}, "Shows this help.");
    parser.addOption(help);
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    if (!parser.parse(arguments)) {
        error(parser.errorText() + QStringLiteral(" (see orf help %1)").arg(arguments.first().mid(4)));
        return kUsage;
    }
    if (parser.isSet(help)) {
        // Qt's own first line names the program only; ours names the command too.
        QString text = parser.helpText();
        text = text.mid(text.indexOf('\n') + 1);
        QTextStream(stdout) << "Usage: " << synopsis << '\n' << description << '\n' << text;
        return kOk;
    }
    return -1;
}

bool numberOption(const QCommandLineParser &parser, const QCommandLineOption &option, const char *what,
                  qint64 low, qint64 high, qint64 *value)
{
    const QString text = parser.value(option);
    bool ok = false;
    *value = text.toLongLong(&ok);
    return (ok && *value >= low && *value <= high) ||
           outOfRange(option, text, what, QStringLiteral("from %1 to %2").arg(low).arg(high));
}

bool numberOption(const QCommandLineParser &parser, const QCommandLineOption &option, const char *what,
                  double low, double high, double *value)
{
    const QString text = parser.value(option);
    bool ok = false;
    *value = text.toDouble(&ok);
    // Written so that NaN fails too.
    return (ok && *value > low && *value <= high) ||
           outOfRange(option, text, what,
                      QStringLiteral("above %1 and at most %2").arg(low, 0, 'g', 15).arg(high, 0, 'g', 15));
}

int readRecording(const QString &file, const CaptureReader::Options *captureOptions,
                  OpenedRecording *recording)
{
    using Status = OpenedRecording::Status;
    *recording = OpenedRecording::open(file, captureOptions);
    if (recording->status == Status::CaptureUnreadable)
        return captureRead(recording->capture.result());
    if (!recording->capture.isEmpty())
        captureRead(recording->capture.result()); // a cut is said
    switch (recording->status) {
    case Status::OpenFailed:
        error(QStringLiteral("%1: cannot be opened").arg(file));
        return kFailure;
    case Status::ReadFailed:
    case Status::Cancelled: // no progress function: never
        error(QStringLiteral("%1: cannot be read to its end").arg(file));
        return kFailure;
    case Status::Changed:
        error(QStringLiteral("%1: changed while it was read").arg(file));
        return kFailure;
    default:
        return -1;
    }
}

int captureRead(const CaptureReader::Result &r)
{
    if (r.ok()) {
        if (!r.cutNote.isEmpty())
            error(r.cutNote);
        return -1;
    }
    error(r.error);
    return r.status == CaptureReader::Status::BadFilter ? kUsage : kFailure;
}

bool outputAllowed(const QString &file, bool force, QString *why)
{
    struct stat st;
    if (file.isEmpty() || (::stat(QFile::encodeName(file).constData(), &st) == 0 && S_ISDIR(st.st_mode))) {
        *why = file.isEmpty() ? QStringLiteral("-o '': names no file")
                              : QStringLiteral("-o %1: is a directory; name a file").arg(file);
        return false;
    }
    for (const QString &existing : {file, file + ".part"}) {
        if (::lstat(QFile::encodeName(existing).constData(), &st) != 0)
            continue;
        // --force replaces a file, or a link (never what it points to); never a device or a FIFO.
        if (!force || !(S_ISREG(st.st_mode) || S_ISLNK(st.st_mode))) {
            *why = force ? QStringLiteral("%1 exists and is not a file; nothing replaces it").arg(existing)
                         : QStringLiteral("%1 exists; --force replaces it").arg(existing);
            return false;
        }
    }
    return true;
}

Defaults loadDefaults()
{
    SettingsFile::SettingsTexts texts = SettingsFile::defaultTexts();
    const QString configDir =
        QStandardPaths::writableLocation(QStandardPaths::HomeLocation) + "/.NUV/Ostrel_Recorder";
    const QString fallback = QCoreApplication::applicationDirPath() + "/config/current-settings.xml";
    const SettingsFile::LoadResult result =
        SettingsFile::load(SettingsFile::settingsPath(configDir), fallback, texts);
    if (!result.ok() && result.error != SettingsFile::LoadError::NotFound) {
        error(SettingsFile::loadErrorMessage(result).replace('\n', ' ') + " Using the built-in defaults.");
        texts = SettingsFile::defaultTexts();
    }
    using SettingsFile::Setting;
    Defaults d;
    d.texts = texts;
    if (result.ok())
        d.path = result.path;
    const SettingsFile::WorkingValues v = SettingsFile::workingValues(texts, nullptr); // hosts: when played
    d.record_port = v.port_record;
    d.host_1 = texts.text(Setting::PlayHost1);
    d.port_1 = v.port_play_1;
    d.host_2 = texts.text(Setting::PlayHost2);
    d.port_2 = v.port_play_2;
    d.active = v.active;
    d.frequency = v.frequency_play_1;
    d.loop = v.loop;
    d.timestamp = v.timestamp;
    d.recorded_timing = v.recorded_timing;
    return d;
}

QList<QCommandLineOption> captureOptions()
{
    return {
        QCommandLineOption("port",
                           "For a capture: the UDP port whose datagrams make the recording (default: the "
                           "settings' record port when any datagram goes to it, else the port most go to).",
                           "P"),
        QCommandLineOption("filter",
                           "For a capture: takes only the packets that pass EXPR, a tcpdump filter "
                           "expression (a source host, a group address).",
                           "EXPR")};
}

int readCaptureOptions(const QCommandLineParser &parser, const Defaults &defaults,
                       CaptureReader::Options *options)
{
    const QList<QCommandLineOption> names = captureOptions();
    qint64 port = -1;
    if (parser.isSet(names[0]) && !numberOption(parser, names[0], "a port number", 1, 65535, &port))
        return kUsage;
    options->port = int(port);
    options->preferredPort = defaults.record_port != 0 ? defaults.record_port : -1;
    options->filter = parser.value(names[1]);
    return -1;
}

int badSetting(const Defaults &defaults, SettingsFile::Setting setting, const QString &why,
               const QString &option)
{
    const QString where = defaults.path.isEmpty() ? QStringLiteral("built-in settings")
                                                  : QStringLiteral("settings file ") + defaults.path;
    error(QStringLiteral("%1: %2 %3=\"%4\": %5; %6 overrides it")
              .arg(where, SettingsFile::elementName(setting), SettingsFile::attributeName(setting),
                   defaults.texts.text(setting), why, option));
    return kUsage;
}

int optionOrSetting(const QCommandLineParser &parser, const QCommandLineOption &option,
                    const Defaults &defaults, SettingsFile::Setting setting, bool (*usable)(const QString &),
                    const QString &why, QString *value)
{
    const bool given = parser.isSet(option);
    *value = given ? parser.value(option) : defaults.texts.text(setting);
    if (usable(*value))
        return -1;
    const QString name = "--" + option.names().constFirst();
    if (!given)
        return badSetting(defaults, setting, why, name);
    error(QStringLiteral("%1 %2: %3").arg(name, *value, why));
    return kUsage;
}

bool isGroupOrEmpty(const QString &text)
{
    return SettingsFile::groupFromText(text).has_value();
}

bool isInterfaceOrEmpty(const QString &text)
{
    return text.isEmpty() || ap_ip_interface(text.toLocal8Bit().constData(), nullptr, nullptr) == 0;
}

int readDestination(const QString &text, PlaybackEngine::Destination *d)
{
    const qsizetype colon = text.lastIndexOf(':');
    bool ok = colon > 0;
    const uint port = text.mid(colon + 1).toUInt(&ok);
    if (colon <= 0 || !ok || port == 0 || port > 65535) {
        error(QStringLiteral("--to %1: not HOST:PORT with a port from 1 to 65535").arg(text));
        return kUsage;
    }
    const QString host = text.left(colon);
    d->ip = ap_ip_name2ip(host.toLocal8Bit().constData());
    d->port = quint16(port);
    if (d->ip == 0) {
        error(QStringLiteral("host %1 cannot be resolved").arg(host));
        return kUsage;
    }
    return -1;
}

int settingsDestinations(const Defaults &defaults, int count, std::vector<PlaybackEngine::Destination> *out,
                         QStringList *names)
{
    using SettingsFile::Setting;
    for (int i = 0; i < count; ++i) {
        const Setting hostSetting = i == 0 ? Setting::PlayHost1 : Setting::PlayHost2;
        const Setting portSetting = i == 0 ? Setting::PlayPort1 : Setting::PlayPort2;
        PlaybackEngine::Destination d{0, i == 0 ? defaults.port_1 : defaults.port_2};
        if (d.port == 0)
            return badSetting(defaults, portSetting, "not a port number (1 to 65535)", "--to");
        const QString host = defaults.texts.text(hostSetting);
        if ((d.ip = ap_ip_name2ip(host.toLocal8Bit().constData())) == 0)
            return badSetting(defaults, hostSetting, "cannot be resolved", "--to");
        out->push_back(d);
        *names << host + ':' + QString::number(d.port);
    }
    return -1;
}

int readSchedule(const QCommandLineParser &parser, const ScheduleOptions &names, const Defaults &defaults,
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
    options->rate = defaults.frequency;
    // The settings' rate is used unless --rate gives one: also by timestamps that give none.
    const bool rateNeeded = !parser.isSet(*names.rate) && !(names.topSpeed && parser.isSet(*names.topSpeed));
    if (rateNeeded && !(options->rate > 0))
        return badSetting(defaults, SettingsFile::Setting::Frequency, "not a rate in Hz above 0", "--rate");
    options->timestamps =
        parser.isSet(*names.rate) ? false : (parser.isSet(*names.timestamps) || defaults.timestamp);
    // The settings' recorded timing stands only where no option chooses the pacing.
    const bool paced = parser.isSet(*names.rate) || parser.isSet(*names.timestamps) ||
                       (names.topSpeed && parser.isSet(*names.topSpeed));
    options->recordedTiming =
        parser.isSet(*names.recordedTiming) || (!paced && defaults.timestamp && defaults.recorded_timing);
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
    return -1;
}

int run(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName("NUV");
    QCoreApplication::setApplicationName("orf");
    QCoreApplication::setApplicationVersion(QStringLiteral(OSTREL_VERSION));

    QStringList arguments = QCoreApplication::arguments();
    const QString first = arguments.value(1);
    QTextStream out(stdout);
    if (first.isEmpty() || first == "--help" || first == "-h") {
        out << kOverview;
        return first.isEmpty() ? kUsage : kOk;
    }
    if (first == "--version" || first == "-v") {
        out << "orf " << QCoreApplication::applicationVersion() << '\n';
        return kOk;
    }
    if (first == "help") {
        const QString name = arguments.value(2);
        if (name.isEmpty()) {
            out << kOverview;
            return kOk;
        }
        if (Command command = commandNamed(name))
            return command({"orf " + name, "--help"});
        error(QStringLiteral("no command '%1'; the commands are record, play, info, export and import")
                  .arg(name));
        return kUsage;
    }
    Command command = commandNamed(first);
    if (!command) {
        error(QStringLiteral("no command '%1'; see orf --help").arg(first));
        return kUsage;
    }
    arguments.removeAt(1);
    arguments[0] = "orf " + first;
    return command(arguments);
}

} // namespace orf

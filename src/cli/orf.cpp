#include "cli/orf.h"

#include "cli/command.h"
#include "cli/terminal.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

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

} // namespace

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

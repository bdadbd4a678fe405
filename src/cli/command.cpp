#include "cli/command.h"

#include "cli/defaults.h"
#include "cli/progress.h"
#include "cli/terminal.h"

#include <QCommandLineParser>
#include <QTextStream>

namespace orf {

namespace {

const QCommandLineOption kProgress("progress",
                                   "Shows progress on standard error also when it is not a terminal.");
const QCommandLineOption kQuiet("quiet", "Says nothing on standard error but errors.");

// --progress and --quiet, which every command takes.
Ending readChatter(const Command &command, const QCommandLineParser &parser)
{
    if (parser.isSet(kProgress) && parser.isSet(kQuiet)) {
        error(
            QStringLiteral("--progress and --quiet exclude each other (see orf help %1)").arg(command.name));
        return kUsage;
    }
    setChatter(parser.isSet(kQuiet)      ? Chatter::Quiet
               : parser.isSet(kProgress) ? Chatter::Progress
                                         : Chatter::Usual);
    return {};
}

// Parses the arguments; --help prints the command's help.
Ending parse(const Command &command, const QStringList &arguments, QCommandLineParser *parser)
{
    const QCommandLineOption help({"h", "help"}, "Shows this help.");
    parser->addOptions({kProgress, kQuiet, help});
    parser->setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    if (!parser->parse(QStringList{QStringLiteral("orf ") + command.name} + arguments)) {
        error(parser->errorText() + QStringLiteral(" (see orf help %1)").arg(command.name));
        return kUsage;
    }
    if (parser->isSet(help)) {
        // Qt's own first line names the program only; ours names the command too.
        QString text = parser->helpText();
        text = text.mid(text.indexOf('\n') + 1);
        QTextStream(stdout) << "Usage: " << command.synopsis << '\n' << command.description << '\n' << text;
        return kOk;
    }
    return readChatter(command, *parser);
}

} // namespace

int runCommand(const Command &command, const QStringList &arguments)
{
    const Defaults defaults = loadDefaults();
    QCommandLineParser parser;
    parser.addOptions(command.options(defaults));
    if (command.argument.name)
        parser.addPositionalArgument(command.argument.name, command.argument.text);
    if (const Ending ending = parse(command, arguments, &parser))
        return *ending;
    return command.run({command, parser, defaults});
}

int wrongArguments(const Invocation &invocation, const char *takes)
{
    error(QStringLiteral("%1 takes %2 (see orf help %1)").arg(invocation.command.name, takes));
    return kUsage;
}

} // namespace orf

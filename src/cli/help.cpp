#include "cli/help.h"

#include "cli/orf.h"
#include "cli/terminal.h"

#include <QCoreApplication>
#include <QTextStream>

namespace orf {

int overview(int status)
{
    QTextStream out(stdout);
    out << "Usage: orf COMMAND [options]\n"
           "Records, plays and inspects recordings of an Ostrel system's UDP frame stream, without a "
           "display.\n"
           "\n"
           "Commands:\n";
    for (const Command *command : commands())
        out << "  " << QString::fromLatin1(command->name).leftJustified(9) << command->summary << '\n';
    out << "  help     show the options of a command: orf help COMMAND\n"
           "\n"
           "Defaults come from the settings the Ostrel Recorder window writes\n"
           "(~/.NUV/Ostrel_Recorder/config/current-settings.xml); options override them.\n"
           "Exit status: 0 done, 1 nothing recorded or not playable, 2 usage error, 3 socket, disk or read "
           "error.\n";
    return status;
}

int help(const QString &command)
{
    if (command.isEmpty())
        return overview(kOk);
    if (const Command *named = commandNamed(command))
        return runCommand(*named, {"--help"});
    QStringList names;
    for (const Command *c : commands())
        names << QString::fromLatin1(c->name);
    const QString last = names.takeLast();
    error(QStringLiteral("no command '%1'; the commands are %2 and %3").arg(command, names.join(", "), last));
    return kUsage;
}

int version()
{
    QTextStream(stdout) << "orf " << QCoreApplication::applicationVersion() << '\n';
    return kOk;
}

} // namespace orf

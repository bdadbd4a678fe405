#include "cli/orf.h"

#include "cli/help.h"
#include "cli/terminal.h"

#include <QCoreApplication>

namespace orf {

const QList<const Command *> &commands()
{
    static const QList<const Command *> table = {&kRecord, &kPlay, &kInfo, &kExport, &kImport, &kCut, &kMerge};
    return table;
}

const Command *commandNamed(const QString &name)
{
    for (const Command *command : commands()) {
        if (name == QLatin1String(command->name))
            return command;
    }
    return nullptr;
}

int run(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName("NUV");
    QCoreApplication::setApplicationName("orf");
    QCoreApplication::setApplicationVersion(QStringLiteral(OSTREL_VERSION));

    const QStringList arguments = QCoreApplication::arguments();
    const QString first = arguments.value(1);
    if (first.isEmpty() || first == "--help" || first == "-h")
        return overview(first.isEmpty() ? kUsage : kOk);
    if (first == "--version" || first == "-v")
        return version();
    if (first == "help")
        return help(arguments.value(2));
    const Command *command = commandNamed(first);
    if (!command) {
        error(QStringLiteral("no command '%1'; see orf --help").arg(first));
        return kUsage;
    }
    return runCommand(*command, arguments.mid(2));
}

} // namespace orf

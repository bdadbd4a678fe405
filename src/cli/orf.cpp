#include "cli/orf.h"

#include "cli/help.h"
#include "cli/terminal.h"

#include <QCoreApplication>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>

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

namespace {

// What the command printed reached its standard output whole (a full disk, /dev/full, a closed pipe are
// failures, as for cat), else says why: kFailure.
int outputWritten(int status)
{
    errno = 0;
    const bool failed = std::fflush(stdout) != 0 || std::ferror(stdout) != 0;
    const int reason = errno; // what fclose() leaves is the close's
    // A standard output closed from the start (orf … >&-) is no failure while nothing was written to it.
    if ((std::fclose(stdout) == 0 || errno == EBADF) && !failed)
        return status;
    errno = reason != 0 ? reason : errno;
    error(QStringLiteral("writing the standard output failed%1")
              .arg(errno != 0 ? ": " + QString::fromLocal8Bit(std::strerror(errno)) : QString()));
    return kFailure;
}

int runCommandLine(const QStringList &arguments)
{
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

} // namespace

int run(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName("NUV");
    QCoreApplication::setApplicationName("orf");
    QCoreApplication::setApplicationVersion(QStringLiteral(OSTREL_VERSION));
    // Qt takes the locale from the environment; numbers that scripts read keep a decimal point.
    std::setlocale(LC_NUMERIC, "C");
    return outputWritten(runCommandLine(QCoreApplication::arguments()));
}

} // namespace orf

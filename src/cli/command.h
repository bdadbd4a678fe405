// A command of orf: what the table of commands (cli/orf.h) holds of it, what its run function is given, and
// the runner every command goes through.
#pragma once

#include <QCommandLineOption>
#include <QList>
#include <QStringList>

#include <optional>

class QCommandLineParser;

namespace orf {

struct Defaults;
struct Invocation;

// Exit statuses, the same for every command.
enum Exit
{
    kOk = 0,
    kNothing = 1, // nothing arrived (record), not playable (play, info)
    kUsage = 2,
    kFailure = 3, // socket, disk, send or read error
};

// What a step of a command gives: the exit status the command ends with, or nothing when it goes on. A
// step that ends the command has said why.
using Ending = std::optional<int>;

// A command, defined in a file of its own and listed in the table.
struct Command
{
    const char *name;
    const char *summary;     // its line in orf --help
    const char *synopsis;    // the first line of its help, after "Usage: "
    const char *description; // its help's text under the synopsis
    // Its options, in the order its help lists them; their texts may name the settings' values.
    QList<QCommandLineOption> (*options)(const Defaults &defaults);
    // The file argument its help names, and what it is; none where the name is null.
    struct
    {
        const char *name;
        const char *text;
    } argument;
    // Does the work and says what it did (usually runOnRequest below): the exit status.
    int (*run)(const Invocation &invocation);
};

// A command's arguments as parsed, and the settings that stand in for the options not given.
struct Invocation
{
    const Command &command;
    const QCommandLineParser &parser;
    const Defaults &defaults;
};

// The run function of a command that reads its options into a Request first (read), then does the work on
// it (work): runOnRequest<Request, readRequest, play>.
template <typename Request, Ending (*read)(const Invocation &, Request *), int (*work)(const Request &)>
int runOnRequest(const Invocation &invocation)
{
    Request request;
    if (const Ending ending = read(invocation, &request))
        return *ending;
    return work(request);
}

// Runs command with its arguments (those after its name): the settings read, the arguments parsed, its
// help shown for --help, else its run function. What every command does around its work is done here.
int runCommand(const Command &command, const QStringList &arguments);

// Says that the command takes other arguments ("play takes one recording (see orf help play)"): kUsage.
int wrongArguments(const Invocation &invocation, const char *takes);

} // namespace orf

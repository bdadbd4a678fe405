// orf merge: recordings of one stream made into one, in frame-number order, each frame once; the inputs
// are read and checked before anything is written.
#include "cli/orf.h"
#include "cli/output_file.h"
#include "cli/progress.h"
#include "cli/terminal.h"
#include "recording/merge.h"

#include <QCommandLineParser>
#include <QJsonDocument>
#include <QTextStream>

namespace orf {

namespace {

const QCommandLineOption kOutput({"o", "output"}, "The recording to write.", "OUT");
const QCommandLineOption kJson("json", "Prints what came from where as one JSON object.");
const QCommandLineOption kForce("force", "Replaces an existing OUT.");

QList<QCommandLineOption> options(const Defaults &)
{
    return {kOutput, kJson, kForce};
}

struct Request
{
    QStringList inputs;
    QString out;
    bool json = false;
    bool force = false;
};

Ending readRequest(const Invocation &call, Request *request)
{
    const QCommandLineParser &parser = call.parser;
    if (parser.positionalArguments().size() < 2)
        return wrongArguments(call, "two recordings or more");
    if (!parser.isSet(kOutput)) {
        error("merge needs the recording to write: -o OUT");
        return kUsage;
    }
    request->inputs = parser.positionalArguments();
    request->out = parser.value(kOutput);
    request->json = parser.isSet(kJson);
    request->force = parser.isSet(kForce);
    return checkOutput(request->out, request->force);
}

int mergeInputs(const Request &request)
{
    using Status = merge::Plan::Status;
    ProgressBar bar("merging");
    const merge::Plan plan = merge::plan(request.inputs, bar.callback());
    if (!plan.ok()) {
        error(plan.why + "; nothing written");
        return plan.status == Status::OpenFailed ? kFailure : kNothing;
    }
    QString why;
    const bool written = merge::write(plan, request.out, request.force, &why, bar.callback());
    bar.end();
    if (!written) {
        error(why);
        return kFailure;
    }
    if (request.json)
        QTextStream(stdout) << QJsonDocument(plan.json()).toJson(QJsonDocument::Indented);
    else
        for (const QString &line : plan.summary().split('\n'))
            say("orf: %s\n", line.toUtf8().constData());
    return kOk;
}

} // namespace

const Command kMerge = {
    "merge",
    "make recordings of one stream into one, each frame once",
    "orf merge A B [C ...] -o OUT [--json] [--force]",
    "Writes the frames of all inputs to OUT in frame-number order, each frame once: parts recorded one "
    "after the other are joined, recordings made at the same time fill each other's lost frames. A frame "
    "several inputs hold is taken from the first of them; copies that differ are counted. Inputs whose "
    "numbering cannot be one stream (numbers that go back or start over) are refused before anything is "
    "written (status 1). Says what came from where and what is still lost.",
    options,
    {"A B ...", "The recordings (.orf), in the order their copies are preferred."},
    runOnRequest<Request, readRequest, mergeInputs>,
};

} // namespace orf

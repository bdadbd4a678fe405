// orf info: one pass over a recording through the frame index, and what it holds.
#include "orf.h"

#include "recording_info.h"

#include <QJsonDocument>
#include <QTextStream>

namespace orf {

int info(const QStringList &arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption json("json", "Prints one JSON object: every run of lost frames, and every lost "
                                          "frame number while they are at most 100,000.");
    parser.addOption(json);
    parser.addPositionalArgument("FILE", "The recording (.orf).");
    if (const int done =
            parse(parser, arguments, "orf info FILE [--json]",
                  "Checks a recording: size, frame numbers, lost frames, duration and mean rate "
                  "from its timestamps, the recorded interval between frames, and whether it can be "
                  "played.\n"
                  "Exit status 0 when it can be played, 1 when not, 3 when it cannot be read.");
        done >= 0)
        return done;
    if (parser.positionalArguments().size() != 1) {
        error("info takes one recording (see orf help info)");
        return kUsage;
    }
    const QString file = parser.positionalArguments().first();

    FrameIndex index;
    FrameScanner::Result result;
    if (const int failed = readRecording(file, index, &result); failed >= 0)
        return failed;
    bool changed = false;
    const RecordingInfo recording = RecordingInfo::of(file, index, result, &changed);
    if (changed) {
        error(QStringLiteral("%1: changed while it was read").arg(file));
        return kFailure;
    }
    QTextStream out(stdout);
    if (parser.isSet(json))
        out << QJsonDocument(recording.json()).toJson(QJsonDocument::Indented);
    else
        out << recording.text();
    return recording.playable() ? kOk : kNothing;
}

} // namespace orf

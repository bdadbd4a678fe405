// The file a command reads: a recording, or a capture made into the recording its datagrams to one port
// stand for (OpenedRecording), with --port and --filter for the capture.
#pragma once

#include "capture/capture_reader.h"
#include "cli/command.h"

#include <QCommandLineOption>
#include <QList>
#include <QString>

class OpenedRecording;
class QCommandLineParser;

namespace orf {

struct Defaults;

// --port P and --filter EXPR of the commands that read captures.
QList<QCommandLineOption> captureOptions();
// Their values, the settings' record port preferred when it is one.
Ending readCaptureOptions(const QCommandLineParser &parser, const Defaults &defaults,
                          CaptureReader::Options *options);

// Opens file into *recording, a capture too unless captureOptions is null. A file that cannot be read to
// its end is said; a capture cut short is read up to the cut, which is said.
Ending readRecording(const QString &file, const CaptureReader::Options *captureOptions,
                     OpenedRecording *recording);
// The same for a recording to be sent: the port a capture's recording was taken from is said, a recording
// that cannot be played ends the command with its reason (kNothing), and --from beyond its last frame ends
// it as a usage error.
Ending openPlayable(const QString &file, const CaptureReader::Options *captureOptions,
                    OpenedRecording *recording, qint64 from = -1);

// Says why a capture could not be read, and ends the command for it; a cut is said, and the command goes on.
Ending captureRead(const CaptureReader::Result &r);

} // namespace orf

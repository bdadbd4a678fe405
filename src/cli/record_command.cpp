// orf record: the window's receiving engine writing into FILE.part, renamed to FILE once it is whole.
#include "ap/ap_socket.h"
#include "cli/defaults.h"
#include "cli/option_values.h"
#include "cli/orf.h"
#include "cli/output_file.h"
#include "cli/progress.h"
#include "cli/terminal.h"
#include "record/megabytes.h"
#include "record/ostrel_recorder_thread.h"
#include "record/record_socket.h"
#include "record/split_recording.h"
#include "recording/counted.h"
#include "recording/part_file.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <limits>

namespace orf {

namespace {

constexpr qint64 kMaxCount = std::numeric_limits<qint64>::max();
constexpr double kMaxDuration = 1e9; // 31 years
constexpr qint64 kDayMs = 24 * 3600 * 1000;

const QCommandLineOption kPort("port", "The UDP port to record (default: the settings', now %1).", "P");
const QCommandLineOption kOutput({"o", "output"},
                                 "The recording to write (default: ostrel-YYYYMMDD-HHMMSS.orf).", "FILE");
const QCommandLineOption kCount("count", "Ends after N datagrams.", "N");
const QCommandLineOption kDuration("duration", "Ends after SECONDS.", "SECONDS");
const QCommandLineOption kForce("force", "Replaces an existing FILE.");
const QCommandLineOption
    kGroup("group",
           "Records the datagrams sent to the multicast group ADDR on the port (default: the settings').",
           "ADDR");
const QCommandLineOption
    kInterface("interface",
               "Joins the group on interface IF, a name or an address (default: the system's choice).", "IF");

const QCommandLineOption kSplitSize("split-size",
                                    "Goes on in a next file (FILE-0001.orf, FILE-0002.orf, ...) once a file "
                                    "holds SIZE bytes (K, M, G: 1024, 1024², 1024³ bytes).",
                                    "SIZE");
const QCommandLineOption kSplitDuration("split-duration",
                                        "Goes on in a next file once a file has been written for DURATION "
                                        "(seconds; m, h: minutes, hours).",
                                        "DURATION");

QList<QCommandLineOption> options(const Defaults &defaults)
{
    QCommandLineOption port = kPort;
    port.setDescription(kPort.description().arg(defaults.values.port_record));
    return {port, kOutput, kCount, kDuration, kForce, kGroup, kInterface, kSplitSize, kSplitDuration};
}

// What to record, into which file, until when.
struct Request
{
    quint16 port = 0;
    quint32 group = 0;   // 0: none, the port alone
    QString groupText;   // as given; empty without a group
    QString interface;   // where the group is joined; empty: the system's choice
    QString source;      // where the datagrams come from, as every message names it
    qint64 count = 0;    // datagrams; 0: no limit
    double duration = 0; // seconds; 0: no limit
    QString file;
    bool force = false;
    SplitRecording::Limits split; // none: one file
    bool splitting() const { return split.bytes > 0 || split.seconds > 0; }
};

// --port, --group and --interface, or the settings'.
Ending readSource(const Invocation &call, Request *request)
{
    using SettingsFile::Setting;
    const QCommandLineParser &parser = call.parser;
    request->port = call.defaults.values.port_record;
    qint64 port = 0;
    if (parser.isSet(kPort)) {
        if (!numberOption(parser, kPort, "a port number", 1, 65535, &port))
            return kUsage;
        request->port = quint16(port);
    } else if (request->port == 0) {
        return badSetting(call.defaults, Setting::RecordPort, "not a port number (1 to 65535)", "--port");
    }
    if (const Ending ending =
            optionOrSetting(parser, kGroup, call.defaults, Setting::RecordGroup, isGroupOrEmpty,
                            "not a multicast group (224.0.0.0 to 239.255.255.255)", &request->groupText))
        return ending;
    request->group = *SettingsFile::groupFromText(request->groupText);
    if (parser.isSet(kInterface) && request->group == 0) {
        error("--interface is for receiving from a group: give --group ADDR too");
        return kUsage;
    }
    if (request->group != 0) {
        if (const Ending ending = optionOrSetting(
                parser, kInterface, call.defaults, Setting::RecordInterface, isInterfaceOrEmpty,
                "no such network interface (a name such as eth0, or an address)", &request->interface))
            return ending;
    }
    request->source = record_socket::sourceName(request->port, request->groupText);
    return {};
}

// A number with a unit after it: 2G, 1.5h.
bool unitOption(const QCommandLineParser &parser, const QCommandLineOption &option, const QString &units,
                const QList<double> &factors, double most, double *value)
{
    QString text = parser.value(option);
    const qsizetype unit = text.isEmpty() ? -1 : units.indexOf(text.back().toUpper());
    bool ok = false;
    *value = (unit >= 0 ? text.chopped(1) : text).toDouble(&ok) * factors.value(unit, 1);
    if (ok && *value > 0 && *value <= most)
        return true;
    error(QStringLiteral("--%1 %2: not %3")
              .arg(option.names().constLast(), parser.value(option),
                   &option == &kSplitSize ? "a size above 0 and at most 1P"
                                          : "a duration above 0 and at most 1e9 s"));
    return false;
}

Ending readSplit(const QCommandLineParser &parser, SplitRecording::Limits *split)
{
    double bytes = 0;
    if (parser.isSet(kSplitSize) &&
        !unitOption(parser, kSplitSize, "KMGTP",
                    {1024.0, 1048576.0, 1073741824.0, 1099511627776.0, 1125899906842624.0},
                    1125899906842624.0, &bytes))
        return kUsage;
    split->bytes = qint64(std::max(1.0, bytes)) * (bytes > 0);
    if (parser.isSet(kSplitDuration) &&
        !unitOption(parser, kSplitDuration, "SMHD", {1, 60, 3600, 86400}, kMaxDuration, &split->seconds))
        return kUsage;
    return {};
}

Ending readRequest(const Invocation &call, Request *request)
{
    const QCommandLineParser &parser = call.parser;
    if (!parser.positionalArguments().isEmpty()) {
        error("record takes no file argument; name the recording with -o FILE");
        return kUsage;
    }
    if (const Ending ending = readSource(call, request))
        return ending;
    if (parser.isSet(kCount) &&
        !numberOption(parser, kCount, "a number of datagrams", 1, kMaxCount, &request->count))
        return kUsage;
    if (parser.isSet(kDuration) &&
        !numberOption(parser, kDuration, "a number of seconds", 0.0, kMaxDuration, &request->duration))
        return kUsage;
    request->file = parser.isSet(kOutput)
                        ? parser.value(kOutput)
                        : QDateTime::currentDateTime().toString("'ostrel-'yyyyMMdd-HHmmss'.orf'");
    request->force = parser.isSet(kForce);
    if (const Ending ending = readSplit(parser, &request->split))
        return ending;
    // Found out now, not after a recording that could then not be renamed to it.
    return checkOutput(request->splitting() ? SplitRecording::numbered(request->file, 1) : request->file,
                       request->force);
}

Ending openSocket(const Request &request, void **socket)
{
    QString reason;
    const record_socket::Result opened =
        record_socket::open(socket, request.port, request.group, request.interface, &reason);
    if (opened == record_socket::Result::Opened)
        return {};
    error(record_socket::failureText(opened, record_socket::Wording::CommandLine, request.port,
                                     request.groupText, request.interface, reason));
    return opened == record_socket::Result::UnknownInterface ? kUsage : kFailure;
}

// Quits the event loop at deadline. One timer cannot wait longer than 24.8 days: it is armed again until the
// deadline has passed.
void quitAt(const QDeadlineTimer &deadline, QTimer *timer)
{
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    QObject::connect(timer, &QTimer::timeout, timer, [deadline, timer] {
        const qint64 left = deadline.remainingTime();
        if (left > 0)
            timer->start(int(std::min<qint64>(left, kDayMs)));
        else
            QCoreApplication::quit();
    });
    timer->start(0);
}

// How the recording ended.
struct Recorded
{
    Ostrel_Recorder_Thread::Counts counts;
    bool receivingFailed = false;
    QElapsedTimer elapsed; // since it began
};

// Records until the count, the duration or a signal ends it, or receiving or writing fails; closes the
// socket.
Recorded receive(const Request &request, void *socket, std::FILE *output, SplitRecording *split = nullptr)
{
    Ostrel_Recorder_Thread receiver;
    receiver.setSocket(socket);
    receiver.setRecordOutput(output);
    receiver.setOutputChooser(split);
    receiver.setModeRecord(true);
    receiver.setStopAfter(request.count);
    receiver.setStopOnWriteFailure(true); // a full disk ends the recording at once; the rest is kept
    quitOnSignals();
    QObject::connect(&receiver, &Ostrel_Recorder_Thread::status, QCoreApplication::instance(), [](int s) {
        if (s == 0)
            QCoreApplication::quit();
    });
    Recorded recorded;
    recorded.elapsed.start();
    StatusLine status([&, rate = qint64(0), since = qint64(0), counted = quint64(0)]() mutable {
        const Ostrel_Recorder_Thread::Counts c = receiver.counts();
        const qint64 now = recorded.elapsed.elapsed();
        // The rate over the last second or more, not over one redraw's quarter; in the first, since the
        // start.
        if (now - since >= 1000) {
            rate = qint64((c.datagrams - counted) * 1000 / quint64(now - since));
            since = now;
            counted = c.datagrams;
        } else if (since == 0 && now > 0) {
            rate = qint64(c.datagrams * 1000 / quint64(now));
        }
        return QStringLiteral("%1 s  %2 datagrams  %3/s  %4  %5 lost")
            .arg(now / 1000)
            .arg(c.datagrams)
            .arg(rate)
            .arg(megabytes::text(c.bytes) + " MB")
            .arg(c.lost);
    });
    QTimer ender;
    if (request.duration > 0)
        quitAt(QDeadlineTimer(qint64(request.duration * 1000), Qt::PreciseTimer), &ender);
    say("orf: recording %s into %s (Ctrl-C ends)\n", request.source.toLocal8Bit().constData(),
        QFile::encodeName(split ? split->current() + ", ..." : request.file).constData());
    receiver.start();
    QCoreApplication::exec();
    receiver.stop();
    ap_udp_exit(socket);
    status.end();
    recorded.counts = receiver.counts();
    recorded.receivingFailed = receiver.endedByError();
    return recorded;
}

// FILE.part renamed to FILE, and the summary; or what is kept where, and why.
int finish(const Request &request, const Recorded &recorded, std::FILE *output)
{
    const Ostrel_Recorder_Thread::Counts &c = recorded.counts;
    const QString part = request.file + ".part";
    if (c.write_failed || recorded.receivingFailed) {
        std::fclose(output);
        if (c.write_failed)
            error(QStringLiteral("writing %1 failed (is the disk full?); what was written is kept there")
                      .arg(part));
        else
            error(QStringLiteral("receiving on %1 failed; what arrived is kept in %2")
                      .arg(request.source, part));
        return kFailure;
    }
    if (c.datagrams == 0) {
        std::fclose(output);
        QFile::remove(part);
        error(QStringLiteral("nothing arrived on %1; no recording written").arg(request.source));
        return kNothing;
    }
    if (QString why; !part_file::finish(output, request.file, &why)) {
        error(why + QStringLiteral("; what was written is kept in %1").arg(part));
        return kFailure;
    }
    say("orf: recorded %s (%s MB) in %.1f s into %s, %s lost\n",
        qPrintable(counted(qint64(c.datagrams), "datagram")), megabytes::text(c.bytes).toUtf8().constData(),
        recorded.elapsed.elapsed() / 1000.0, QFile::encodeName(request.file).constData(),
        qPrintable(counted(qint64(c.lost), "frame")));
    return kOk;
}

// The files of a split recording: the closed ones renamed, the open one too, and the summary; or what is
// kept where, and why.
int finishSplit(const Request &request, const Recorded &recorded, SplitRecording &split)
{
    const Ostrel_Recorder_Thread::Counts &c = recorded.counts;
    const QString part = split.current() + ".part";
    QString why;
    if (c.write_failed || recorded.receivingFailed || c.datagrams == 0) {
        split.abandon(c.datagrams == 0, &why);
        if (!why.isEmpty()) // a next file could not be made: the recording ended before it
            error(why + QStringLiteral("; the recording ended before %1").arg(split.current()));
        else if (c.datagrams == 0)
            error(QStringLiteral("nothing arrived on %1; no recording written").arg(request.source));
        else if (c.write_failed)
            error(QStringLiteral("writing %1 failed (is the disk full?); what was written is kept there")
                      .arg(part));
        else
            error(QStringLiteral("receiving on %1 failed; what arrived is kept in %2")
                      .arg(request.source, part));
        return c.datagrams == 0 ? kNothing : kFailure;
    }
    if (!split.finish(&why)) {
        error(why); // names the file kept as its .part
        return kFailure;
    }
    say("orf: recorded %s (%s MB) in %.1f s into %s to %s (%s), %s lost\n",
        qPrintable(counted(qint64(c.datagrams), "datagram")), megabytes::text(c.bytes).toUtf8().constData(),
        recorded.elapsed.elapsed() / 1000.0,
        QFile::encodeName(SplitRecording::numbered(request.file, 1)).constData(),
        QFile::encodeName(split.current()).constData(), qPrintable(counted(split.files(), "file")),
        qPrintable(counted(qint64(c.lost), "frame")));
    return kOk;
}

int recordSplit(const Request &request, void *socket)
{
    SplitRecording split(request.file, request.split, request.force);
    QString why;
    std::FILE *output = split.open(&why);
    if (!output) {
        error(why);
        ap_udp_exit(socket);
        return kFailure;
    }
    return finishSplit(request, receive(request, socket, output, &split), split);
}

int record(const Request &request)
{
    void *socket = nullptr;
    if (const Ending ending = openSocket(request, &socket))
        return *ending;
    if (request.splitting())
        return recordSplit(request, socket);
    std::FILE *output = createOutput(request.file, request.force);
    if (!output) {
        ap_udp_exit(socket);
        return kFailure;
    }
    return finish(request, receive(request, socket, output), output);
}

} // namespace

const Command kRecord = {
    "record",
    "record the datagrams arriving on a port into a recording (.orf)",
    "orf record [--port P] [--group ADDR [--interface IF]] [-o FILE] [--count N] [--duration SECONDS] "
    "[--split-size SIZE] [--split-duration DURATION] [--force]",
    "Records every datagram arriving on a UDP port, or sent to a multicast group on it, byte for byte, until "
    "Ctrl-C, N datagrams or the duration. With --split-size or --split-duration FILE.orf is written as "
    "FILE-0001.orf, FILE-0002.orf, ...: each file is closed, once it holds the size or the time, before the "
    "next datagram that begins a frame; orf merge FILE-*.orf gives back the one recording.",
    options,
    {},
    runOnRequest<Request, readRequest, record>,
};

} // namespace orf

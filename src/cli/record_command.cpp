// orf record: the window's receiving engine writing into FILE.part, renamed to FILE once it is whole.
#include "ap/ap_socket.h"
#include "cli/command.h"
#include "cli/defaults.h"
#include "cli/option_values.h"
#include "cli/orf.h"
#include "cli/output_file.h"
#include "cli/terminal.h"
#include "record/megabytes.h"
#include "record/ostrel_recorder_thread.h"
#include "record/record_socket.h"
#include "recording/part_file.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <unistd.h>

namespace orf {

namespace {

constexpr qint64 kMaxCount = std::numeric_limits<qint64>::max();
constexpr double kMaxDuration = 1e9; // 31 years
constexpr qint64 kDayMs = 24 * 3600 * 1000;

const QCommandLineOption portOption("port", "The UDP port to record (default: the settings', now %1).", "P");
const QCommandLineOption
    outputOption({"o", "output"}, "The recording to write (default: ostrel-YYYYMMDD-HHMMSS.orf).", "FILE");
const QCommandLineOption countOption("count", "Ends after N datagrams.", "N");
const QCommandLineOption durationOption("duration", "Ends after SECONDS.", "SECONDS");
const QCommandLineOption forceOption("force", "Replaces an existing FILE.");
const QCommandLineOption groupOption(
    "group", "Records the datagrams sent to the multicast group ADDR on the port (default: the settings').",
    "ADDR");
const QCommandLineOption
    interfaceOption("interface",
                    "Joins the group on interface IF, a name or an address (default: the system's choice).",
                    "IF");

QList<QCommandLineOption> options(const Defaults &defaults)
{
    QCommandLineOption port = portOption;
    port.setDescription(portOption.description().arg(defaults.record_port));
    return {port, outputOption, countOption, durationOption, forceOption, groupOption, interfaceOption};
}

int run(const Invocation &call)
{
    const QCommandLineParser &parser = call.parser;
    const Defaults &defaults = call.defaults;
    const QCommandLineOption &port = portOption;
    if (!parser.positionalArguments().isEmpty()) {
        error("record takes no file argument; name the recording with -o FILE");
        return kUsage;
    }

    using SettingsFile::Setting;
    quint16 recordPort = defaults.record_port;
    qint64 number = 0;
    if (parser.isSet(port)) {
        if (!numberOption(parser, port, "a port number", 1, 65535, &number))
            return kUsage;
        recordPort = quint16(number);
    } else if (recordPort == 0) {
        return badSetting(defaults, Setting::RecordPort, "not a port number (1 to 65535)", "--port");
    }
    QString groupText, interface;
    if (const Ending ending =
            optionOrSetting(parser, groupOption, defaults, Setting::RecordGroup, isGroupOrEmpty,
                            "not a multicast group (224.0.0.0 to 239.255.255.255)", &groupText))
        return *ending;
    const quint32 group = *SettingsFile::groupFromText(groupText);
    if (parser.isSet(interfaceOption) && group == 0) {
        error("--interface is for receiving from a group: give --group ADDR too");
        return kUsage;
    }
    const QString noInterface =
        QStringLiteral("no such network interface (a name such as eth0, or an address)");
    if (group != 0) {
        if (const Ending ending = optionOrSetting(parser, interfaceOption, defaults, Setting::RecordInterface,
                                                  isInterfaceOrEmpty, noInterface, &interface))
            return *ending;
    }
    // Where the datagrams come from, as every message names it.
    const QString source = record_socket::sourceName(recordPort, group != 0 ? groupText : QString());
    qint64 count = 0;
    if (parser.isSet(countOption) &&
        !numberOption(parser, countOption, "a number of datagrams", 1, kMaxCount, &count))
        return kUsage;
    double duration = 0;
    if (parser.isSet(durationOption) &&
        !numberOption(parser, durationOption, "a number of seconds", 0.0, kMaxDuration, &duration))
        return kUsage;
    const QString file = parser.isSet(outputOption)
                             ? parser.value(outputOption)
                             : QDateTime::currentDateTime().toString("'ostrel-'yyyyMMdd-HHmmss'.orf'");
    const QString part = file + ".part";
    const bool force = parser.isSet(forceOption);
    // Found out now, not after a recording that could then not be renamed to it.
    if (const Ending ending = checkOutput(file, force))
        return *ending;

    void *socket = nullptr;
    QString reason;
    if (const record_socket::Result opened =
            record_socket::open(&socket, recordPort, group, interface, &reason);
        opened != record_socket::Result::Opened) {
        error(record_socket::failureText(opened, record_socket::Wording::CommandLine, recordPort,
                                         group != 0 ? groupText : QString(), interface, reason));
        return opened == record_socket::Result::UnknownInterface ? kUsage : kFailure;
    }
    FILE *output = createOutput(file, force);
    if (!output) {
        ap_udp_exit(socket);
        return kFailure;
    }

    Ostrel_Recorder_Thread receiver;
    receiver.setSocket(socket);
    receiver.setRecordOutput(output);
    receiver.setModeRecord(true);
    receiver.setStopAfter(count);
    receiver.setStopOnWriteFailure(true); // a full disk ends the recording at once; the rest is kept
    quitOnSignals();
    QObject::connect(&receiver, &Ostrel_Recorder_Thread::status, QCoreApplication::instance(), [](int s) {
        if (s == 0)
            QCoreApplication::quit();
    });
    QElapsedTimer elapsed;
    elapsed.start();
    qint64 last = 0;
    StatusLine status([&] {
        const Ostrel_Recorder_Thread::Counts c = receiver.counts();
        const QString text = QStringLiteral("%1 s  %2 datagrams  %3/s  %4  %5 lost")
                                 .arg(elapsed.elapsed() / 1000)
                                 .arg(c.datagrams)
                                 .arg(c.datagrams - last)
                                 .arg(megabytes::text(c.bytes) + " MB")
                                 .arg(c.lost);
        last = c.datagrams;
        return text;
    });
    // One timer cannot wait longer than 24.8 days: it is armed again until the deadline has passed.
    QDeadlineTimer deadline(qint64(duration * 1000), Qt::PreciseTimer);
    QTimer ender;
    ender.setSingleShot(true);
    ender.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ender, &QTimer::timeout, [&] {
        const qint64 left = deadline.remainingTime();
        if (left > 0)
            ender.start(int(std::min<qint64>(left, kDayMs)));
        else
            QCoreApplication::quit();
    });
    if (duration > 0)
        ender.start(0);
    std::fprintf(stderr, "orf: recording %s into %s (Ctrl-C ends)\n", source.toLocal8Bit().constData(),
                 QFile::encodeName(file).constData());
    receiver.start();
    QCoreApplication::exec();
    receiver.stop();
    ap_udp_exit(socket);
    status.end();

    const Ostrel_Recorder_Thread::Counts c = receiver.counts();
    if (c.write_failed || receiver.endedByError()) {
        std::fclose(output);
        if (c.write_failed)
            error(QStringLiteral("writing %1 failed (is the disk full?); what was written is kept there")
                      .arg(part));
        else
            error(QStringLiteral("receiving on %1 failed; what arrived is kept in %2").arg(source, part));
        return kFailure;
    }
    if (c.datagrams == 0) {
        std::fclose(output);
        QFile::remove(part);
        error(QStringLiteral("nothing arrived on %1; no recording written").arg(source));
        return kNothing;
    }
    if (QString why; !part_file::finish(output, file, &why)) {
        error(why + QStringLiteral("; what was written is kept in %1").arg(part));
        return kFailure;
    }
    std::fprintf(stderr, "orf: recorded %llu datagrams (%s MB) in %.1f s into %s, %llu frames lost\n",
                 (unsigned long long)c.datagrams, megabytes::text(c.bytes).toUtf8().constData(),
                 elapsed.elapsed() / 1000.0, QFile::encodeName(file).constData(), (unsigned long long)c.lost);
    return kOk;
}

} // namespace

const Command kRecord = {
    "record",
    "record the datagrams arriving on a port into a recording (.orf)",
    "orf record [--port P] [--group ADDR [--interface IF]] [-o FILE] [--count N] "
    "[--duration SECONDS] [--force]",
    "Records every datagram arriving on a UDP port, or sent to a multicast group on "
    "it, byte for byte, until Ctrl-C, N datagrams or the duration.",
    options,
    {},
    run,
};

} // namespace orf

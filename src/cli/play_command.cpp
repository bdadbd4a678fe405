// orf play: a recording (or the one a capture's datagrams make) through the playback engine, to any number
// of destinations.
#include "ap/ap_socket.h"
#include "ap/multicast_sending.h"
#include "capture/opened_recording.h"
#include "cli/command.h"
#include "cli/defaults.h"
#include "cli/option_values.h"
#include "cli/orf.h"
#include "cli/playback_options.h"
#include "cli/recording_input.h"
#include "cli/terminal.h"
#include "play/playback_engine.h"
#include "recording/recording_info.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

namespace orf {

namespace {

const QCommandLineOption to("to",
                            "Sends every frame to HOST:PORT; repeat it for more destinations "
                            "(default: the settings' destination 1, and 2 when active).",
                            "HOST:PORT");
const QCommandLineOption rate("rate", "Plays at a fixed rate of HZ frames a second.", "HZ");
const QCommandLineOption timestamps("timestamps", "Plays at the rate of the recording's first timestamps.");
const QCommandLineOption recordedTiming(
    "recorded-timing",
    "Sends each frame at its recorded time, keeping gaps and jitter: a frame without a timestamp "
    "follows one median interval after the one before, a timestamp that goes back is sent at once.");
const QCommandLineOption maxGap("max-gap",
                                "With --recorded-timing: plays a longer gap between two timestamps as S "
                                "seconds (default 5).",
                                "S");
const QCommandLineOption speed("speed", "Plays X times as fast (0.5: half as fast).", "X");
const QCommandLineOption topSpeed("top-speed", "Plays as fast as the network takes the frames.");
const QCommandLineOption loop("loop", "Starts again after the last frame, until Ctrl-C.");
const QCommandLineOption continueNumbers(
    "continue-numbers",
    "With --loop: each pass numbers its frames on from the pass before and moves its timestamps on by "
    "the recording's duration and one median interval, as if the stream went on live.");
const QCommandLineOption from("from", "Starts with frame number FRAME.", "FRAME");
const QCommandLineOption until("until", "Ends with frame number FRAME.", "FRAME");
const QCommandLineOption ttl("ttl",
                             "Datagrams to multicast groups cross at most N routers (default: the "
                             "settings', else 1).",
                             "N");
const QCommandLineOption
    interfaceOption("interface",
                    "Datagrams to multicast groups leave by interface IF, a name or an address (default: the "
                    "settings', else the system's route).",
                    "IF");
const QCommandLineOption noLoopback("no-loopback",
                                    "Datagrams to multicast groups do not reach receivers on this machine.");

QList<QCommandLineOption> options(const Defaults &)
{
    return QList<QCommandLineOption>{
               to,   rate,  timestamps, recordedTiming,  maxGap,    speed, topSpeed, loop, continueNumbers,
               from, until, ttl,        interfaceOption, noLoopback} +
           captureOptions();
}

int run(const Invocation &call)
{
    const QCommandLineParser &parser = call.parser;
    const Defaults &defaults = call.defaults;
    if (parser.positionalArguments().size() != 1) {
        error("play takes one recording (see orf help play)");
        return kUsage;
    }
    if (parser.isSet(speed) && parser.isSet(topSpeed)) {
        error("--speed and --top-speed exclude each other");
        return kUsage;
    }
    if (parser.isSet(continueNumbers) && !parser.isSet(loop)) {
        error("--continue-numbers needs --loop");
        return kUsage;
    }
    const QString file = parser.positionalArguments().first();

    using SettingsFile::Setting;
    PlaybackEngine::Options options;
    QStringList names;
    if (const Ending ending = readDestinations(parser.values(to), defaults, defaults.active ? 2 : 1,
                                               &options.destinations, &names))
        return *ending;
    if (const Ending ending =
            readSchedule(parser, {&rate, &timestamps, &from, &until, &topSpeed, &recordedTiming, &maxGap},
                         defaults, &options))
        return *ending;
    if (parser.isSet(speed) && !numberOption(parser, speed, "a factor", 0.0, 1e6, &options.speed))
        return kUsage;
    options.topSpeed = parser.isSet(topSpeed);
    options.loop = parser.isSet(loop);
    options.continueNumbers = parser.isSet(continueNumbers);
    QString ttlText, interface;
    if (const Ending ending = optionOrSetting(
            parser, ttl, defaults, Setting::PlayTtl,
            [](const QString &text) { return SettingsFile::ttlFromText(text).has_value(); },
            "not a TTL (0 to 255)", &ttlText))
        return *ending;
    if (const Ending ending =
            optionOrSetting(parser, interfaceOption, defaults, Setting::PlayInterface, isInterfaceOrEmpty,
                            "no such network interface (a name such as eth0, or an address)", &interface))
        return *ending;
    CaptureReader::Options capture;
    if (const Ending ending = readCaptureOptions(parser, defaults, &capture))
        return *ending;
    OpenedRecording recording;
    if (const Ending ending = openPlayable(file, &capture, &recording))
        return *ending;
    const FrameIndex &index = recording.index;

    void *socket = nullptr;
    if (ap_udp_init(&socket, 0, 1) < 0) {
        error("no UDP socket to send from");
        return kFailure;
    }
    MulticastSending multicast;
    multicast.ttl = *SettingsFile::ttlFromText(ttlText);
    multicast.interface = interface;
    multicast.loopback = !parser.isSet(noLoopback);
    if (multicast.applyTo(socket) != MulticastSending::Result::Set) {
        ap_udp_exit(socket);
        error(QStringLiteral("sending to multicast groups through interface %1 was refused: %2")
                  .arg(interface.isEmpty() ? "(the system's route)" : interface, std::strerror(errno)));
        return kFailure;
    }
    PlaybackEngine engine;
    engine.setSocket(socket);
    quitOnSignals();
    QElapsedTimer elapsed;
    elapsed.start();
    QObject::connect(&engine, &PlaybackEngine::progressed, QCoreApplication::instance(), [&engine] {
        const PlaybackEngine::State s = engine.progress().state;
        if (s != PlaybackEngine::State::Playing && s != PlaybackEngine::State::Paused)
            QCoreApplication::quit();
    });
    StatusLine status([&] {
        return QStringLiteral("%1 s  frame %2  %3 frames sent")
            .arg(elapsed.elapsed() / 1000)
            .arg(engine.progress().frame)
            .arg(engine.selfCheck().frames());
    });
    if (!engine.start(index, options)) {
        ap_udp_exit(socket);
        error(file + ": changed since it was read; please run again");
        return kFailure;
    }
    if (engine.progress().state == PlaybackEngine::State::Playing)
        QCoreApplication::exec();
    const PlaybackEngine::Progress end = engine.progress();
    engine.stop();
    ap_udp_exit(socket);
    status.end();

    const PlaybackSelfCheck check = engine.selfCheck();
    const double seconds = elapsed.elapsed() / 1000.0;
    const QString timing = check.timingText();
    std::fprintf(stderr,
                 "orf: sent %lld frames in %.2f s (%.2f frames/s) to %s; lateness p99 %.3f ms, max %.3f ms, "
                 "%lld frames more than 1 ms late%s\n",
                 (long long)check.frames(), seconds, seconds > 0 ? check.frames() / seconds : 0.0,
                 names.join(", ").toLocal8Bit().constData(), check.p99Ms(), check.maxMs(),
                 (long long)check.lateOver1ms(), timing.isEmpty() ? "" : qPrintable("; " + timing));
    switch (end.state) {
    case PlaybackEngine::State::SendFailed:
        // The frames before it went out; a frame too large is the recording's fault, not the network's.
        if (QByteArray wire; index.wire(index.entryOf(end.frame), &wire) == FrameIndex::Read::Ok &&
                             wire.size() > ap_udp_max_payload) {
            error(QStringLiteral("%1: frame %2 is %3 bytes, too large for a datagram; playback stopped there")
                      .arg(file)
                      .arg(end.frame)
                      .arg(wire.size()));
            return kNothing;
        }
        error(QStringLiteral("sending frame %1 to %2 failed")
                  .arg(end.frame)
                  .arg(names.value(end.failedDestination)));
        return kFailure;
    case PlaybackEngine::State::FileChanged:
        error(file + ": has changed since it was opened; please run again");
        return kFailure;
    default:
        return kOk;
    }
}

} // namespace

const Command kPlay = {
    "play",
    "send a recording's frames to one or more destinations",
    "orf play FILE [--to HOST:PORT]... [--rate HZ | --timestamps | --recorded-timing "
    "[--max-gap S]] [--speed X | --top-speed] [--loop [--continue-numbers]] [--from FRAME] "
    "[--until FRAME] [--ttl N] [--interface IF] [--no-loopback] [--port P] [--filter EXPR]",
    "Sends a recording's frames again as UDP datagrams, one per frame. Without --rate, "
    "--timestamps or --recorded-timing the settings decide the pacing; without --loop it "
    "plays once. With --recorded-timing each frame goes at its recorded time divided by "
    "the speed; timestamps out of order and shortened gaps are counted in the summary. A "
    "HOST may be a multicast group or a broadcast address. A capture plays as the "
    "recording its datagrams to one port make, each frame without a timestamp line at "
    "its packet's capture time.",
    options,
    {"FILE", "The recording (.orf), or a capture (pcap, pcapng)."},
    run,
};

} // namespace orf

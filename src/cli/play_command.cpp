// orf play: a recording (or the one a capture's datagrams make) through the playback engine, to any number
// of destinations.
#include "ap/ap_socket.h"
#include "ap/multicast_sending.h"
#include "capture/opened_recording.h"
#include "cli/defaults.h"
#include "cli/option_values.h"
#include "cli/orf.h"
#include "cli/play_keys.h"
#include "cli/playback_options.h"
#include "cli/progress.h"
#include "cli/recording_input.h"
#include "cli/terminal.h"
#include "play/playback_engine.h"
#include "recording/counted.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace orf {

namespace {

const QCommandLineOption kTo("to",
                             "Sends every frame to HOST:PORT; repeat it for more destinations "
                             "(default: the settings' destination 1, and 2 when active).",
                             "HOST:PORT");
const QCommandLineOption kRate("rate", "Plays at a fixed rate of HZ frames a second.", "HZ");
const QCommandLineOption kTimestamps("timestamps", "Plays at the rate of the recording's first timestamps.");
const QCommandLineOption kRecordedTiming(
    "recorded-timing",
    "Sends each frame at its recorded time, keeping gaps and jitter: a frame without a timestamp "
    "follows one median interval after the one before, a timestamp that goes back is sent at once.");
const QCommandLineOption kMaxGap("max-gap",
                                 "With --recorded-timing: plays a longer gap between two timestamps as S "
                                 "seconds (default 5).",
                                 "S");
const QCommandLineOption kSpeed("speed", "Plays X times as fast (0.5: half as fast).", "X");
const QCommandLineOption kTopSpeed("top-speed", "Plays as fast as the network takes the frames.");
const QCommandLineOption kLoop("loop", "Starts again after the last frame, until Ctrl-C.");
const QCommandLineOption kContinueNumbers(
    "continue-numbers",
    "With --loop: each pass numbers its frames on from the pass before and moves its timestamps on by "
    "the recording's duration and one median interval, as if the stream went on live.");
const QCommandLineOption kFrom("from", "Starts with frame number FRAME.", "FRAME");
const QCommandLineOption kUntil("until", "Ends with frame number FRAME.", "FRAME");
const QCommandLineOption kTtl("ttl",
                              "Datagrams to multicast groups cross at most N routers (default: the "
                              "settings', else 1).",
                              "N");
const QCommandLineOption
    kInterface("interface",
               "Datagrams to multicast groups leave by interface IF, a name or an address "
               "(default: the settings', else the system's route).",
               "IF");
const QCommandLineOption kNoLoopback("no-loopback",
                                     "Datagrams to multicast groups do not reach receivers on this machine.");
const ScheduleOptions kSchedule = {&kRate,     &kTimestamps,     &kFrom,  &kUntil,
                                   &kTopSpeed, &kRecordedTiming, &kMaxGap};

QList<QCommandLineOption> options(const Defaults &)
{
    const QList<QCommandLineOption> own = {kTo,    kRate,     kTimestamps, kRecordedTiming,  kMaxGap,
                                           kSpeed, kTopSpeed, kLoop,       kContinueNumbers, kFrom,
                                           kUntil, kTtl,      kInterface,  kNoLoopback};
    return own + captureOptions();
}

// What to play, how, and where to.
struct Request
{
    QString file;
    CaptureReader::Options capture; // when the file is a capture
    PlaybackEngine::Options playback;
    QStringList destinations; // HOST:PORT of each of playback.destinations
    MulticastSending multicast;
};

// --ttl, --interface and --no-loopback, or the settings'.
Ending readMulticast(const Invocation &call, MulticastSending *multicast)
{
    using SettingsFile::Setting;
    QString ttl;
    if (const Ending ending = optionOrSetting(
            call.parser, kTtl, call.defaults, Setting::PlayTtl,
            [](const QString &text) { return SettingsFile::ttlFromText(text).has_value(); },
            "not a TTL (0 to 255)", &ttl))
        return ending;
    if (const Ending ending = optionOrSetting(
            call.parser, kInterface, call.defaults, Setting::PlayInterface, isInterfaceOrEmpty,
            "no such network interface (a name such as eth0, or an address)", &multicast->interface))
        return ending;
    multicast->ttl = *SettingsFile::ttlFromText(ttl);
    multicast->loopback = !call.parser.isSet(kNoLoopback);
    return {};
}

Ending readRequest(const Invocation &call, Request *request)
{
    const QCommandLineParser &parser = call.parser;
    if (parser.positionalArguments().size() != 1)
        return wrongArguments(call, "one recording");
    if (parser.isSet(kSpeed) && parser.isSet(kTopSpeed)) {
        error("--speed and --top-speed exclude each other");
        return kUsage;
    }
    if (parser.isSet(kContinueNumbers) && !parser.isSet(kLoop)) {
        error("--continue-numbers needs --loop");
        return kUsage;
    }
    request->file = parser.positionalArguments().first();
    PlaybackEngine::Options &playback = request->playback;
    if (const Ending ending =
            readDestinations(parser.values(kTo), call.defaults, call.defaults.values.active ? 2 : 1,
                             &playback.destinations, &request->destinations))
        return ending;
    if (const Ending ending = readSchedule(parser, kSchedule, call.defaults, &playback))
        return ending;
    if (parser.isSet(kSpeed) && !numberOption(parser, kSpeed, "a factor", 0.0, 1e6, &playback.speed))
        return kUsage;
    playback.topSpeed = parser.isSet(kTopSpeed);
    playback.loop = parser.isSet(kLoop);
    playback.continueNumbers = parser.isSet(kContinueNumbers);
    if (const Ending ending = readMulticast(call, &request->multicast))
        return ending;
    return readCaptureOptions(parser, call.defaults, &request->capture);
}

// A socket to send from, datagrams to groups leaving it as asked.
Ending openSocket(const MulticastSending &multicast, void **socket)
{
    if (ap_udp_init(socket, 0, 1) < 0) {
        error("no UDP socket to send from");
        return kFailure;
    }
    if (multicast.applyTo(*socket) == MulticastSending::Result::Set)
        return {};
    ap_udp_exit(*socket);
    error(QStringLiteral("sending to multicast groups through interface %1 was refused: %2")
              .arg(multicast.interface.isEmpty() ? "(the system's route)" : multicast.interface,
                   std::strerror(errno)));
    return kFailure;
}

// How the playback ended.
struct Played
{
    PlaybackEngine::Progress end;
    PlaybackSelfCheck check;
    double seconds = 0;
};

// The status line: where the playback is in the whole, how fast it goes, how punctual it has been so far.
class PlayStatus
{
public:
    PlayStatus(const PlaybackEngine &engine, const PlaybackEngine::Options &options, qint64 firstNumber)
        : m_engine(engine), m_options(options), m_firstNumber(firstNumber)
    {
        m_elapsed.start();
    }
    double seconds() const { return double(m_elapsed.elapsed()) / 1000.0; }
    QString text();

private:
    const PlaybackEngine &m_engine;
    const PlaybackEngine::Options &m_options;
    const qint64 m_firstNumber; // the index's first frame number
    QElapsedTimer m_elapsed;
    qint64 m_since = 0; // ms when the rate was measured last, and the frames sent by then
    qint64 m_counted = 0;
    double m_rate = 0;
};

QString PlayStatus::text()
{
    const PlaybackEngine::Progress now = m_engine.progress();
    const PlaybackEngine::Plan plan = m_engine.playing();
    const PlaybackSelfCheck check = m_engine.selfCheck();
    const double speed = m_engine.speed();
    const qint64 ms = m_elapsed.elapsed();
    // The rate over the last second or more, not over one redraw's quarter; in the first, since the start.
    if (ms - m_since >= 1000) {
        m_rate = double(check.frames() - m_counted) * 1000.0 / double(ms - m_since);
        m_since = ms;
        m_counted = check.frames();
    } else if (m_since == 0 && ms > 0) {
        m_rate = double(check.frames()) * 1000.0 / double(ms);
    }
    const qint64 all = qMax<qint64>(1, qint64(plan.last) - plan.first + 1);
    const qint64 done =
        now.frame < 0 ? 0 : qBound<qint64>(0, now.frame - m_firstNumber - plan.first + 1, all);
    QString text = QStringLiteral("%1%2  frame %3 (%4 of %5, %6%)")
                       .arg(now.state == PlaybackEngine::State::Paused ? "paused  " : "", clockText(ms / 1e3))
                       .arg(now.frame < 0 ? QStringLiteral("-") : QString::number(now.frame))
                       .arg(done)
                       .arg(all)
                       .arg(100.0 * double(done) / double(all), 0, 'f', 1);
    // Time left at the schedule's pace; at top speed at the pace measured.
    const double pace = m_options.topSpeed ? m_rate : double(plan.rate) * speed;
    if (m_options.loop)
        text += QStringLiteral("  pass %1").arg(now.pass + 1);
    else
        text += QStringLiteral("  %1 left").arg(pace > 0 ? clockText(double(all - done) / pace) : "?");
    text += QStringLiteral("  %1 frames/s").arg(m_rate, 0, 'f', 1);
    if (speed != 1.0 && !m_options.topSpeed)
        text += QStringLiteral("  speed %1x").arg(speed);
    return text + QStringLiteral("  p99 %1 ms late").arg(check.p99Ms(), 0, 'f', 3);
}

// Plays until the playback ends, q or a signal ends it; closes the socket.
Ending sendFrames(const Request &request, const FrameIndex &index, void *socket, Played *played)
{
    PlaybackEngine engine;
    engine.setSocket(socket);
    quitOnSignals();
    QObject::connect(&engine, &PlaybackEngine::progressed, QCoreApplication::instance(), [&engine] {
        const PlaybackEngine::State s = engine.progress().state;
        if (s != PlaybackEngine::State::Playing && s != PlaybackEngine::State::Paused)
            QCoreApplication::quit();
    });
    PlayStatus status(engine, request.playback, index.first());
    StatusLine line([&status] { return status.text(); });
    if (!engine.start(index, request.playback)) {
        ap_udp_exit(socket);
        error(request.file + ": changed since it was read; please run again");
        return kFailure;
    }
    if (engine.progress().state == PlaybackEngine::State::Playing) {
        PlayKeys keys(&engine, index);
        QCoreApplication::exec();
    }
    played->end = engine.progress();
    engine.stop();
    ap_udp_exit(socket);
    line.end();
    played->check = engine.selfCheck();
    played->seconds = status.seconds();
    return {};
}

void printSummary(const Request &request, const Played &played)
{
    const PlaybackSelfCheck &check = played.check;
    const double seconds = played.seconds;
    const QString timing = check.timingText();
    say("orf: sent %s in %.2f s (%.2f frames/s) to %s; lateness p99 %.3f ms, max %.3f ms, "
        "%s more than 1 ms late%s\n",
        qPrintable(counted(check.frames(), "frame")), seconds, seconds > 0 ? check.frames() / seconds : 0.0,
        request.destinations.join(", ").toLocal8Bit().constData(), check.p99Ms(), check.maxMs(),
        qPrintable(counted(check.lateOver1ms(), "frame")), timing.isEmpty() ? "" : qPrintable("; " + timing));
}

// The exit status for how the playback ended, and why it stopped early.
int outcome(const Request &request, const FrameIndex &index, const PlaybackEngine::Progress &end)
{
    switch (end.state) {
    case PlaybackEngine::State::SendFailed:
        // The frames before it went out; a frame too large is the recording's fault, not the network's.
        if (QByteArray wire; index.wire(index.entryOf(end.frame), &wire) == FrameIndex::Read::Ok &&
                             wire.size() > ap_udp_max_payload) {
            error(QStringLiteral("%1: frame %2 is %3 bytes, too large for a datagram; playback stopped there")
                      .arg(request.file)
                      .arg(end.frame)
                      .arg(wire.size()));
            return kNothing;
        }
        error(QStringLiteral("sending frame %1 to %2 failed: %3")
                  .arg(end.frame)
                  .arg(request.destinations.value(end.failedDestination),
                       QString::fromLocal8Bit(std::strerror(end.failedErrno))));
        return kFailure;
    case PlaybackEngine::State::FileChanged:
        error(request.file + ": has changed since it was opened; please run again");
        return kFailure;
    default:
        return kOk;
    }
}

int play(const Request &request)
{
    OpenedRecording recording;
    if (const Ending ending = openPlayable(request.file, &request.capture, &recording, request.playback.from))
        return *ending;
    void *socket = nullptr;
    if (const Ending ending = openSocket(request.multicast, &socket))
        return *ending;
    Played played;
    if (const Ending ending = sendFrames(request, recording.index, socket, &played))
        return *ending;
    printSummary(request, played);
    return outcome(request, recording.index, played.end);
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
    "its packet's capture time.\n"
    "Keys, when standard input is a terminal: space pauses and resumes; the right and left arrows seek one "
    "second (100 frames in a recording without timestamps) forward and back; + and - double and halve the "
    "speed; q ends as Ctrl-C does.",
    options,
    {"FILE", "The recording (.orf), or a capture (pcap, pcapng)."},
    runOnRequest<Request, readRequest, play>,
};

} // namespace orf

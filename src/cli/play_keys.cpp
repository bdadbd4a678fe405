#include "cli/play_keys.h"

#include "play/playback_engine.h"
#include "recording/frame_index.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <pthread.h>
#include <termios.h>
#include <unistd.h>

namespace orf {

namespace {

constexpr qint64 kUntimedStep = 100; // frames a seek moves without timestamps
constexpr double kLowestSpeed = 1.0 / 64;
constexpr double kHighestSpeed = 1e6; // as --speed allows

// A stop (Ctrl-Z) gives the shell the terminal as it was; a continue in the foreground (fg) takes the keys
// again. Both in signal handlers, with calls that are safe there, from what the keys' terminal set here.
termios terminalAsItWas{}, terminalForKeys{};
volatile std::sig_atomic_t keysHeard = 0;

bool inForeground()
{
    return tcgetpgrp(STDIN_FILENO) == getpgrp();
}

void continued(int)
{
    const int saved = errno;
    if (keysHeard && inForeground())
        tcsetattr(STDIN_FILENO, TCSANOW, &terminalForKeys);
    errno = saved;
}

void stopped(int)
{
    const int saved = errno;
    if (keysHeard)
        tcsetattr(STDIN_FILENO, TCSANOW, &terminalAsItWas);
    // Stopped as the signal would have stopped it; the handler is back once it goes on. A process group no
    // shell waits for is not stopped at all (the system leaves it running): the keys are taken again at once.
    std::signal(SIGTSTP, SIG_DFL);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTSTP);
    std::raise(SIGTSTP);
    pthread_sigmask(SIG_UNBLOCK, &stop, nullptr);
    std::signal(SIGTSTP, stopped);
    continued(SIGCONT);
    errno = saved;
}

} // namespace

std::vector<Key> decodeKeys(QByteArrayView bytes, QByteArray *pending)
{
    const QByteArray all = *pending + bytes.toByteArray();
    pending->clear();
    std::vector<Key> keys;
    for (qsizetype i = 0; i < all.size(); ++i) {
        switch (all[i]) {
        case ' ':
            keys.push_back(Key::Pause);
            continue;
        case '+':
        case '=': // + without shift on most layouts
            keys.push_back(Key::Faster);
            continue;
        case '-':
            keys.push_back(Key::Slower);
            continue;
        case 'q':
        case 'Q':
            keys.push_back(Key::Quit);
            continue;
        case '\033':
            break;
        default:
            continue;
        }
        // The arrows: ESC [ C and ESC [ D, or ESC O C and ESC O D in the terminal's application mode. An
        // escape that begins neither is a key of its own (Esc), passed over at once.
        if (i + 1 < all.size() && all[i + 1] != '[' && all[i + 1] != 'O')
            continue;
        if (all.size() - i < 3) {
            *pending = all.mid(i);
            break;
        }
        if (all[i + 2] == 'C')
            keys.push_back(Key::Forward);
        else if (all[i + 2] == 'D')
            keys.push_back(Key::Back);
        i += 2;
    }
    return keys;
}

qint64 secondAway(const FrameIndex &index, qint64 frame, int direction, qsizetype first, qsizetype last)
{
    qsizetype k = qBound(first, index.entryOf(frame) < 0 ? first : index.entryOf(frame), last);
    double seconds = 0;
    bool timed = false;
    for (qint64 steps = 0; seconds < 1.0 && (timed || steps < kUntimedStep); ++steps) {
        if (direction > 0 ? k >= last : k <= first)
            break;
        // A step spans the interval recorded for the later of its two frames.
        const double interval = index.interval(direction > 0 ? k + 1 : k);
        k += direction;
        if (!std::isnan(interval)) {
            seconds += std::max(interval, 0.0);
            timed = true;
        }
    }
    return index.first() + k;
}

// Puts the terminal back as it was (terminalAsItWas) on destruction.
struct PlayKeys::Terminal
{
    ~Terminal()
    {
        keysHeard = 0;
        std::signal(SIGTSTP, SIG_DFL);
        std::signal(SIGCONT, SIG_DFL);
        // Moved to the background meanwhile (Ctrl-Z, bg), the change would stop the process on SIGTTOU
        // unless that is blocked; blocked, it is made.
        sigset_t ttou, old;
        sigemptyset(&ttou);
        sigaddset(&ttou, SIGTTOU);
        pthread_sigmask(SIG_BLOCK, &ttou, &old);
        tcsetattr(STDIN_FILENO, TCSANOW, &terminalAsItWas);
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
    }
};

PlayKeys::PlayKeys(PlaybackEngine *engine, const FrameIndex &index) : m_engine(engine), m_index(index)
{
    // A playback in the background would be stopped by the terminal on changing its settings.
    if (isatty(STDIN_FILENO) != 1 || tcgetpgrp(STDIN_FILENO) != getpgrp())
        return;
    termios before{};
    if (tcgetattr(STDIN_FILENO, &before) != 0)
        return;
    termios keys = before;
    // Each key as it is pressed, not shown; Ctrl-C still interrupts.
    keys.c_lflag &= ~tcflag_t(ICANON | ECHO);
    keys.c_cc[VMIN] = 1;
    keys.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &keys) != 0)
        return;
    m_terminal = std::make_unique<Terminal>();
    terminalAsItWas = before;
    terminalForKeys = keys;
    keysHeard = 1;
    std::signal(SIGTSTP, stopped);
    std::signal(SIGCONT, continued);
    auto *notifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &PlayKeys::heard);
}

PlayKeys::~PlayKeys() = default;

void PlayKeys::heard()
{
    char bytes[64];
    const ssize_t n = ::read(STDIN_FILENO, bytes, sizeof bytes);
    if (n <= 0) {
        // The terminal is gone: no more keys, and no busy loop on its end.
        for (QSocketNotifier *notifier : findChildren<QSocketNotifier *>())
            notifier->setEnabled(false);
        return;
    }
    for (const Key key : decodeKeys(QByteArrayView(bytes, n), &m_pending))
        act(key);
}

void PlayKeys::act(Key key)
{
    const PlaybackEngine::Progress now = m_engine->progress();
    const PlaybackEngine::Plan plan = m_engine->playing();
    switch (key) {
    case Key::Pause:
        if (now.state == PlaybackEngine::State::Paused)
            m_engine->resume();
        else
            m_engine->pause();
        return;
    case Key::Forward:
    case Key::Back: {
        // The next frame sent is the one a second away from the one sent last.
        const qint64 from = now.frame >= 0 ? now.frame : m_index.first() + plan.first;
        m_engine->seek(secondAway(m_index, from, key == Key::Forward ? 1 : -1, plan.first, plan.last) - 1);
        return;
    }
    case Key::Faster:
    case Key::Slower: {
        const double factor = key == Key::Faster ? 2.0 : 0.5;
        m_engine->setSpeed(qBound(kLowestSpeed, m_engine->speed() * factor, kHighestSpeed));
        return;
    }
    case Key::Quit:
        QCoreApplication::quit();
        return;
    }
}

} // namespace orf

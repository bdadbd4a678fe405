// The keys of orf play on a terminal: space pauses and resumes, the arrows seek a second, + and - double and
// halve the speed, q ends as Ctrl-C does. The terminal takes single keys without echo while they are heard,
// and is put back as it was when they no longer are.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QObject>

#include <memory>
#include <vector>

class FrameIndex;
class PlaybackEngine;

namespace orf {

enum class Key
{
    Pause, // space: pause or resume
    Forward,
    Back,
    Faster,
    Slower,
    Quit,
};

// The keys in bytes read from a terminal; an escape sequence cut at the end of bytes is kept in *pending
// for the next read. Other keys and sequences are passed over.
std::vector<Key> decodeKeys(QByteArrayView bytes, QByteArray *pending);

// The frame number a second of the recording's time after (direction 1) or before (-1) frame, by the frames'
// recorded intervals; 100 frames where they have none. Within entries first..last.
qint64 secondAway(const FrameIndex &index, qint64 frame, int direction, qsizetype first, qsizetype last);

// Hears the keys on standard input while it is the terminal this process runs in the foreground of; does
// nothing otherwise.
class PlayKeys : public QObject
{
public:
    PlayKeys(PlaybackEngine *engine, const FrameIndex &index);
    ~PlayKeys() override;

private:
    struct Terminal;
    void heard();
    void act(Key key);

    PlaybackEngine *m_engine;
    const FrameIndex &m_index;
    std::unique_ptr<Terminal> m_terminal;
    QByteArray m_pending;
};

} // namespace orf

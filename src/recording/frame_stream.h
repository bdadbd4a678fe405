// A recording read frame by frame from its start, for passes that need each frame's number and bytes once
// and must not hold the whole index: where each frame begins and ends in the file, found by the same line
// rules as the scanner's. Holds one buffer of the file while it is read; park() gives it up until the next
// frame is asked for, so many streams open at once cost little.
#pragma once

#include <QByteArrayView>
#include <QString>
#include <QtGlobal>
#include <vector>

class FrameStream
{
public:
    enum class Status
    {
        Ok,
        OpenFailed,
        ReadFailed,
        FirstNumberInvalid, // the first frame-counter line has no number
    };

    FrameStream() = default;
    ~FrameStream();
    FrameStream(const FrameStream &) = delete;
    FrameStream &operator=(const FrameStream &) = delete;

    // Opens file (a regular file, without blocking on anything else); false with status() saying why.
    bool open(const QString &file);
    // Moves to the next frame: true with its number and bytes; false at the end of the file or when reading
    // failed (status() tells). A frame-counter line whose number does not parse counts as 0, as the scanner
    // counts it, but as the first one it ends the stream with FirstNumberInvalid.
    bool next();
    qint64 number() const { return m_number; }
    qint64 begin() const { return m_begin; }
    qint64 end() const { return m_end; }
    // The frame's bytes when they are held (all frames but those of more than half a megabyte).
    bool held() const { return m_begin >= m_bufferBegin && m_end <= m_bufferBegin + qint64(m_length); }
    QByteArrayView bytes() const { return {m_buffer.data() + (m_begin - m_bufferBegin), m_end - m_begin}; }
    Status status() const { return m_status; }
    int descriptor() const { return m_fd; }
    // Gives up the buffer; the stream goes on where it was when asked for the next frame.
    void park();

    // True when the frames a and b are at hold the same bytes.
    static bool sameBytes(const FrameStream &a, const FrameStream &b);

private:
    // Holds the file from keep on, and as much after it as fits; false at the end of the file or on failure.
    bool fill(qint64 keep);
    // The first frame start (a line that begins with "fr ") whose line end lies at or after at, keeping the
    // bytes from keep on while they fit; -1 when there is none.
    qint64 findStart(qint64 at, qint64 keep);
    bool readNumber();

    int m_fd = -1;
    Status m_status = Status::Ok;
    std::vector<char> m_buffer;
    qint64 m_bufferBegin = 0; // the file offset of m_buffer[0]
    size_t m_length = 0;      // bytes of m_buffer that hold the file
    qint64 m_next = 0;        // where the next frame begins; -1: no more frames
    bool m_started = false;
    qint64 m_frames = 0; // frames found so far
    qint64 m_number = 0;
    qint64 m_begin = 0;
    qint64 m_end = 0;
};

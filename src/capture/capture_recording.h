// A capture made into the recording its datagrams stand for (CaptureReader), for code that reads
// recordings: a temporary file in the temporary directory, removed with this object, so a capture is
// scanned, shown and played as any recording is; frames without a timestamp line take their datagram's
// capture time.
#pragma once

#include "capture/capture_reader.h"
#include "recording/frame_scanner.h"

#include <QString>
#include <memory>

class QTemporaryFile;

class CaptureRecording
{
public:
    CaptureRecording();
    ~CaptureRecording();
    CaptureRecording(CaptureRecording &&other) noexcept;
    CaptureRecording &operator=(CaptureRecording &&other) noexcept;

    // Reads capture into a new temporary recording, which replaces (and removes) the one held before. When
    // the read fails, nothing is held and the result says why.
    const CaptureReader::Result &read(const QString &capture, const CaptureReader::Options &options,
                                      const CaptureReader::Progress &progress = CaptureReader::Progress());

    // Scans the temporary recording into index, with the capture times of its datagrams, which are then
    // given up.
    FrameScanner::Result scan(FrameIndex &index, const FrameScanner::Progress &progress = {});

    bool isEmpty() const { return !m_file; }
    // The temporary recording; empty when none is held.
    QString fileName() const;
    // The capture it was read from, and what reading it gave.
    const QString &capture() const { return m_capture; }
    const CaptureReader::Result &result() const { return m_result; }

private:
    std::unique_ptr<QTemporaryFile> m_file;
    QString m_capture;
    CaptureReader::Result m_result;
    FrameScanner::DatagramTimes m_times;
};

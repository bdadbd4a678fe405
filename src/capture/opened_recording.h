// A file opened as a recording, the same for the window and orf: a recording, or (when captures are
// allowed and its first bytes say it is one) a capture made into the recording its datagrams to one port
// stand for, held as a temporary recording here. Scanned into its frame index, with what it holds.
#pragma once

#include "capture/capture_reader.h"
#include "capture/capture_recording.h"
#include "recording/frame_index.h"
#include "recording/frame_scanner.h"
#include "recording/recording_info.h"

#include <QString>

class OpenedRecording
{
public:
    enum class Status
    {
        Ok,
        CaptureUnreadable,  // the capture could not be read: capture.result() says why
        OpenFailed,         // the (temporary) recording cannot be opened
        ReadFailed,         // it failed in the middle of the data
        FirstNumberInvalid, // as the scanner says; info says it cannot be played
        BadNumbering,
        Changed,   // the file changed while it was read
        Cancelled, // the progress function asked to stop
    };

    // Opens file; with captureOptions (null: recordings only) a capture too. progress hears of both the
    // capture's read and the scan, and can cancel either.
    static OpenedRecording open(const QString &file, const CaptureReader::Options *captureOptions,
                                const FrameScanner::Progress &progress = FrameScanner::Progress());

    Status status = Status::Ok;
    FrameIndex index;
    // Set unless the capture, or the recording, could not be read to its end. Its file names the file
    // given, a capture too.
    RecordingInfo info;
    // The capture's temporary recording, which index reads; empty for a recording. Its result() is kept
    // also when the capture could not be read.
    CaptureRecording capture;

    bool ok() const { return status == Status::Ok; }

private:
    // Scans the recording into index; true when info could be made of it.
    bool scan(const QString &scanned, const FrameScanner::Progress &progress);
};

#include "capture/opened_recording.h"

OpenedRecording OpenedRecording::open(const QString &file, const CaptureReader::Options *captureOptions,
                                      const FrameScanner::Progress &progress)
{
    OpenedRecording opened;
    if (!captureOptions || !CaptureReader::isCapture(file)) {
        opened.scan(file, progress);
        return opened;
    }
    const CaptureReader::Result &read = opened.capture.read(file, *captureOptions, progress);
    if (!read.ok()) {
        opened.status =
            read.status == CaptureReader::Status::Cancelled ? Status::Cancelled : Status::CaptureUnreadable;
        return opened;
    }
    // Named as the user gave it, with what the capture contributed.
    if (opened.scan(opened.capture.fileName(), progress)) {
        opened.info.file = file;
        opened.info.capture = read.details();
    }
    return opened;
}

bool OpenedRecording::scan(const QString &scanned, const FrameScanner::Progress &progress)
{
    const FrameScanner::Result result =
        capture.isEmpty() ? FrameScanner::scan(scanned, index, FrameScanner::kDefaultChunkSize, progress)
                          : capture.scan(index, progress);
    switch (result.status) {
    case FrameScanner::Status::OpenFailed:
        status = Status::OpenFailed;
        return false;
    case FrameScanner::Status::ReadFailed:
        status = Status::ReadFailed;
        return false;
    case FrameScanner::Status::Cancelled:
        status = Status::Cancelled;
        return false;
    case FrameScanner::Status::FirstNumberInvalid:
        status = Status::FirstNumberInvalid;
        break;
    case FrameScanner::Status::BadNumbering:
        status = Status::BadNumbering;
        break;
    case FrameScanner::Status::Ok:
        break;
    }
    bool changed = false;
    info = RecordingInfo::of(scanned, index, result, &changed);
    if (changed)
        status = Status::Changed;
    return true;
}

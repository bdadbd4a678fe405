// The recording scanner against a plain line-by-line model of the same rules: once with the default chunk
// size and once with a small one set by the first input byte, so that lines and CR LF pairs are split at
// every possible place, and with the device in raw or text mode.
#include "frame_lines.h"
#include "frame_scanner.h"
#include "fuzz_check.h"
#include "reference_scan.h"

#include <QBuffer>
#include <cstdint>
#include <vector>

namespace {

using Status = FrameScanner::Status;

// Indexes up to FrameScanner::kMaxEntries are legal but cost far more memory than a fuzzing process may
// use (each entry is a QString); inputs that would build more entries than this are left out.
constexpr qint64 kEntryLimit = qint64(1) << 16;

// The model of the same rules over the whole input.
ReferenceScan modelScan(const QByteArray &bytes)
{
    QBuffer device;
    device.setData(bytes);
    device.open(QIODevice::ReadOnly);
    return referenceScan(device, kEntryLimit);
}

void checkAgainstModel(const ReferenceScan &model, const FrameScanner::Result &r,
                       const std::vector<QString> &frames)
{
    FUZZ_CHECK(r.status == model.result.status);
    FUZZ_CHECK(r.first_frame == model.result.first_frame);
    FUZZ_CHECK(r.last_frame == model.result.last_frame);
    FUZZ_CHECK(r.lost_count == model.result.lost_count);
    FUZZ_CHECK(r.lost_numbers == model.result.lost_numbers);
    FUZZ_CHECK(frames == model.frames);
}

// What the window relies on when it builds the slider and previews frames from the index. It takes the
// numbers as signed: the first frame-counter line's number is not tested and may be negative.
void checkIndex(const FrameScanner::Result &r, const std::vector<QString> &frames)
{
    if (!r.ok())
        return;
    const qint64 first = qint32(r.first_frame);
    const qint64 last = qint32(r.last_frame);
    FUZZ_CHECK(first <= last);
    FUZZ_CHECK(qint64(frames.size()) == last - first + 1);
    FUZZ_CHECK(qint64(r.lost_numbers.size()) == qMin<qint64>(r.lost_count, FrameScanner::kNotedLostFrames));
    for (int n : r.lost_numbers) {
        FUZZ_CHECK(n > first && n < last);
        FUZZ_CHECK(frames[size_t(n - first)].isEmpty());
    }
    const QString text = r.lostFramesText();
    FUZZ_CHECK(text.isEmpty() == (r.lost_count == 0));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const ReferenceScan model = modelScan(bytes);
    if (model.tooLarge)
        return 0;

    QBuffer whole;
    whole.setData(bytes);
    whole.open(QIODevice::ReadOnly);
    std::vector<QString> frames{QStringLiteral("stale")};
    FrameScanner::Result r = FrameScanner::scan(whole, frames);
    checkAgainstModel(model, r, frames);
    checkIndex(r, frames);
    FUZZ_CHECK(whole.atEnd() || !r.ok());

    const quint8 control = size > 0 ? data[0] : 0;
    const qsizetype chunk = 1 + control % 64;
    const bool text = (control / 64) & 1;
    QBuffer chunked;
    chunked.setData(bytes);
    chunked.open(text ? QIODevice::ReadOnly | QIODevice::Text : QIODevice::ReadOnly);
    r = FrameScanner::scan(chunked, frames, chunk);
    checkAgainstModel(model, r, frames);
    FUZZ_CHECK(chunked.isTextModeEnabled() == text);
    return 0;
}

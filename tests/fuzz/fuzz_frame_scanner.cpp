// The recording scanner against a plain line-by-line model of the same rules: once with the default chunk
// size and once with a small one set by the first input byte, so that lines and CR LF pairs are split at
// every possible place, and with the device in raw or text mode.
#include "frame_lines.h"
#include "frame_scanner.h"
#include "fuzz_check.h"

#include <QBuffer>
#include <cstdint>
#include <vector>

namespace {

using Status = FrameScanner::Status;

// Indexes up to FrameScanner::kMaxEntries are legal but cost far more memory than a fuzzing process may
// use (each entry is a QString); inputs that would build more entries than this are left out.
constexpr qint64 kEntryLimit = qint64(1) << 16;

struct Model
{
    FrameScanner::Result result;
    std::vector<QString> frames;
    bool tooLarge = false;
};

// The scanner's rules written out over frame_lines::readLine(), one line at a time.
Model modelScan(const QByteArray &bytes)
{
    Model m;
    FrameScanner::Result &r = m.result;
    QBuffer device;
    device.setData(bytes);
    device.open(QIODevice::ReadOnly);

    QString line;
    QString current;
    qint64 previous = 0;
    frame_lines::readLine(device, &line);
    if (frame_lines::isFrameCounterLine(line)) {
        int n = 0;
        if (!frame_lines::parseInt(frame_lines::secondField(line), &n)) {
            r.status = Status::FirstNumberInvalid;
            return m;
        }
        previous = n;
        r.first_frame = r.last_frame = quint32(n);
        current = line;
    }
    while (frame_lines::readLine(device, &line)) {
        if (!frame_lines::isFrameCounterLine(line)) {
            current += line;
            continue;
        }
        m.frames.push_back(current);
        current = line;
        int n = 0;
        frame_lines::parseInt(frame_lines::secondField(line), &n);
        r.last_frame = quint32(n);
        const qint64 gap = qint64(n) - previous - 1;
        if (gap < 0 || n < 0 || qint64(m.frames.size()) + gap + 1 > FrameScanner::kMaxEntries) {
            r.status = Status::BadNumbering;
            r.first_frame = r.last_frame = 0;
            return m;
        }
        if (qint64(m.frames.size()) + gap + 1 > kEntryLimit) {
            m.tooLarge = true;
            return m;
        }
        for (qint64 k = previous + 1; k < n; ++k) {
            if (r.lost_numbers.size() < size_t(FrameScanner::kNotedLostFrames))
                r.lost_numbers.push_back(int(k));
            ++r.lost_count;
            m.frames.emplace_back();
        }
        previous = n;
    }
    m.frames.push_back(current);
    return m;
}

void checkAgainstModel(const Model &model, const FrameScanner::Result &r, const std::vector<QString> &frames)
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
    const Model model = modelScan(bytes);
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

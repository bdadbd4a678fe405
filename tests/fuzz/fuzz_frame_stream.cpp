// A recording read frame by frame (FrameStream, what merge reads) gives the frames the scanner indexes:
// the same numbers, each with the same bytes, whenever the scanner finds the recording playable.
#include "fuzz_check.h"
#include "recording/frame_scanner.h"
#include "recording/frame_stream.h"

#include <QDir>
#include <QFile>
#include <cstdint>
#include <unistd.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString path = QDir::tempPath() + QStringLiteral("/fuzz_frame_stream-%1.orf").arg(getpid());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(reinterpret_cast<const char *>(data), qint64(size)) != qint64(size))
        return 0;
    file.close();
    FrameIndex index;
    const FrameScanner::Status scanned = FrameScanner::scan(path, index).status;
    std::vector<std::pair<qint64, qint64>> expected; // number, bytes
    index.forEachFrame([&](qsizetype k, qint64 bytes, double) {
        expected.push_back({index.first() + k, bytes});
    });
    FrameStream stream;
    FUZZ_CHECK(stream.open(path));
    std::vector<std::pair<qint64, qint64>> streamed;
    while (stream.next()) {
        FUZZ_CHECK(!stream.held() || stream.bytes().size() == stream.end() - stream.begin());
        streamed.push_back({stream.number(), stream.end() - stream.begin()});
    }
    if (scanned == FrameScanner::Status::Ok) {
        FUZZ_CHECK(stream.status() == FrameStream::Status::Ok);
        FUZZ_CHECK(streamed == expected);
    }
    if (scanned == FrameScanner::Status::FirstNumberInvalid)
        FUZZ_CHECK(stream.status() == FrameStream::Status::FirstNumberInvalid);
    QFile::remove(path);
    return 0;
}

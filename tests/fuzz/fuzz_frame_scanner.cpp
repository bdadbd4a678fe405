// The scanner's index against the line-by-line model, lines split at every place (chunk size: first byte).
#include "fuzz_check.h"
#include "reference_scan.h"

#include <QDir>
#include <cstdint>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const QString path = QDir::tempPath() + QStringLiteral("/fuzz_frame_scanner-%1.orf").arg(getpid());
    // Indexes beyond this are legal but cost more memory than a fuzzing process may use.
    FUZZ_CHECK(checkScan(bytes, path, 1 + (size > 0 ? data[0] % 64 : 0), qint64(1) << 16).isEmpty());
    return 0;
}

// What holds of any scan (scan_properties.h), lines split at every place (chunk size: first byte).
#include "fuzz_check.h"
#include "scan_properties.h"

#include <QDir>
#include <cstdint>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const QString path = QDir::tempPath() + QStringLiteral("/fuzz_frame_scanner-%1.orf").arg(getpid());
    FUZZ_CHECK(scan_properties::check(bytes, path, 1 + (size > 0 ? data[0] % 64 : 0)).isEmpty());
    return 0;
}

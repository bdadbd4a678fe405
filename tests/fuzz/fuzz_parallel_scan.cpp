// A scan in parts against one pass over the same bytes: the first byte says in how many parts (2 to 9) and
// the second at what chunk size (1 to 64), the rest is the recording.
#include "fuzz_check.h"
#include "scan_properties.h"

#include <QDir>
#include <cstdint>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const QByteArray bytes(reinterpret_cast<const char *>(data) + 2, qsizetype(size - 2));
    const QString path = QDir::tempPath() + QStringLiteral("/fuzz_parallel_scan-%1.orf").arg(getpid());
    QFile file(path);
    FUZZ_CHECK(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    file.close();
    const int parts = 2 + data[0] % 8;
    FUZZ_CHECK(scan_properties::partsDiffer(path, parts, parts, 1 + data[1] % 64).isEmpty());
    return 0;
}

// What holds of any scan (scan_properties.h), then once the file has been cut short (where the first input
// byte says): every read then says the file changed and gives nothing of it.
#include "fuzz_check.h"
#include "scan_properties.h"

#include <QDir>
#include <cstdint>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const QString path = QDir::tempPath() + QStringLiteral("/fuzz_frame_reader-%1.orf").arg(getpid());
    FrameIndex index;
    FUZZ_CHECK(scan_properties::check(bytes, path, FrameScanner::kDefaultChunkSize, &index).isEmpty());
    if (index.isEmpty() || size == 0)
        return 0;
    FUZZ_CHECK(QFile::resize(path, data[0] % size) && !index.unchanged());
    QString text;
    QByteArray wire;
    for (qsizetype k = 0; k >= 0 && k < index.size(); k = index.frameAtOrAfter(k + 1))
        FUZZ_CHECK(index.text(k, &text) == FrameIndex::Read::Changed && text.isEmpty() &&
                   index.wire(k, &wire) == FrameIndex::Read::Changed && wire.isEmpty());
    return 0;
}

// The keys orf play reads from a terminal: any bytes, whole or in two reads cut anywhere. What is kept for
// the next read is the start of an escape sequence, and a cut changes nothing.
#include "cli/play_keys.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    QByteArray pending;
    const std::vector<orf::Key> whole = orf::decodeKeys(bytes, &pending);
    FUZZ_CHECK(qsizetype(whole.size()) <= bytes.size());
    FUZZ_CHECK(pending.size() < 3 && (pending.isEmpty() || pending.startsWith('\033')));
    const qsizetype cut = size > 0 ? qsizetype(data[0]) % (bytes.size() + 1) : 0;
    QByteArray carried;
    std::vector<orf::Key> split = orf::decodeKeys(bytes.first(cut), &carried);
    const std::vector<orf::Key> rest = orf::decodeKeys(bytes.sliced(cut), &carried);
    split.insert(split.end(), rest.begin(), rest.end());
    FUZZ_CHECK(split == whole && carried == pending);
    return 0;
}

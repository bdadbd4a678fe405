#include "capture/ip_reassembly.h"

#include <algorithm>
#include <cstring>

namespace {
// Held for one incomplete datagram at most: its payload and, with every other 8-byte piece missing, the
// list of the pieces it has (at most 4,096, in a vector of twice that at most). The byte limit never goes
// below this, so a datagram never evicts itself.
constexpr qint64 kLargestDatagram = 65535 + 8192 * qint64(sizeof(std::pair<int, int>));
} // namespace

bool IpReassembly::Key::operator==(const Key &o) const
{
    return version == o.version && protocol == o.protocol && id == o.id && source == o.source &&
           destination == o.destination;
}

IpReassembly::IpReassembly(int maxDatagrams, qint64 maxBytes)
    : m_maxDatagrams(qMax(1, maxDatagrams)), m_maxBytes(qMax(kLargestDatagram * 2, maxBytes))
{
}

namespace {
template <typename P> qint64 held(const P &p)
{
    return qint64(p.data.capacity()) + qint64(p.ranges.capacity() * sizeof(p.ranges[0]));
}
} // namespace

void IpReassembly::drop(size_t i)
{
    m_bytes -= held(m_pending[i]);
    m_pending.erase(m_pending.begin() + qsizetype(i));
}

IpReassembly::Outcome IpReassembly::add(const Key &key, const Fragment &fragment, QByteArrayView *payload,
                                        quint8 *protocol)
{
    ++m_counts.fragments;
    const int a = fragment.offset;
    const qint64 size = fragment.data.size();
    const qint64 b = a + size;
    const bool bad =
        size <= 0 || a < 0 || b > qMin(fragment.limit, 65535) || (fragment.more && size % 8 != 0);

    size_t i = 0;
    while (i < m_pending.size() && !(m_pending[i].key == key))
        ++i;
    if (i == m_pending.size()) {
        if (bad) {
            ++m_counts.malformed;
            return Outcome::Dropped;
        }
        if (int(m_pending.size()) >= m_maxDatagrams) {
            drop(0);
            ++m_counts.evicted;
            --i;
        }
        m_pending.push_back(Pending{key, {}, {}, -1, -1});
    }
    Pending &p = m_pending[i];
    auto &ranges = p.ranges;
    // The first range that ends at or after a: any overlap with [a, b) starts there.
    auto it = std::lower_bound(ranges.begin(), ranges.end(), a,
                               [](const std::pair<int, int> &r, int at) { return r.second < at; });
    bool agrees = !bad;
    if (!fragment.more)
        agrees = agrees && (p.total < 0 || p.total == b) && (ranges.empty() || ranges.back().second <= b);
    else
        agrees = agrees && (p.total < 0 || b <= p.total);
    if (a == 0)
        agrees = agrees && (p.protocol < 0 || p.protocol == fragment.protocol);
    for (auto r = it; agrees && r != ranges.end() && r->first < b; ++r) {
        const qint64 lo = qMax<qint64>(a, r->first);
        const qint64 hi = qMin<qint64>(b, r->second);
        agrees = hi <= lo ||
                 std::memcmp(p.data.data() + lo, fragment.data.data() + (lo - a), size_t(hi - lo)) == 0;
    }
    if (!agrees) {
        drop(i);
        ++m_counts.malformed;
        return Outcome::Dropped;
    }

    const qint64 before = held(p);
    if (qint64(p.data.size()) < b) {
        // Grows by doubling, as a vector does, but never beyond what a datagram can hold.
        p.data.reserve(size_t(qMin<qint64>(65535, qMax<qint64>(b, qint64(p.data.capacity()) * 2))));
        p.data.resize(size_t(b));
    }
    std::memcpy(p.data.data() + a, fragment.data.data(), size_t(size));
    // Ranges that touch [a, b) merge with it.
    auto first = std::lower_bound(ranges.begin(), ranges.end(), a,
                                  [](const std::pair<int, int> &r, int at) { return r.second < at; });
    auto last = first;
    int lo = a, hi = int(b);
    while (last != ranges.end() && last->first <= hi) {
        lo = qMin(lo, last->first);
        hi = qMax(hi, last->second);
        ++last;
    }
    if (first == last) {
        ranges.insert(first, {lo, hi});
    } else {
        *first = {lo, hi};
        ranges.erase(first + 1, last);
    }
    if (!fragment.more)
        p.total = int(b);
    if (a == 0)
        p.protocol = fragment.protocol;
    m_bytes += held(p) - before;

    if (p.total >= 0 && p.protocol >= 0 && ranges.size() == 1 && ranges[0].first == 0 &&
        ranges[0].second == p.total) {
        m_bytes -= held(p);
        m_done.swap(p.data);
        m_done.resize(size_t(p.total));
        *payload = QByteArrayView(m_done.data(), p.total);
        *protocol = quint8(p.protocol);
        m_pending.erase(m_pending.begin() + qsizetype(i));
        ++m_counts.reassembled;
        return Outcome::Complete;
    }
    // Over the byte limit: the oldest others go first.
    while (m_bytes > m_maxBytes && m_pending.size() > 1) {
        drop(i == 0 ? 1 : 0);
        ++m_counts.evicted;
        if (i > 0)
            --i;
    }
    return Outcome::Pending;
}

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

bool IpReassembly::wellFormed(const Fragment &fragment)
{
    const qint64 size = fragment.data.size();
    const qint64 end = fragment.offset + size;
    return size > 0 && fragment.offset >= 0 && end <= qMin(fragment.limit, 65535) &&
           (!fragment.more || size % 8 == 0);
}

size_t IpReassembly::find(const Key &key) const
{
    size_t i = 0;
    while (i < m_pending.size() && !(m_pending[i].key == key))
        ++i;
    return i;
}

void IpReassembly::expire(qint64 nowNs)
{
    // Oldest first; a capture whose clock steps back expires nothing until it passes them again.
    while (!m_pending.empty() && nowNs - m_pending.front().startedNs > kLifetimeNs) {
        drop(0);
        ++m_counts.evicted;
    }
}

size_t IpReassembly::begin(const Key &key, qint64 timeNs)
{
    if (int(m_pending.size()) >= m_maxDatagrams) {
        drop(0);
        ++m_counts.evicted;
    }
    m_pending.push_back(Pending{key, {}, {}, -1, -1, timeNs});
    return m_pending.size() - 1;
}

IpReassembly::Ranges::iterator IpReassembly::firstReaching(Ranges &ranges, int offset)
{
    return std::lower_bound(ranges.begin(), ranges.end(), offset,
                            [](const std::pair<int, int> &r, int at) { return r.second < at; });
}

bool IpReassembly::agrees(const Pending &p, const Fragment &fragment, Ranges::const_iterator from)
{
    const int a = fragment.offset;
    const qint64 b = a + fragment.data.size();
    const Ranges &ranges = p.ranges;
    bool agrees = fragment.more
                      ? p.total < 0 || b <= p.total
                      : (p.total < 0 || p.total == b) && (ranges.empty() || ranges.back().second <= b);
    if (a == 0)
        agrees = agrees && (p.protocol < 0 || p.protocol == fragment.protocol);
    for (auto r = from; agrees && r != ranges.end() && r->first < b; ++r) {
        const qint64 lo = qMax<qint64>(a, r->first);
        const qint64 hi = qMin<qint64>(b, r->second);
        agrees = hi <= lo ||
                 std::memcmp(p.data.data() + lo, fragment.data.data() + (lo - a), size_t(hi - lo)) == 0;
    }
    return agrees;
}

void IpReassembly::store(Pending &p, const Fragment &fragment, Ranges::iterator first)
{
    const int a = fragment.offset;
    const int b = a + int(fragment.data.size());
    const qint64 before = held(p);
    if (int(p.data.size()) < b) {
        // Grows by doubling, as a vector does, but never beyond what a datagram can hold.
        p.data.reserve(size_t(qMin<qint64>(65535, qMax<qint64>(b, qint64(p.data.capacity()) * 2))));
        p.data.resize(size_t(b));
    }
    std::memcpy(p.data.data() + a, fragment.data.data(), size_t(fragment.data.size()));
    // Ranges that touch [a, b) merge with it.
    auto last = first;
    int lo = a, hi = b;
    while (last != p.ranges.end() && last->first <= hi) {
        lo = qMin(lo, last->first);
        hi = qMax(hi, last->second);
        ++last;
    }
    if (first == last) {
        p.ranges.insert(first, {lo, hi});
    } else {
        *first = {lo, hi};
        p.ranges.erase(first + 1, last);
    }
    if (!fragment.more)
        p.total = b;
    if (a == 0)
        p.protocol = fragment.protocol;
    m_bytes += held(p) - before;
}

bool IpReassembly::whole(const Pending &p)
{
    return p.total >= 0 && p.protocol >= 0 && p.ranges.size() == 1 && p.ranges[0].first == 0 &&
           p.ranges[0].second == p.total;
}

void IpReassembly::complete(size_t i, QByteArrayView *payload, quint8 *protocol)
{
    Pending &p = m_pending[i];
    m_bytes -= held(p);
    m_done.swap(p.data);
    m_done.resize(size_t(p.total));
    *payload = QByteArrayView(m_done.data(), p.total);
    *protocol = quint8(p.protocol);
    m_pending.erase(m_pending.begin() + qsizetype(i));
    ++m_counts.reassembled;
}

void IpReassembly::keepWithinBytes(size_t i)
{
    // The oldest others go first.
    while (m_bytes > m_maxBytes && m_pending.size() > 1) {
        drop(i == 0 ? 1 : 0);
        ++m_counts.evicted;
        if (i > 0)
            --i;
    }
}

IpReassembly::Outcome IpReassembly::add(const Key &key, const Fragment &fragment, qint64 timeNs,
                                        QByteArrayView *payload, quint8 *protocol)
{
    ++m_counts.fragments;
    expire(timeNs);
    const bool fits = wellFormed(fragment);
    size_t i = find(key);
    if (i < m_pending.size() && fits && fragment.offset == 0 && m_pending[i].protocol >= 0 &&
        !agrees(m_pending[i], fragment, m_pending[i].ranges.begin())) {
        // Another first fragment: a new datagram under an ID come round again.
        drop(i);
        ++m_counts.evicted;
        i = m_pending.size();
    }
    if (i == m_pending.size()) {
        if (!fits) {
            ++m_counts.malformed;
            return Outcome::Dropped;
        }
        i = begin(key, timeNs);
    }
    Pending &p = m_pending[i];
    // Any overlap with the fragment, and any range it merges with, starts here.
    const Ranges::iterator from = firstReaching(p.ranges, fragment.offset);
    if (!fits || !agrees(p, fragment, from)) {
        drop(i);
        ++m_counts.malformed;
        return Outcome::Dropped;
    }
    store(p, fragment, from);
    if (whole(p)) {
        complete(i, payload, protocol);
        return Outcome::Complete;
    }
    keepWithinBytes(i);
    return Outcome::Pending;
}

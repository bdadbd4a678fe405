// Puts IPv4 and IPv6 datagrams together again from their fragments, as the receiving host's network stack
// would before a socket sees them. A capture is outside input: fragments may overlap, repeat, contradict
// each other or never complete, so memory is bounded (at most a fixed number of incomplete datagrams and
// bytes; beyond that the oldest are dropped), and a datagram is only ever made of bytes its fragments
// carried: one whose fragments disagree where they overlap, that would exceed 65,535 bytes or that ends
// oddly is dropped whole. Fragments of two datagrams are never knowingly joined: an ID comes round again
// (IPv4's 16 bits wrap within seconds at high rates), so a datagram still incomplete after kLifetimeNs of
// capture time is dropped, as the kernel drops it, and a first fragment that differs from the one held
// starts its datagram over (the held one lost a fragment to the capture). The UDP checksum, checked by
// the caller, catches the rest.
#pragma once

#include <QByteArrayView>
#include <QtGlobal>
#include <array>
#include <vector>

class IpReassembly
{
public:
    // What the fragments of one datagram share.
    struct Key
    {
        quint8 version = 4;  // 4 or 6
        quint8 protocol = 0; // IPv4's protocol field; 0 for IPv6, whose fragments name it themselves
        quint32 id = 0;
        std::array<quint8, 16> source{}, destination{}; // an IPv4 address in the first four bytes

        bool operator==(const Key &o) const;
    };
    struct Fragment
    {
        int offset = 0;      // in bytes from the start of the datagram's payload
        bool more = false;   // more fragments follow (MF, M)
        QByteArrayView data; // the fragment's share of the payload
        int limit = 65535;   // the largest end the payload may reach: 65,535 less the headers before it
        quint8 protocol = 0; // the header that begins the payload (IPv6: the fragment header's next header)
    };
    struct Counts
    {
        qint64 fragments = 0;   // fragments taken in
        qint64 reassembled = 0; // datagrams made whole
        qint64 evicted = 0;     // incomplete datagrams dropped: the oldest beyond the limits, expired ones,
                                // and ones a new first fragment started over
        qint64 malformed = 0;   // datagrams dropped: fragments that disagree, too long, or ending oddly
    };
    enum class Outcome
    {
        Pending,  // kept; the datagram is not whole yet
        Complete, // the datagram is whole
        Dropped,  // the fragment made its datagram malformed: everything held of it is gone
    };

    static constexpr int kMaxDatagrams = 256;
    static constexpr qint64 kMaxBytes = qint64(8) << 20;
    static constexpr qint64 kLifetimeNs = qint64(30) * 1000000000; // as Linux's ipfrag_time

    // The limits are raised to what one whole datagram needs, if below.
    explicit IpReassembly(int maxDatagrams = kMaxDatagrams, qint64 maxBytes = kMaxBytes);

    // Takes one fragment, captured at timeNs. On Complete, *payload is the datagram's whole payload and
    // *protocol the header that begins it; both stay valid until the next call.
    Outcome add(const Key &key, const Fragment &fragment, qint64 timeNs, QByteArrayView *payload,
                quint8 *protocol);

    // Incomplete datagrams held now, and the bytes held for them.
    int pending() const { return int(m_pending.size()); }
    qint64 bytesHeld() const { return m_bytes; }
    qint64 byteLimit() const { return m_maxBytes; } // what bytesHeld() never exceeds
    const Counts &counts() const { return m_counts; }

private:
    using Ranges = std::vector<std::pair<int, int>>;
    struct Pending
    {
        Key key;
        std::vector<char> data; // the payload as far as known; capacity counts as held
        Ranges ranges;          // the byte ranges received, sorted, disjoint, not touching
        int total = -1;         // the payload's length, once its last fragment came
        int protocol = -1;      // from the fragment at offset 0
        qint64 startedNs = 0;   // the capture time of its first fragment taken
    };

    // The steps of add(): dropping datagrams that outlived kLifetimeNs; a fragment that cannot be part of any
    // datagram; the datagram a fragment belongs to (m_pending.size() for none yet) and a new one, the oldest
    // dropped when too many are held; the first range that ends at or after offset; whether a fragment agrees
    // with what is held (its end, its protocol, the bytes where it overlaps); storing it; a datagram made
    // whole and handing it out; dropping the oldest others while over the byte limit.
    void expire(qint64 nowNs);
    static bool wellFormed(const Fragment &fragment);
    size_t find(const Key &key) const;
    size_t begin(const Key &key, qint64 timeNs);
    static Ranges::iterator firstReaching(Ranges &ranges, int offset);
    static bool agrees(const Pending &p, const Fragment &fragment, Ranges::const_iterator from);
    void store(Pending &p, const Fragment &fragment, Ranges::iterator first);
    static bool whole(const Pending &p);
    void complete(size_t i, QByteArrayView *payload, quint8 *protocol);
    void keepWithinBytes(size_t i);
    void drop(size_t i);

    int m_maxDatagrams;
    qint64 m_maxBytes;
    qint64 m_bytes = 0;
    std::vector<Pending> m_pending; // oldest first
    std::vector<char> m_done;       // the datagram completed last
    Counts m_counts;
};

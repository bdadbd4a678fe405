// Bytes made in large blocks and written to a file by a thread of their own: two blocks, one being made
// while the thread writes the other, so making the bytes and the kernel's copying overlap.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

class WriteBehind
{
public:
    explicit WriteBehind(std::FILE *file);
    ~WriteBehind();
    WriteBehind(const WriteBehind &) = delete;
    WriteBehind &operator=(const WriteBehind &) = delete;

    // Room for bytes in the block being made; a full block is handed to the thread first.
    unsigned char *reserve(size_t bytes)
    {
        if (m_used + bytes > kBlock)
            handOver();
        unsigned char *at = m_block[m_current].data() + m_used;
        m_used += bytes;
        return at;
    }
    // Gives back the last bytes of the last room reserved, unused.
    void giveBack(size_t bytes) { m_used -= bytes; }
    // Writes what was made and ends the thread: false when any write failed.
    bool finish();
    bool failed() const { return m_failed.load(std::memory_order_relaxed); }

private:
    static constexpr size_t kBlock = size_t(4) << 20;

    void handOver();
    void run();

    std::FILE *m_file;
    std::vector<unsigned char> m_block[2];
    int m_current = 0;      // the block being made
    size_t m_used = 0;      // and its bytes made so far
    int m_pendingBlock = 0; // the block handed over, while m_pending > 0
    size_t m_pending = 0;
    bool m_stop = false;
    std::atomic<bool> m_failed{false};
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::thread m_thread;
};

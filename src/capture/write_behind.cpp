#include "capture/write_behind.h"

WriteBehind::WriteBehind(std::FILE *file) : m_file(file)
{
    for (std::vector<unsigned char> &block : m_block)
        block.resize(kBlock);
    m_thread = std::thread([this] { run(); });
}

WriteBehind::~WriteBehind()
{
    finish();
}

bool WriteBehind::finish()
{
    if (m_thread.joinable()) {
        handOver();
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_idle.wait(lock, [this] { return m_pending == 0; });
            m_stop = true;
        }
        m_wake.notify_one();
        m_thread.join();
    }
    return !m_failed.load();
}

void WriteBehind::handOver()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_idle.wait(lock, [this] { return m_pending == 0; });
    if (m_used == 0)
        return;
    m_pending = m_used;
    m_pendingBlock = m_current;
    m_current ^= 1;
    m_used = 0;
    lock.unlock();
    m_wake.notify_one();
}

void WriteBehind::run()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_pending > 0 || m_stop; });
        if (m_pending == 0)
            return;
        const unsigned char *data = m_block[m_pendingBlock].data();
        const size_t size = m_pending;
        lock.unlock();
        const bool written = !m_failed.load() && std::fwrite(data, 1, size, m_file) == size;
        lock.lock();
        if (!written)
            m_failed.store(true);
        m_pending = 0;
        m_idle.notify_one();
    }
}

#include "recording/wire_reader.h"

WireReader::WireReader(const FrameIndex &index, qsizetype first, qsizetype last, const Options &options)
    : m_index(index), m_first(first), m_last(last), m_options(options)
{
    const qsizetype from = m_index.frameAtOrAfter(options.from < 0 ? first : options.from);
    m_thread = std::thread([this, from] { run(from, m_options.pass); });
}

WireReader::~WireReader()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_changed.notify_all();
    m_thread.join();
}

bool WireReader::take(qsizetype k, Batch *batch, qint64 pass)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return !m_ready.empty() || m_done; });
        if (m_ready.empty())
            return false;
        *batch = std::move(m_ready.front());
        m_ready.pop_front();
        m_changed.notify_all();
        if (!batch->read || batch->holds(k, pass))
            return batch->read;
    }
}

void WireReader::following(const Batch &batch, qsizetype *k, qint64 *pass) const
{
    *pass = batch.pass;
    *k = m_index.frameAtOrAfter(batch.first + qsizetype(batch.ends.size()));
    if (*k >= 0 && *k <= m_last)
        return;
    *k = -1;
    if (m_options.loop) {
        *k = m_index.frameAtOrAfter(m_first);
        ++*pass;
    }
}

void WireReader::run(qsizetype k, qint64 pass)
{
    while (k >= 0 && k <= m_last) {
        Batch batch;
        batch.first = k;
        batch.pass = pass;
        const frame_lines::Shift shift = m_options.perPass.times(pass);
        batch.read = m_index.wires(k, m_options.batchBytes, &batch.wires, &batch.ends, m_last,
                                   shift.isNull() ? nullptr : &shift) == FrameIndex::Read::Ok &&
                     !batch.ends.empty();
        if (batch.read)
            following(batch, &k, &pass);
        else
            k = -1;
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_ready.size() < 2 || m_stop; });
        if (m_stop)
            return;
        m_ready.push_back(std::move(batch));
        m_changed.notify_all();
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_done = true;
    m_changed.notify_all();
}

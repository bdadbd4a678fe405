// How many UDP datagrams a capture holds to each port, for choosing the port to take.
#pragma once

#include <QtGlobal>
#include <vector>

class PortCounts
{
public:
    void count(quint16 port)
    {
        ++m_perPort[port];
        ++m_total;
    }
    qint64 to(int port) const { return m_perPort[size_t(port)]; }
    qint64 total() const { return m_total; }
    // The port most datagrams go to (the lowest of equals), or -1 when there are none.
    int busiest() const;

private:
    std::vector<qint64> m_perPort = std::vector<qint64>(65536, 0);
    qint64 m_total = 0;
};

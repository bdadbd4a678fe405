#include "capture/port_counts.h"

int PortCounts::busiest() const
{
    int best = -1;
    for (int port = 0; port < int(m_perPort.size()); ++port)
        if (m_perPort[size_t(port)] > 0 && (best < 0 || m_perPort[size_t(port)] > m_perPort[size_t(best)]))
            best = port;
    return best;
}

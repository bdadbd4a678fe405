#include "record/megabytes.h"

namespace megabytes {

QString text(qint64 bytes)
{
    return QString::number(double(bytes) / 1e6, 'f', 1);
}

} // namespace megabytes

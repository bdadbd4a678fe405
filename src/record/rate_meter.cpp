#include "record/rate_meter.h"

namespace rate_meter {

namespace {
void dropOlderThanOneSecond(QList<unsigned int> &list, unsigned int now)
{
    while (!list.isEmpty() && now - list.constFirst() > 1000u)
        list.removeFirst();
}
} // namespace

void update(QList<unsigned int> &list, bool &reset, bool clear, unsigned int now)
{
    if (clear) {
        list.clear();
    } else {
        dropOlderThanOneSecond(list, now);
        list.append(now);
    }
    if (!reset || list.size() != 4)
        return;
    const unsigned int d = (list.constLast() - list.constFirst()) / 3u;
    if (d == 0)
        return;
    reset = false;
    const int n = int(1000u / d) - 4;
    for (int i = 0; i < n; ++i)
        list.prepend(list.constFirst() - d);
}

QString label(QList<unsigned int> &list, unsigned int now)
{
    if (list.size() <= 1)
        return QStringLiteral("-- Hz");
    dropOlderThanOneSecond(list, now);
    return QStringLiteral("%1 Hz").arg(list.size());
}

} // namespace rate_meter

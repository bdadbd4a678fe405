#include "recording/counted.h"

QString counted(qint64 count, const char *noun)
{
    return QString::number(count) + QLatin1Char(' ') + QLatin1String(noun) +
           (count == 1 ? QString() : QStringLiteral("s"));
}

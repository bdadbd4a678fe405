#include "app/display_limit.h"

#include <QCoreApplication>

namespace display_limit {

QString shown(const QString &text)
{
    if (text.size() <= kMaxCharacters)
        return text;
    return text.left(kMaxCharacters) +
           QCoreApplication::translate("Ostrel_recorder", "\n[%1 more characters not shown]")
               .arg(text.size() - kMaxCharacters);
}

} // namespace display_limit

// Byte counts as the window and orf show them: decimal megabytes with one decimal ("12.3").
#pragma once

#include <QString>
#include <QtGlobal>

namespace megabytes {

QString text(qint64 bytes);

} // namespace megabytes

// A file's modification time in nanoseconds since the epoch: when an export of a recording begins.
#pragma once

#include <QString>
#include <QtGlobal>
#include <optional>

namespace file_time {

// Nothing when the file cannot be looked at.
std::optional<qint64> modifiedNs(const QString &file);

} // namespace file_time

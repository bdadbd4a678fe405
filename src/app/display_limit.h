// How much of a frame the data field shows. A text field lays out an unbroken line in quadratic time
// (64 KB take 0.2 s, 256 KB 3.5 s, 8 MB about an hour), so a recording with a line of megabytes would hold
// the window while the slider passes over it. The field shows at most as much as the largest datagram can
// carry, so every frame that can be received or sent still shows whole.
#pragma once

#include <QString>

namespace display_limit {

constexpr qsizetype kMaxCharacters = 65507;

// The text itself, or its first kMaxCharacters followed by a line that says how much was left out.
QString shown(const QString &text);

} // namespace display_limit

// How much of a frame the data field shows. A text field lays out an unbroken line in quadratic time
// (64 KB take 0.2 s, 256 KB 3.5 s, 8 MB about an hour), so a recording with a line of megabytes would hold
// the window while the slider passes over it. The field shows at most as much as the largest datagram can
// carry, so every frame that can be received or sent still shows whole.
#pragma once

#include "ap/ap_socket.h"

#include <QString>

namespace display_limit {

constexpr qsizetype kMaxCharacters = ap_udp_max_payload;

// The text itself, or its first kMaxCharacters followed by a line that says how much was left out.
QString shown(const QString &text);

} // namespace display_limit

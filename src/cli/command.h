// What every orf command shares: its exit statuses, and how a step of it says that the command ends.
#pragma once

#include <optional>

namespace orf {

// Exit statuses, the same for every command.
enum Exit
{
    kOk = 0,
    kNothing = 1, // nothing arrived (record), not playable (play, info)
    kUsage = 2,
    kFailure = 3, // socket, disk, send or read error
};

// What a step of a command gives: the exit status the command ends with, or nothing when it goes on. A
// step that ends the command has said why.
using Ending = std::optional<int>;

} // namespace orf

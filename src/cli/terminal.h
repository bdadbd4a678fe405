// What orf says on standard error when something fails, and the signals that end a running command. Progress
// and summaries: cli/progress.h.
#pragma once

#include <QString>

namespace orf {

// One line on standard error, "orf: " in front.
void error(const QString &text);

// Stops the event loop on SIGINT, SIGTERM and SIGHUP (a closed terminal or SSH session); the command then
// ends as when its work is done.
void quitOnSignals();

} // namespace orf

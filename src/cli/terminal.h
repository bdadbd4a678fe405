// What orf says on standard error (errors, a status line on a terminal), and the signals that end a
// running command.
#pragma once

#include <QString>
#include <QTimer>

#include <functional>

namespace orf {

// One line on standard error, "orf: " in front.
void error(const QString &text);

// A line on standard error, when it is a terminal, rewritten once a second with what text() gives, from its
// construction until end().
class StatusLine
{
public:
    explicit StatusLine(std::function<QString()> text);
    // Stops; what is written next starts on a line of its own.
    void end();

private:
    std::function<QString()> m_text;
    QTimer m_ticker;
};

// Stops the event loop on SIGINT, SIGTERM and SIGHUP (a closed terminal or SSH session); the command then
// ends as when its work is done.
void quitOnSignals();

} // namespace orf

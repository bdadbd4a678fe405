// The socket a recording receives on, the same for the window and orf: unicast on the record port, owned
// by this receiver alone; or, with a group, that group's datagrams on the port, shared with the group's
// other receivers on this machine and joined on the interface asked for.
#pragma once

#include <QString>
#include <QtGlobal>

namespace record_socket {

enum class Result
{
    Opened,
    PortInUse,        // another socket holds the port and does not share it
    UnknownInterface, // no network interface of this machine has that name or address
    JoinRefused,      // the system refused to join the group on the interface
    Failed,           // the socket could not be made or bound
};

// Opens *handle on port; group 0 receives unicast, and the interface text (a name or an address; empty for
// the system's choice) is used with a group only. It asks for a receive queue large enough to ride out a
// short stall at tens of thousands of datagrams a second (the kernel caps it). *handle is set only when
// it opens; otherwise *reason, if given, gets the system's reason where there is one.
Result open(void **handle, quint16 port, quint32 group, const QString &interface, QString *reason = nullptr);

// Whose words failureText() speaks: the window's, a sentence under its "Please check your UDP settings"; or
// orf's, one line naming where the datagrams were to come from.
enum class Wording
{
    Window,
    CommandLine,
};
// Where the datagrams come from, as orf's messages name it: "UDP port 5000", "group 239.1.2.3 UDP port 5000".
QString sourceName(quint16 port, const QString &groupText);
// What to say when open() did not open (empty for the window when it has nothing to add): groupText and
// interface as given (groupText empty for unicast), reason as open() gave it.
QString failureText(Result result, Wording wording, quint16 port, const QString &groupText,
                    const QString &interface, const QString &reason);

} // namespace record_socket

#include "record/record_socket.h"

#include "ap/ap_socket.h"

#include <QCoreApplication>

#include <cerrno>
#include <cstring>

namespace record_socket {

namespace {
constexpr int kReceiveBuffer = 8 * 1024 * 1024;
} // namespace

Result open(void **handle, quint16 port, quint32 group, const QString &interface, QString *reason)
{
    unsigned int address = 0;
    int index = 0;
    if (group != 0 && !interface.isEmpty() &&
        ap_ip_interface(interface.toLocal8Bit().constData(), &address, &index) < 0)
        return Result::UnknownInterface;
    void *opened = nullptr;
    const int rc =
        group != 0 ? ap_udp_init_group(&opened, group, port, address, index) : ap_udp_init(&opened, port, 1);
    if (rc < 0) {
        if (reason)
            *reason = QString::fromLocal8Bit(std::strerror(errno));
        return rc == -4 ? Result::PortInUse : rc == -5 ? Result::JoinRefused : Result::Failed;
    }
    ap_udp_set_receive_buffer(opened, kReceiveBuffer);
    *handle = opened;
    return Result::Opened;
}

namespace {

QString windowText(Result result, quint16 port, const QString &groupText, const QString &interface,
                   const QString &reason)
{
    switch (result) {
    case Result::PortInUse:
        return QCoreApplication::translate("record_socket", "Port %1 is in use by another receiver.")
            .arg(port);
    case Result::UnknownInterface:
        return QCoreApplication::translate("record_socket", "There is no network interface %1.")
            .arg(interface);
    case Result::JoinRefused:
        return QCoreApplication::translate("record_socket",
                                           "Joining the multicast group %1 on %2 was refused: %3.")
            .arg(groupText,
                 interface.isEmpty() ? QCoreApplication::translate("record_socket", "the system's interface")
                                     : interface,
                 reason);
    case Result::Opened:
    case Result::Failed:
        break;
    }
    return QString();
}

QString commandLineText(Result result, quint16 port, const QString &groupText, const QString &interface,
                        const QString &reason)
{
    const QString source = sourceName(port, groupText);
    switch (result) {
    case Result::PortInUse:
        return QStringLiteral("cannot receive on %1: address in use (another receiver has the port)")
            .arg(source);
    case Result::UnknownInterface:
        return QStringLiteral(
                   "--interface %1: no such network interface (a name such as eth0, or an address)")
            .arg(interface);
    case Result::JoinRefused:
        return QStringLiteral("joining group %1 on interface %2 was refused: %3")
            .arg(groupText, interface.isEmpty() ? QStringLiteral("(the system's choice)") : interface,
                 reason);
    case Result::Failed:
        return QStringLiteral("cannot receive on %1: %2").arg(source, reason);
    case Result::Opened:
        break;
    }
    return QString();
}

} // namespace

QString sourceName(quint16 port, const QString &groupText)
{
    return (groupText.isEmpty() ? QString() : QStringLiteral("group %1 ").arg(groupText)) +
           QStringLiteral("UDP port %1").arg(port);
}

QString failureText(Result result, Wording wording, quint16 port, const QString &groupText,
                    const QString &interface, const QString &reason)
{
    return wording == Wording::Window ? windowText(result, port, groupText, interface, reason)
                                      : commandLineText(result, port, groupText, interface, reason);
}

} // namespace record_socket

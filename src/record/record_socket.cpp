#include "record/record_socket.h"

#include "ap/ap_socket.h"

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

} // namespace record_socket

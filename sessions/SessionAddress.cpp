#include "SessionAddress.h"

#include <netinet/in.h>

#include "transport.h"

bool ParseAddress(const QByteArray& ip, quint32 port, AddressRole role, struct sockaddr* out,
                  QString* error) {
    const char* side = role == AddressRole::Local ? "local" : "remote";
    if (port > 65535 || (port == 0 && role == AddressRole::Target)) {
        *error = QString("invalid %0 port %1").arg(side).arg(port);
        return false;
    }
    struct sockaddr_in parsed = {};
    // Only the dotted form: no host names, no shortened or out-of-range octets.
    if (net_ip_to_addr(ip.constData(), (uint16_t)port, (struct sockaddr*)&parsed) != 0) {
        *error = QString("invalid %0 address %1").arg(side, QString::fromUtf8(ip));
        return false;
    }
    *reinterpret_cast<struct sockaddr_in*>(out) = parsed;
    return true;
}

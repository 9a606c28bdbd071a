#include "SessionAddress.h"

#include <netinet/in.h>

#include "transport.h"

bool ParseAddress(const QByteArray& ip, quint32 port, AddressRole role, struct sockaddr* out,
                  QString* error) {
    if (!CheckPort(port, role, error))
        return false;
    const char* side = role == AddressRole::Local ? "local" : "remote";
    struct sockaddr_in parsed = {};
    // Only the dotted form: no host names, no shortened or out-of-range octets.
    if (net_ip_to_addr(ip.constData(), (uint16_t)port, (struct sockaddr*)&parsed) != 0) {
        *error = QString("invalid %0 address %1").arg(side, QString::fromUtf8(ip));
        return false;
    }
    *reinterpret_cast<struct sockaddr_in*>(out) = parsed;
    return true;
}

bool CheckPort(quint32 port, AddressRole role, QString* error) {
    if (port <= 65535 && (port != 0 || role != AddressRole::Target))
        return true;
    *error = QString("invalid %0 port %1").arg(role == AddressRole::Local ? "local" : "remote").arg(port);
    return false;
}

bool IsHostName(const QByteArray& text) {
    bool name = false;
    for (char c : text) {
        const bool digitOrDot = (c >= '0' && c <= '9') || c == '.';
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' || c == '_';
        if (!digitOrDot && !letter)
            return false;
        name = name || letter;
    }
    return name && text.size() <= 253;
}

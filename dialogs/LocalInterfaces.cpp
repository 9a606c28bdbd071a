#include "LocalInterfaces.h"

#include <QStringList>

#include "transport.h"

static QString AddressText(const struct sockaddr* addr) {
    char text[16] = {0};
    if (addr == nullptr || net_addr_to_ip(addr, text, nullptr) != 0)
        return QString();
    return QString::fromLatin1(text);
}

QList<LocalInterface> LocalIPv4Interfaces() {
    QList<LocalInterface> result;
    int count = net_interface_refresh();
    for (int i = 0; i < count; ++i) {
        if (net_interface_is_ipv4(i) != 0)
            continue;
        result.append({AddressText(net_interface_address(i)), AddressText(net_interface_netmask(i))});
    }
    return result;
}

QString BroadcastAddress(const QString& address, const QString& netmask) {
    const QStringList octets = address.split('.');
    const QStringList masks = netmask.split('.');
    QStringList result;
    for (int i = 0; i < octets.size(); ++i) {
        // A mask shorter than the address counts as 0 there: all host bits.
        unsigned a = octets[i].toUInt();
        unsigned m = i < masks.size() ? masks[i].toUInt() : 0;
        result.append(QString::number((a & m) | (~m & 255u)));
    }
    return result.join('.');
}

int NextDetectIndex(int& cursor, int count) {
    if (count <= 0)
        return -1;
    if (cursor < 0 || cursor >= count)
        cursor = 0;
    int index = cursor;
    cursor = (cursor + 1) % count;
    return index;
}

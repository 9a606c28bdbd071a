// The machine's IPv4 interfaces as the detect buttons offer them.
#ifndef MAROVENT_LOCALINTERFACES_H
#define MAROVENT_LOCALINTERFACES_H

#include <QList>
#include <QString>

struct LocalInterface {
    QString address;  // dotted IPv4 text
    QString netmask;
};

// Refreshes the transport library's interface list and returns its IPv4
// entries in enumeration order; other families are skipped.
QList<LocalInterface> LocalIPv4Interfaces();

// Per octet (address AND mask) OR (NOT mask AND 255): 192.168.1.20 with
// 255.255.255.0 gives 192.168.1.255.
QString BroadcastAddress(const QString& address, const QString& netmask);

// The index a detect press shows: the cursor's entry, then the cursor moves on
// and wraps to 0 at the end. -1 (cursor untouched) when the list is empty.
int NextDetectIndex(int& cursor, int count);

#endif

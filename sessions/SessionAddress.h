// The one path from the address text and port a user typed to an IPv4
// address record. Every session kind starts through it, so a bad value is
// refused with a text that names it instead of turning into 0.0.0.0 (this
// machine on Linux) or a port wrapped to another one. A host name where a
// remote may be one is looked up first (HostResolver), then comes here too.
#ifndef MAROVENT_SESSIONADDRESS_H
#define MAROVENT_SESSIONADDRESS_H

#include <QByteArray>
#include <QString>

struct sockaddr;

enum class AddressRole {
    Local,   // bound or listened on: port 0 asks the system for a free one
    Remote,  // where datagrams go
    Target,  // where a client connects: port 0 is refused
};

// Fills out (room for an IPv4 record) from dotted IPv4 text and a port; on a
// bad value returns false and sets error, leaving out as it was.
bool ParseAddress(const QByteArray& ip, quint32 port, AddressRole role, struct sockaddr* out,
                  QString* error);

// The port half of ParseAddress alone, for a host name still to be looked up.
bool CheckPort(quint32 port, AddressRole role, QString* error);

// Whether text is a host name to look up rather than an address: letters,
// digits, '-', '_' and '.', not only digits and dots (a bad dotted address
// stays a bad address instead of becoming a lookup).
bool IsHostName(const QByteArray& text);

#endif

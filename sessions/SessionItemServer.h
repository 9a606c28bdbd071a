// What TCP and KCP server sessions have in common: the listen address, the
// running flag, and the window's operations on accepted children. The client
// map and the drain order live in SessionItemServerOf.
#ifndef MAROVENT_SESSIONITEMSERVER_H
#define MAROVENT_SESSIONITEMSERVER_H

#include "SessionItem.h"

struct sockaddr;

class SessionItemServer : public SessionItem {
    Q_OBJECT
public:
    // Stores the address and listens on it; false, with GetLastError saying
    // why, when the address is not dotted IPv4 with a port up to 65535 (0 asks
    // for a free one) or listening failed.
    bool Start(const QByteArray& ip, unsigned port);
    bool Restart() override;
    bool IsRunning() const { return running_; }
    QByteArray GetIP() const { return ip_; }
    unsigned GetPort() const { return port_; }

    // The window adds a child after the accepted notification, removes it in
    // its disconnect slot, and reports a child it closed itself. Children are
    // named by their session; false when it is not one of this server's kind,
    // or (add) its connection is already listed.
    virtual bool AddChild(SessionItem* child, QTreeWidgetItem* item) = 0;
    virtual bool RemoveChild(SessionItem* child) = 0;
    virtual void NotifyChildClosed(SessionItem* child) = 0;
    virtual int ChildCount() const = 0;

protected:
    explicit SessionItemServer(const QString& kind);

    // 0 when listening.
    virtual int StartTransport(const struct sockaddr* address) = 0;
    void SetRunning(bool running) { running_ = running; }

private:
    bool running_ = false;
    QByteArray ip_;
    unsigned port_ = 0;
};

#endif

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
    virtual QList<SessionItem*> Children() const = 0;

    // A text capture takes every child's lines, tagged with its peer address;
    // a binary one writes a file per child, named after path and the peer.
    bool StartCapture(const QString& path, bool binary) override;
    void StopCapture() override;

protected:
    explicit SessionItemServer(const QString& kind);

    // 0 when listening.
    virtual int StartTransport(const struct sockaddr* address) = 0;
    void SetRunning(bool running) { running_ = running; }
    // A child joins or leaves the server's capture.
    void AdoptChild(SessionItem* child);
    void ReleaseChild(SessionItem* child);
    // The children show the lines; the server's own list is not in view.
    void CaptureFailed(const QString& error) override;

private:
    void StartChildCapture(SessionItem* child);

    bool running_ = false;
    QByteArray ip_;
    unsigned port_ = 0;
};

#endif

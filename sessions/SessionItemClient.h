// What outgoing clients and accepted connections of TCP and KCP have in
// common: target address, connect state, addresses and the send path. A
// concrete kind supplies its transport calls and its typed signals through
// the protected hooks.
#ifndef MAROVENT_SESSIONITEMCLIENT_H
#define MAROVENT_SESSIONITEMCLIENT_H

#include "SessionItem.h"

struct sockaddr;

class SessionItemClient : public SessionItem {
    Q_OBJECT
public:
    // Remembers where the next Connect goes; does not connect.
    void SetTarget(const QByteArray& ip, unsigned port, unsigned timeoutMs);
    // Starts a connect attempt; its outcome arrives through the connect-result signal.
    bool Connect();

    int GetType() override;
    void Update() override;
    void Close() override;
    bool Send(const QByteArray& data) override;

    int GetLocalPort();
    QString GetPeerIP();
    int GetPeerPort();
    bool IsConnected() const { return connected_; }
    bool IsConnecting() const { return connecting_; }
    bool IsAccepted() const { return accepted_; }
    QByteArray GetIP() const { return ip_; }
    unsigned GetPort() const { return port_; }
    unsigned GetTimeout() const { return timeout_; }

    // The receive path for bytes the owning server read for this connection.
    void ReceiveFromServer(const QByteArray& data) { ReceiveBytes(data); }

protected:
    // accepted: the session shows a connection a server accepted (born connected).
    SessionItemClient(const QString& kind, bool accepted, int outgoingType, int acceptedType);

    virtual void StartTransport(const struct sockaddr* target, unsigned timeoutMs) = 0;
    virtual void RunTransport() = 0;
    virtual void CloseTransport() = 0;
    virtual int SendTransport(const QByteArray& data) = 0;
    virtual int LocalAddress(struct sockaddr* out) = 0;
    virtual int RemoteAddress(struct sockaddr* out) = 0;
    virtual void EmitConnectResult(bool success) = 0;
    virtual void EmitDisconnected() = 0;

    // Transport callbacks of an outgoing client end up here.
    void ConnectFinished(int status);
    void ConnectionEnded();

private:
    bool ReadAddress(bool local, QString* ip, int* port);

    bool accepted_;
    bool connected_;
    bool connecting_ = false;
    QByteArray ip_;
    unsigned port_ = 0;
    unsigned timeout_ = 0;
    int outgoingType_;
    int acceptedType_;
};

#endif

// What outgoing clients and accepted connections of TCP and KCP have in
// common: target address, connect state, addresses and the send path. The
// transport calls come from SessionItemClientOf; a concrete kind adds only its
// typed signals and its receive callback.
#ifndef MAROVENT_SESSIONITEMCLIENT_H
#define MAROVENT_SESSIONITEMCLIENT_H

#include <stdint.h>

#include "SessionItem.h"

struct sockaddr;

class SessionItemClient : public SessionItem {
    Q_OBJECT
public:
    // Remembers where the next Connect goes; does not connect.
    void SetTarget(const QByteArray& ip, unsigned port, unsigned timeoutMs);
    // Starts a connect attempt, whose outcome arrives through the connect-result
    // signal; false, with nothing started, when the target is neither a dotted
    // IPv4 address nor a host name, or the port is not from 1 to 65535. A host
    // name is looked up first; a failed lookup ends the attempt through FailLater.
    bool Connect();
    bool Restart() override { return Connect(); }

    int GetType() override;
    void Update() override;
    void Close() override;
    bool Send(const QByteArray& data) override;
    // A file keeps the connection's send queue topped up to a few MiB, far
    // under the transport's bound.
    static const int kFileChunk = 64 * 1024;
    static const int kFileWindow = 4 * 1024 * 1024;
    int FileChunkBytes() const override { return kFileChunk; }
    qint64 SendWindowBytes() const override { return kFileWindow; }
    qint64 QueuedBytes() const override;

    int GetLocalPort();
    QString GetPeerIP();
    int GetPeerPort();
    bool IsConnected() const { return connected_; }
    bool IsConnecting() const { return connecting_; }
    bool IsAccepted() const { return accepted_; }
    QByteArray GetIP() const { return ip_; }
    unsigned GetPort() const { return port_; }

    // The receive path for bytes the owning server read for this connection.
    void ReceiveFromServer(const char* data, int length) { ReceiveBytes(data, length); }

    // Transport callbacks of an outgoing client; user is the SessionItemClient.
    static void OnTransportConnect(int status, const char* message, void* user);
    static void OnTransportDisconnect(void* user);
    static void OnTransportData(void* user, const char* data, int64_t length);

protected:
    // accepted: the session shows a connection a server accepted (born connected).
    SessionItemClient(const QString& kind, bool accepted, int outgoingType, int acceptedType);

    virtual void StartTransport(const struct sockaddr* target, unsigned timeoutMs) = 0;
    virtual void RunTransport() = 0;
    virtual void CloseTransport() = 0;
    virtual int SendTransport(const QByteArray& data) = 0;
    virtual qint64 QueuedTransport() const = 0;
    virtual int LocalAddress(struct sockaddr* out) = 0;
    virtual int RemoteAddress(struct sockaddr* out) = 0;
    virtual void EmitConnectResult(bool success) = 0;
    virtual void EmitDisconnected() = 0;
    // From now on connect and disconnect callbacks change nothing.
    void Mute() { muted_ = true; }

private:
    bool ReadAddress(bool local, QString* ip, int* port);
    void OnResolved(const QByteArray& ip, const QString& error);

    bool accepted_;
    bool connected_;
    bool connecting_ = false;
    bool muted_ = false;
    QByteArray ip_;
    unsigned port_ = 0;
    unsigned timeout_ = 0;
    int outgoingType_;
    int acceptedType_;
};

#endif

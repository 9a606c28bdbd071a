// A TCP client session: an outgoing client that owns its TCPCLIENT, or a
// connection a TCP server accepted, which only borrows the server's handle.
#ifndef MAROVENT_SESSIONITEMTCPCLIENT_H
#define MAROVENT_SESSIONITEMTCPCLIENT_H

#include <QMetaType>

#include "SessionItemClient.h"
#include "transport.h"

Q_DECLARE_OPAQUE_POINTER(TCPCLIENT)
Q_DECLARE_METATYPE(TCPCLIENT)

class SessionItemTCPClient : public SessionItemClient {
    Q_OBJECT
public:
    // Without a handle: an outgoing client with a client object of its own.
    // With one: the accepted connection it names (never destroyed here).
    explicit SessionItemTCPClient(const QString& kind, TCPCLIENT accepted = nullptr);
    ~SessionItemTCPClient() override;

    TCPCLIENT GetHandle() const { return client_; }

signals:
    void OnClientConnectResultSignal(bool success, QTreeWidgetItem* parent, TCPCLIENT client);
    void OnClientDisconnectedSignal(QTreeWidgetItem* item);

protected:
    void StartTransport(const struct sockaddr* target, unsigned timeoutMs) override;
    void RunTransport() override;
    void CloseTransport() override;
    int SendTransport(const QByteArray& data) override;
    int LocalAddress(struct sockaddr* out) override;
    int RemoteAddress(struct sockaddr* out) override;
    void EmitConnectResult(bool success) override;
    void EmitDisconnected() override;

private:
    static void OnConnect(int status, const char* message, void* user);
    static void OnRecv(const char* data, int64_t nread, void* user);
    static void OnDisconnect(void* user);

    TCPCLIENT client_;
};

#endif

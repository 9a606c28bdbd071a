// A KCP client session: an outgoing client that owns its KCPCLIENT, or a peer
// a KCP server accepted, which only borrows the server's handle. Data goes out
// as frames on the TCP control connection; every channel's data comes in.
#ifndef MAROVENT_SESSIONITEMKCPCLIENT_H
#define MAROVENT_SESSIONITEMKCPCLIENT_H

#include <QMetaType>

#include "SessionItemClient.h"
#include "transport.h"

Q_DECLARE_OPAQUE_POINTER(KCPCLIENT)
Q_DECLARE_METATYPE(KCPCLIENT)

class SessionItemKCPClient : public SessionItemClient {
    Q_OBJECT
public:
    // Without a handle: an outgoing client created with mode (0 default,
    // 1 fast, 2 ultra). With one: the accepted peer it names, whose mode is
    // the server's (never destroyed here).
    SessionItemKCPClient(const QString& kind, int mode, KCPCLIENT accepted = nullptr);
    ~SessionItemKCPClient() override;

    KCPCLIENT GetHandle() const { return client_; }
    int GetMode() const { return mode_; }
    int GetSendMode() const { return sendMode_; }

signals:
    void OnClientConnectResultSignal(bool success, QTreeWidgetItem* parent, KCPCLIENT client);
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
    static void OnConnect(int code, const char* message, void* user);
    static void OnRecv(const char* data, int length, int channel, void* user);
    static void OnDisconnect(void* user);

    KCPCLIENT client_;
    int mode_;
    // Channel 0: a frame on the TCP control connection.
    const int sendMode_ = 0;
};

#endif

// A KCP client session: an outgoing client that owns its KCPCLIENT, or a peer
// a KCP server accepted, which only borrows the server's handle. Data goes out
// as frames on the TCP control connection; every channel's data comes in.
#ifndef MAROVENT_SESSIONITEMKCPCLIENT_H
#define MAROVENT_SESSIONITEMKCPCLIENT_H

#include <QMetaType>

#include "SessionItemClientOf.h"

Q_DECLARE_OPAQUE_POINTER(KCPCLIENT)
Q_DECLARE_METATYPE(KCPCLIENT)

typedef SessionItemClientOf<KCPCLIENT, kcp_client_recv_cb> SessionItemKCPClientBase;

class SessionItemKCPClient : public SessionItemKCPClientBase {
    Q_OBJECT
public:
    // Channel every send uses: 0, a frame on the TCP control connection.
    static const int kSendMode = 0;

    // Without a handle: an outgoing client created with mode (0 default,
    // 1 fast, 2 ultra). With one: the accepted peer it names, whose mode is
    // the server's (never destroyed here).
    SessionItemKCPClient(const QString& kind, int mode, KCPCLIENT accepted = nullptr);

    int GetSendMode() const { return kSendMode; }

signals:
    void OnClientConnectResultSignal(bool success, QTreeWidgetItem* parent, KCPCLIENT client);
    void OnClientDisconnectedSignal(QTreeWidgetItem* item);

protected:
    void EmitConnectResult(bool success) override;
    void EmitDisconnected() override;
};

#endif

// A TCP client session: an outgoing client that owns its TCPCLIENT, or a
// connection a TCP server accepted, which only borrows the server's handle.
#ifndef MAROVENT_SESSIONITEMTCPCLIENT_H
#define MAROVENT_SESSIONITEMTCPCLIENT_H

#include <QMetaType>

#include "SessionItemClientOf.h"

Q_DECLARE_OPAQUE_POINTER(TCPCLIENT)
Q_DECLARE_METATYPE(TCPCLIENT)

typedef SessionItemClientOf<TCPCLIENT, tcp_client_recv_cb> SessionItemTCPClientBase;

class SessionItemTCPClient : public SessionItemTCPClientBase {
    Q_OBJECT
public:
    // Without a handle: an outgoing client with a client object of its own.
    // With one: the accepted connection it names (never destroyed here).
    explicit SessionItemTCPClient(const QString& kind, TCPCLIENT accepted = nullptr);

signals:
    void OnClientConnectResultSignal(bool success, QTreeWidgetItem* parent, TCPCLIENT client);
    void OnClientDisconnectedSignal(QTreeWidgetItem* item);

protected:
    void EmitConnectResult(bool success) override;
    void EmitDisconnected() override;
};

#endif

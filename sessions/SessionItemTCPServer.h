// A TCP server session: owns one TCPSERVER and lists each accepted connection
// as a child session; data is counted and shown under the child.
#ifndef MAROVENT_SESSIONITEMTCPSERVER_H
#define MAROVENT_SESSIONITEMTCPSERVER_H

#include "SessionItemServerOf.h"
#include "SessionItemTCPClient.h"

typedef SessionItemServerOf<TCPCLIENT, SessionItemTCPClient, TCPSERVER, tcp_server_recv_cb> SessionItemTCPServerBase;

class SessionItemTCPServer : public SessionItemTCPServerBase {
    Q_OBJECT
public:
    explicit SessionItemTCPServer(const QString& kind);

    int GetType() override { return TYPE_TCP_SERVER; }
    SessionItemTCPClient* NewChild(TCPCLIENT client) override;

signals:
    void OnClientConnectedSignal(QTreeWidgetItem* item, TCPCLIENT client);
    void OnClientDisconnectedSignal(QTreeWidgetItem* item, TCPCLIENT client);

protected:
    void EmitClientConnected(TCPCLIENT client) override;
    void EmitClientDisconnected(QTreeWidgetItem* item, TCPCLIENT client) override;
};

#endif

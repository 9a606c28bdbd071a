// A TCP server session: owns one TCPSERVER and lists each accepted connection
// as a child session; data is counted and shown under the child.
#ifndef MAROVENT_SESSIONITEMTCPSERVER_H
#define MAROVENT_SESSIONITEMTCPSERVER_H

#include "SessionItemServerOf.h"
#include "SessionItemTCPClient.h"

typedef SessionItemServerOf<TCPCLIENT, SessionItemTCPClient> SessionItemTCPServerBase;

class SessionItemTCPServer : public SessionItemTCPServerBase {
    Q_OBJECT
public:
    explicit SessionItemTCPServer(const QString& kind);
    ~SessionItemTCPServer() override;

    int GetType() override { return TYPE_TCP_SERVER; }

signals:
    void OnClientConnectedSignal(QTreeWidgetItem* item, TCPCLIENT client);
    void OnClientDisconnectedSignal(QTreeWidgetItem* item, TCPCLIENT client);

protected:
    int StartTransport(const struct sockaddr* address) override;
    void StopTransport() override;
    void RunTransport() override;
    void EmitClientDisconnected(QTreeWidgetItem* item, TCPCLIENT client) override;

private:
    static void OnConnect(TCPCLIENT client, void* user);
    static void OnDisconnect(TCPCLIENT client, void* user);
    static void OnRecv(TCPCLIENT client, const char* data, int length, void* user);

    TCPSERVER server_;
};

#endif

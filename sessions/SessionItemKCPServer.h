// A KCP server session: owns one KCPServer and lists each peer that finished
// its handshake as a child session; every channel's data is shown under it.
#ifndef MAROVENT_SESSIONITEMKCPSERVER_H
#define MAROVENT_SESSIONITEMKCPSERVER_H

#include "SessionItemKCPClient.h"
#include "SessionItemServerOf.h"

typedef SessionItemServerOf<KCPCLIENT, SessionItemKCPClient, struct KCPServer*,
                            kcp_server_recv_cb> SessionItemKCPServerBase;

class SessionItemKCPServer : public SessionItemKCPServerBase {
    Q_OBJECT
public:
    // mode: 0 default, 1 fast, 2 ultra; every accepted peer runs with it.
    SessionItemKCPServer(const QString& kind, int mode);

    int GetType() override { return TYPE_KCP_SERVER; }
    int GetMode() const { return mode_; }
    SessionItemKCPClient* NewChild(KCPCLIENT client) override;

signals:
    void OnClientConnectedSignal(QTreeWidgetItem* item, KCPCLIENT client);
    void OnClientDisconnectedSignal(QTreeWidgetItem* item, KCPCLIENT client);

protected:
    void EmitClientConnected(KCPCLIENT client) override;
    void EmitClientDisconnected(QTreeWidgetItem* item, KCPCLIENT client) override;
    QByteArray PeerKey(KCPCLIENT client) override;

private:
    int mode_;
};

#endif

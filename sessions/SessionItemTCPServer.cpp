#include "SessionItemTCPServer.h"

namespace {

TCPSERVER Create(int) {
    return tcp_server_create();
}

void OnRecv(TCPCLIENT client, const char* data, int length, void* user) {
    SessionItemTCPServerBase::OnTransportData(user, client, data, length);
}

const SessionItemTCPServerBase::Ops kOps = {
    Create, tcp_server_destroy, tcp_server_set_user_data, tcp_server_set_connect_cb,
    tcp_server_set_disconnect_cb, tcp_server_set_recv_cb, OnRecv, tcp_server_start, tcp_server_close,
    tcp_server_run,
};

}  // namespace

SessionItemTCPServer::SessionItemTCPServer(const QString& kind) : SessionItemTCPServerBase(kind, kOps, 0) {}

SessionItemTCPClient* SessionItemTCPServer::NewChild(TCPCLIENT client) {
    return new SessionItemTCPClient("TCPServer_Client", client);
}

void SessionItemTCPServer::EmitClientConnected(TCPCLIENT client) {
    emit OnClientConnectedSignal(GetTreeItem(), client);
}

void SessionItemTCPServer::EmitClientDisconnected(QTreeWidgetItem* item, TCPCLIENT client) {
    emit OnClientDisconnectedSignal(item, client);
}

#include "SessionItemTCPServer.h"

SessionItemTCPServer::SessionItemTCPServer(const QString& kind)
    : SessionItemTCPServerBase(kind), server_(tcp_server_create()) {
    tcp_server_set_user_data(server_, this);
    tcp_server_set_connect_cb(server_, &SessionItemTCPServer::OnConnect);
    tcp_server_set_disconnect_cb(server_, &SessionItemTCPServer::OnDisconnect);
    tcp_server_set_recv_cb(server_, &SessionItemTCPServer::OnRecv);
}

SessionItemTCPServer::~SessionItemTCPServer() {
    tcp_server_destroy(server_);
}

int SessionItemTCPServer::StartTransport(const struct sockaddr* address) {
    return tcp_server_start(server_, address);
}

void SessionItemTCPServer::StopTransport() {
    tcp_server_close(server_);
}

void SessionItemTCPServer::RunTransport() {
    tcp_server_run(server_, NET_RUN_NOWAIT);
}

void SessionItemTCPServer::EmitClientDisconnected(QTreeWidgetItem* item, TCPCLIENT client) {
    emit OnClientDisconnectedSignal(item, client);
}

void SessionItemTCPServer::OnConnect(TCPCLIENT client, void* user) {
    auto* self = static_cast<SessionItemTCPServer*>(user);
    emit self->OnClientConnectedSignal(self->GetTreeItem(), client);
}

void SessionItemTCPServer::OnDisconnect(TCPCLIENT client, void* user) {
    static_cast<SessionItemTCPServer*>(user)->NotifyDisconnected(client);
}

void SessionItemTCPServer::OnRecv(TCPCLIENT client, const char* data, int length, void* user) {
    static_cast<SessionItemTCPServer*>(user)->ClientReceived(client, data, length);
}

#include "SessionItemKCPServer.h"

#include <netinet/in.h>

namespace {

// A peer's control frames and raw datagrams may come before its handshake
// ends, which takes at most the handshake time-out after the accept; the
// margin covers the ticks between the server's checks and ours.
const unsigned kHoldEarlyDataMs = KCP_HANDSHAKE_TIMEOUT_MS + 1000;

}  // namespace

SessionItemKCPServer::SessionItemKCPServer(const QString& kind, int mode)
    : SessionItemKCPServerBase(kind, kHoldEarlyDataMs), server_(kcp_server_create(mode)), mode_(mode) {
    kcp_server_set_user_data(server_, this);
    kcp_server_set_connect_cb(server_, &SessionItemKCPServer::OnConnect);
    kcp_server_set_disconnect_cb(server_, &SessionItemKCPServer::OnDisconnect);
    kcp_server_set_recv_cb(server_, &SessionItemKCPServer::OnRecv);
}

SessionItemKCPServer::~SessionItemKCPServer() {
    kcp_server_destroy(server_);
}

int SessionItemKCPServer::StartTransport(const struct sockaddr* address) {
    return kcp_server_start(server_, address);
}

void SessionItemKCPServer::StopTransport() {
    kcp_server_stop(server_);
}

void SessionItemKCPServer::RunTransport() {
    kcp_server_run(server_, NET_RUN_NOWAIT);
}

void SessionItemKCPServer::EmitClientDisconnected(QTreeWidgetItem* item, KCPCLIENT client) {
    emit OnClientDisconnectedSignal(item, client);
}

// A peer that closes before its handshake vanishes without a notification and
// its handle's memory may go to the next peer; the peer's TCP address tells them apart.
QByteArray SessionItemKCPServer::PeerKey(KCPCLIENT client) {
    struct sockaddr_in address = {};
    if (kcp_client_remote_addr(client, reinterpret_cast<struct sockaddr*>(&address)) != 0)
        return QByteArray();
    return QByteArray(reinterpret_cast<const char*>(&address), (int)sizeof(address));
}

void SessionItemKCPServer::OnConnect(KCPCLIENT client, void* user) {
    auto* self = static_cast<SessionItemKCPServer*>(user);
    emit self->OnClientConnectedSignal(self->GetTreeItem(), client);
}

void SessionItemKCPServer::OnDisconnect(KCPCLIENT client, void* user) {
    static_cast<SessionItemKCPServer*>(user)->NotifyDisconnected(client);
}

// The channel is not shown: every message of every channel is one line.
void SessionItemKCPServer::OnRecv(KCPCLIENT client, const char* data, int length, int, void* user) {
    static_cast<SessionItemKCPServer*>(user)->ClientReceived(client, data, length);
}

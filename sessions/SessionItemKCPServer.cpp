#include "SessionItemKCPServer.h"

#include <netinet/in.h>

namespace {

// A peer's control frames and raw datagrams may come before its handshake
// ends, which takes at most the handshake time-out after the accept; the
// margin covers the ticks between the server's checks and ours.
const unsigned kHoldEarlyDataMs = KCP_HANDSHAKE_TIMEOUT_MS + 1000;

// The channel is not shown: every message of every channel is one line.
void OnRecv(KCPCLIENT client, const char* data, int length, int, void* user) {
    SessionItemKCPServerBase::OnTransportData(user, client, data, length);
}

const SessionItemKCPServerBase::Ops kOps = {
    kcp_server_create, kcp_server_destroy, kcp_server_set_user_data, kcp_server_set_connect_cb,
    kcp_server_set_disconnect_cb, kcp_server_set_recv_cb, OnRecv, kcp_server_start, kcp_server_stop,
    kcp_server_run,
};

}  // namespace

SessionItemKCPServer::SessionItemKCPServer(const QString& kind, int mode)
    : SessionItemKCPServerBase(kind, kOps, mode, kHoldEarlyDataMs), mode_(mode) {}

// The accepted peer runs with its server's mode.
SessionItemKCPClient* SessionItemKCPServer::NewChild(KCPCLIENT client) {
    return new SessionItemKCPClient("KCPServer_Client", mode_, client);
}

void SessionItemKCPServer::EmitClientConnected(KCPCLIENT client) {
    emit OnClientConnectedSignal(GetTreeItem(), client);
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

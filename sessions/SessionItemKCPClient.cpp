#include "SessionItemKCPClient.h"

namespace {

// The channel is not shown: every message of every channel is one line.
void OnRecv(const char* data, int length, int, void* user) {
    SessionItemClient::OnTransportData(user, data, length);
}

int Send(KCPCLIENT client, const char* data, int length) {
    return kcp_client_send(client, data, length, SessionItemKCPClient::kSendMode);
}

const SessionItemKCPClientBase::Ops kOps = {
    kcp_client_create, kcp_client_destroy, kcp_client_set_user_data, kcp_client_set_connect_cb,
    kcp_client_set_disconnect_cb, kcp_client_set_recv_cb, OnRecv, kcp_client_start, kcp_client_run,
    kcp_client_stop, Send, kcp_client_local_addr, kcp_client_remote_addr,
    kcp_client_queued_bytes,
};

}  // namespace

SessionItemKCPClient::SessionItemKCPClient(const QString& kind, int mode, KCPCLIENT accepted)
    : SessionItemKCPClientBase(kind, kOps, mode, accepted, TYPE_KCP_CLIENT, TYPE_KCP_SERVER_CLIENT) {}

void SessionItemKCPClient::EmitConnectResult(bool success) {
    emit OnClientConnectResultSignal(success, GetTreeItem(), GetHandle());
}

void SessionItemKCPClient::EmitDisconnected() {
    emit OnClientDisconnectedSignal(GetTreeItem());
}

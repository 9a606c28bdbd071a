#include "SessionItemTCPClient.h"

namespace {

TCPCLIENT Create(int) {
    return tcp_client_create();
}

void OnRecv(const char* data, int64_t nread, void* user) {
    SessionItemClient::OnTransportData(user, data, nread);
}

const SessionItemTCPClientBase::Ops kOps = {
    Create, tcp_client_destroy, tcp_client_set_user_data, tcp_client_set_connect_cb,
    tcp_client_set_disconnect_cb, tcp_client_set_recv_cb, OnRecv, tcp_client_start, tcp_client_run,
    tcp_client_close, tcp_client_send, tcp_client_local_addr, tcp_client_remote_addr,
    tcp_client_queued_bytes,
};

}  // namespace

SessionItemTCPClient::SessionItemTCPClient(const QString& kind, TCPCLIENT accepted)
    : SessionItemTCPClientBase(kind, kOps, 0, accepted, TYPE_TCP_CLIENT, TYPE_TCP_SERVER_CLIENT) {}

void SessionItemTCPClient::EmitConnectResult(bool success) {
    emit OnClientConnectResultSignal(success, GetTreeItem(), GetHandle());
}

void SessionItemTCPClient::EmitDisconnected() {
    emit OnClientDisconnectedSignal(GetTreeItem());
}

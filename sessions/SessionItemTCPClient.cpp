#include "SessionItemTCPClient.h"

namespace {

TCPCLIENT Create(int) {
    return tcp_client_create();
}

void OnRecv(const char* data, int64_t nread, void* user) {
    SessionItemClientOf<TCPCLIENT>::OnTransportData(user, data, nread);
}

void Attach(TCPCLIENT client, void* user) {
    tcp_client_set_user_data(client, user);
    tcp_client_set_connect_cb(client, &SessionItemClient::OnTransportConnect);
    tcp_client_set_disconnect_cb(client, &SessionItemClient::OnTransportDisconnect);
    tcp_client_set_recv_cb(client, &OnRecv);
}

const ClientOps<TCPCLIENT> kOps = {
    Create,          tcp_client_destroy,     Attach,
    tcp_client_start, tcp_client_run,         tcp_client_close,
    tcp_client_send, tcp_client_local_addr, tcp_client_remote_addr,
};

}  // namespace

SessionItemTCPClient::SessionItemTCPClient(const QString& kind, TCPCLIENT accepted)
    : SessionItemClientOf(kind, kOps, 0, accepted, TYPE_TCP_CLIENT, TYPE_TCP_SERVER_CLIENT) {}

void SessionItemTCPClient::EmitConnectResult(bool success) {
    emit OnClientConnectResultSignal(success, GetTreeItem(), GetHandle());
}

void SessionItemTCPClient::EmitDisconnected() {
    emit OnClientDisconnectedSignal(GetTreeItem());
}

#include "SessionItemTCPClient.h"

SessionItemTCPClient::SessionItemTCPClient(const QString& kind, TCPCLIENT accepted)
    : SessionItemClient(kind, accepted != nullptr, TYPE_TCP_CLIENT, TYPE_TCP_SERVER_CLIENT),
      client_(accepted) {
    if (accepted != nullptr)
        return;
    client_ = tcp_client_create();
    tcp_client_set_user_data(client_, this);
    tcp_client_set_connect_cb(client_, &SessionItemTCPClient::OnConnect);
    tcp_client_set_disconnect_cb(client_, &SessionItemTCPClient::OnDisconnect);
    tcp_client_set_recv_cb(client_, &SessionItemTCPClient::OnRecv);
}

SessionItemTCPClient::~SessionItemTCPClient() {
    // An accepted connection belongs to the server's transport object.
    if (!IsAccepted())
        tcp_client_destroy(client_);
}

void SessionItemTCPClient::StartTransport(const struct sockaddr* target, unsigned timeoutMs) {
    tcp_client_start(client_, target, (int)timeoutMs);
}

void SessionItemTCPClient::RunTransport() {
    tcp_client_run(client_, NET_RUN_NOWAIT);
}

void SessionItemTCPClient::CloseTransport() {
    tcp_client_close(client_);
}

int SessionItemTCPClient::SendTransport(const QByteArray& data) {
    return tcp_client_send(client_, data.constData(), data.size());
}

int SessionItemTCPClient::LocalAddress(struct sockaddr* out) {
    return tcp_client_local_addr(client_, out);
}

int SessionItemTCPClient::RemoteAddress(struct sockaddr* out) {
    return tcp_client_remote_addr(client_, out);
}

void SessionItemTCPClient::EmitConnectResult(bool success) {
    emit OnClientConnectResultSignal(success, GetTreeItem(), client_);
}

void SessionItemTCPClient::EmitDisconnected() {
    emit OnClientDisconnectedSignal(GetTreeItem());
}

void SessionItemTCPClient::OnConnect(int status, const char*, void* user) {
    static_cast<SessionItemTCPClient*>(user)->ConnectFinished(status);
}

void SessionItemTCPClient::OnRecv(const char* data, int64_t nread, void* user) {
    if (nread >= 0)
        static_cast<SessionItemTCPClient*>(user)->ReceiveBytes(QByteArray(data, (int)nread));
}

void SessionItemTCPClient::OnDisconnect(void* user) {
    static_cast<SessionItemTCPClient*>(user)->ConnectionEnded();
}

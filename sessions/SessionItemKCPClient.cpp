#include "SessionItemKCPClient.h"

SessionItemKCPClient::SessionItemKCPClient(const QString& kind, int mode, KCPCLIENT accepted)
    : SessionItemClient(kind, accepted != nullptr, TYPE_KCP_CLIENT, TYPE_KCP_SERVER_CLIENT),
      client_(accepted),
      mode_(mode) {
    if (accepted != nullptr)
        return;
    client_ = kcp_client_create(mode);
    kcp_client_set_user_data(client_, this);
    kcp_client_set_connect_cb(client_, &SessionItemKCPClient::OnConnect);
    kcp_client_set_disconnect_cb(client_, &SessionItemKCPClient::OnDisconnect);
    kcp_client_set_recv_cb(client_, &SessionItemKCPClient::OnRecv);
}

SessionItemKCPClient::~SessionItemKCPClient() {
    // An accepted peer belongs to the server's transport object.
    if (!IsAccepted())
        kcp_client_destroy(client_);
}

void SessionItemKCPClient::StartTransport(const struct sockaddr* target, unsigned timeoutMs) {
    kcp_client_start(client_, target, (int)timeoutMs);
}

void SessionItemKCPClient::RunTransport() {
    kcp_client_run(client_, NET_RUN_NOWAIT);
}

void SessionItemKCPClient::CloseTransport() {
    kcp_client_stop(client_);
}

int SessionItemKCPClient::SendTransport(const QByteArray& data) {
    return kcp_client_send(client_, data.constData(), data.size(), sendMode_);
}

int SessionItemKCPClient::LocalAddress(struct sockaddr* out) {
    return kcp_client_local_addr(client_, out);
}

int SessionItemKCPClient::RemoteAddress(struct sockaddr* out) {
    return kcp_client_remote_addr(client_, out);
}

void SessionItemKCPClient::EmitConnectResult(bool success) {
    emit OnClientConnectResultSignal(success, GetTreeItem(), client_);
}

void SessionItemKCPClient::EmitDisconnected() {
    emit OnClientDisconnectedSignal(GetTreeItem());
}

void SessionItemKCPClient::OnConnect(int code, const char*, void* user) {
    static_cast<SessionItemKCPClient*>(user)->ConnectFinished(code);
}

// The channel is not shown: every message of every channel is one line.
void SessionItemKCPClient::OnRecv(const char* data, int length, int, void* user) {
    if (length >= 0)
        static_cast<SessionItemKCPClient*>(user)->ReceiveBytes(QByteArray(data, length));
}

void SessionItemKCPClient::OnDisconnect(void* user) {
    static_cast<SessionItemKCPClient*>(user)->ConnectionEnded();
}

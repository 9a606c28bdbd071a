#include "SessionItemUDPClient.h"

#include <uv.h>

#include "SessionAddress.h"

SessionItemUDPClient::SessionItemUDPClient(const QString& kind) : SessionItem(kind) {
    endpoint_ = udp_client_create();
    udp_client_set_user_data(endpoint_, this);
    udp_client_set_recv_cb(endpoint_, OnRecv);
}

SessionItemUDPClient::~SessionItemUDPClient() {
    udp_client_destroy(endpoint_);
}

int SessionItemUDPClient::GetType() {
    return TYPE_UDP;
}

void SessionItemUDPClient::OnRecv(const char* data, int64_t nread, const struct sockaddr*,
                                  void* user) {
    // The sender is not shown: every datagram is one line, whoever sent it.
    static_cast<SessionItemUDPClient*>(user)->ReceiveBytes(data, int(nread));
}

bool SessionItemUDPClient::Start(const QByteArray& remoteIp, quint32 remotePort,
                                 const QByteArray& localIp, quint32 localPort, bool multicast,
                                 const QByteArray& interfaceIp) {
    remoteIp_ = remoteIp;
    remotePort_ = remotePort;
    localIp_ = localIp;
    localPort_ = localPort;
    multicast_ = multicast;
    interfaceIp_ = interfaceIp;
    return Restart();
}

bool SessionItemUDPClient::Restart() {
    open_ = false;
    CancelLookup();
    // A group member listens on the group's own port.
    const quint32 port = multicast_ ? remotePort_ : localPort_;
    QString error;
    // A group is joined by its address; only a plain remote may be a host name.
    const bool name = !multicast_ && IsHostName(remoteIp_);
    if ((name ? !CheckPort(remotePort_, AddressRole::Remote, &error)
              : !ParseAddress(remoteIp_, remotePort_, AddressRole::Remote, (struct sockaddr*)&remote_, &error)) ||
        !ParseAddress(localIp_, port, AddressRole::Local, (struct sockaddr*)&bind_, &error))
        return Fail(error);
    if (!name)
        return Open();
    ClearError();
    LookUp(remoteIp_, [this](const QByteArray& ip, const QString& why) { OnResolved(ip, why); });
    return true;
}

void SessionItemUDPClient::OnResolved(const QByteArray& ip, const QString& error) {
    QString why = error;
    if (ip.isEmpty() || !ParseAddress(ip, remotePort_, AddressRole::Remote, (struct sockaddr*)&remote_, &why)) {
        FailLater(QString("cannot resolve host %0: %1").arg(QString::fromUtf8(remoteIp_), why));
        return;
    }
    if (Open())
        emit OnStateChanged(GetTreeItem());
    else
        FailLater(GetLastError());
}

bool SessionItemUDPClient::Open() {
    if (udp_client_start(endpoint_, (const struct sockaddr*)&bind_) != 0)
        return Fail(QString::fromUtf8(net_last_error()));
    if (multicast_) {
        const char* iface = interfaceIp_.isEmpty() ? nullptr : interfaceIp_.constData();
        const int rc = udp_client_join_multicast(endpoint_, remoteIp_.constData(), iface);
        if (rc != 0) {
            // The endpoint leaves the library's last error alone here; say what
            // failed rather than show an older, unrelated text. A session that is
            // not open does not keep the group's port either.
            udp_client_close(endpoint_);
            return Fail(QString("udp client join multicast %0 failed: %1")
                            .arg(QString::fromUtf8(remoteIp_), QString::fromUtf8(uv_strerror(rc))));
        }
    }
    // Best effort: without the larger buffer only bursts beyond the default are lost.
    udp_client_set_recv_buffer_size(endpoint_, kRecvBufferBytes);
    ClearError();
    open_ = true;
    dropped_ = 0;
    return true;
}

void SessionItemUDPClient::Update() {
    SessionItem::Update();
    udp_client_run(endpoint_, NET_RUN_NOWAIT);
}

void SessionItemUDPClient::Close() {
    CancelLookup();
    GetDroppedCount();  // the socket's count goes with it
    udp_client_close(endpoint_);
    open_ = false;
}

bool SessionItemUDPClient::Send(const QByteArray& data) {
    // The socket of a failed start may still exist, and a send would bind it anywhere.
    if (!open_)
        return Fail("udp client is not open");
    if (udp_client_send(endpoint_, data.constData(), data.size(), (const struct sockaddr*)&remote_) > 0)
        return true;
    return Fail(QString::fromUtf8(net_last_error()));
}

qint64 SessionItemUDPClient::GetDroppedCount() const {
    if (open_)
        dropped_ = qMax<qint64>(udp_client_dropped(endpoint_), -1);
    return dropped_;
}

int SessionItemUDPClient::GetLocalPort() const {
    struct sockaddr_in local = {};
    udp_client_local_addr(endpoint_, (struct sockaddr*)&local);
    unsigned port = 0;
    char text[16];
    net_addr_to_ip((const struct sockaddr*)&local, text, &port);
    return int(port);
}

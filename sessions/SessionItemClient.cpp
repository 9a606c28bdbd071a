#include "SessionItemClient.h"

#include <netinet/in.h>

#include "SessionAddress.h"
#include "transport.h"

SessionItemClient::SessionItemClient(const QString& kind, bool accepted, int outgoingType,
                                     int acceptedType)
    : SessionItem(kind),
      accepted_(accepted),
      connected_(accepted),
      outgoingType_(outgoingType),
      acceptedType_(acceptedType) {}

void SessionItemClient::SetTarget(const QByteArray& ip, unsigned port, unsigned timeoutMs) {
    ip_ = ip;
    port_ = port;
    timeout_ = timeoutMs;
}

bool SessionItemClient::Connect() {
    CancelLookup();
    struct sockaddr* target = net_shared_addr();
    QString error;
    const bool name = IsHostName(ip_);
    if (name ? !CheckPort(port_, AddressRole::Target, &error)
             : !ParseAddress(ip_, port_, AddressRole::Target, target, &error))
        return Fail(error);
    ClearError();
    connected_ = false;
    connecting_ = true;
    if (name)
        LookUp(ip_, [this](const QByteArray& ip, const QString& why) { OnResolved(ip, why); });
    else
        StartTransport(target, timeout_);
    return true;
}

void SessionItemClient::OnResolved(const QByteArray& ip, const QString& error) {
    struct sockaddr* target = net_shared_addr();
    QString why = error;
    if (ip.isEmpty() || !ParseAddress(ip, port_, AddressRole::Target, target, &why)) {
        connecting_ = false;
        FailLater(QString("cannot resolve host %0: %1").arg(QString::fromUtf8(ip_), why));
        return;
    }
    StartTransport(target, timeout_);
    emit OnStateChanged(GetTreeItem());  // the panel leaves the lookup for the connect
}

int SessionItemClient::GetType() {
    return accepted_ ? acceptedType_ : outgoingType_;
}

void SessionItemClient::Update() {
    SessionItem::Update();
    // An accepted connection runs on its server's loop, which the server runs.
    if (!accepted_)
        RunTransport();
}

void SessionItemClient::Close() {
    CancelLookup();
    connected_ = false;
    connecting_ = false;
    CloseTransport();
}

bool SessionItemClient::Send(const QByteArray& data) {
    if (SendTransport(data) > 0)
        return true;
    return Fail(QString::fromUtf8(net_last_error()));
}

qint64 SessionItemClient::QueuedBytes() const {
    return QueuedTransport();
}

bool SessionItemClient::ReadAddress(bool local, QString* ip, int* port) {
    struct sockaddr_in address = {};
    struct sockaddr* raw = reinterpret_cast<struct sockaddr*>(&address);
    if ((local ? LocalAddress(raw) : RemoteAddress(raw)) != 0)
        return false;
    char text[16] = {0};
    unsigned number = 0;
    net_addr_to_ip(raw, text, &number);
    if (ip != nullptr)
        *ip = QString::fromLatin1(text);
    if (port != nullptr)
        *port = (int)number;
    return true;
}

int SessionItemClient::GetLocalPort() {
    int port = 0;
    ReadAddress(true, nullptr, &port);
    return port;
}

QString SessionItemClient::GetPeerIP() {
    QString ip = "0.0.0.0";
    ReadAddress(false, &ip, nullptr);
    return ip;
}

int SessionItemClient::GetPeerPort() {
    int port = 0;
    ReadAddress(false, nullptr, &port);
    return port;
}

void SessionItemClient::OnTransportConnect(int status, const char*, void* user) {
    auto* self = static_cast<SessionItemClient*>(user);
    if (self->muted_)
        return;
    self->connected_ = (status == 0);
    self->connecting_ = false;
    self->EmitConnectResult(status == 0);
}

void SessionItemClient::OnTransportDisconnect(void* user) {
    auto* self = static_cast<SessionItemClient*>(user);
    if (self->muted_)
        return;
    self->connected_ = false;
    self->EmitDisconnected();
}

void SessionItemClient::OnTransportData(void* user, const char* data, int64_t length) {
    if (length >= 0)
        static_cast<SessionItemClient*>(user)->ReceiveBytes(data, (int)length);
}

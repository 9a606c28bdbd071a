#include "SessionItemServer.h"

#include "SessionAddress.h"
#include "transport.h"

SessionItemServer::SessionItemServer(const QString& kind) : SessionItem(kind) {}

bool SessionItemServer::Start(const QByteArray& ip, unsigned port) {
    ip_ = ip;
    port_ = port;
    return Restart();
}

bool SessionItemServer::Restart() {
    running_ = false;
    struct sockaddr* address = net_shared_addr();
    QString error;
    if (!ParseAddress(ip_, port_, AddressRole::Local, address, &error))
        return Fail(error);
    if (StartTransport(address) != 0)
        return Fail(QString::fromUtf8(net_last_error()));
    ClearError();
    running_ = true;
    return true;
}

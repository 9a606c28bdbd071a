#include "SessionItemServer.h"

#include "transport.h"

SessionItemServer::SessionItemServer(const QString& kind) : SessionItem(kind) {}

bool SessionItemServer::Start(const QByteArray& ip, unsigned port) {
    ip_ = ip;
    port_ = port;
    return Restart();
}

bool SessionItemServer::Restart() {
    struct sockaddr* address = net_shared_addr();
    // The conversion leaves 0.0.0.0 behind on bad text, and a port above 65535
    // would wrap to another one; neither is what the user typed, so refuse.
    if (port_ > 65535 || net_ip_to_addr(ip_.constData(), (uint16_t)port_, address) != 0) {
        running_ = false;
        return false;
    }
    running_ = (StartTransport(address) == 0);
    return running_;
}

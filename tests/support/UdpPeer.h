// A plain UDP socket as the far end of a UDP session under test: a peer on
// loopback, or another member of a multicast group inside a private namespace.
#ifndef MAROVENT_TESTS_UDPPEER_H
#define MAROVENT_TESTS_UDPPEER_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <QByteArray>

#include <functional>

#include "support/Ipv4.h"

namespace udppeer {

class UdpPeer {
public:
    explicit UdpPeer(const char* ip = "127.0.0.1", uint16_t port = 0) {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const sockaddr_in addr = TestIpv4(ip, port);
        bound_ = fd_ >= 0 && bind(fd_, (const sockaddr*)&addr, sizeof(addr)) == 0;
        // Group traffic leaves through loopback, never a real interface.
        in_addr lo;
        inet_pton(AF_INET, "127.0.0.1", &lo);
        setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_IF, &lo, sizeof(lo));
    }
    ~UdpPeer() {
        if (fd_ >= 0)
            close(fd_);
    }
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    bool Bound() const { return bound_; }
    uint16_t Port() const {
        sockaddr_in addr;
        memset(&addr, 0, sizeof(addr));
        socklen_t len = sizeof(addr);
        getsockname(fd_, (sockaddr*)&addr, &len);
        return ntohs(addr.sin_port);
    }
    bool SendTo(const QByteArray& data, const char* ip, uint16_t port) const {
        const sockaddr_in to = TestIpv4(ip, port);
        return sendto(fd_, data.constData(), size_t(data.size()), 0, (const sockaddr*)&to,
                      sizeof(to)) == data.size();
    }
    // One datagram, or empty when none came within limitMs; idle runs between
    // polls (a window test keeps its event loop turning there).
    QByteArray Receive(int limitMs = 3000,
                       const std::function<void()>& idle = [] { usleep(1000); }) const {
        const long long deadline = NowMs() + limitMs;
        char buf[2048];
        for (;;) {
            const ssize_t n = recv(fd_, buf, sizeof(buf), 0);
            if (n >= 0)
                return QByteArray(buf, int(n));
            if (NowMs() >= deadline)
                return QByteArray();
            idle();
        }
    }

private:
    static long long NowMs() {
        struct timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
    }

    int fd_ = -1;
    bool bound_ = false;
};

// A port nobody holds at the moment of asking.
inline uint16_t FreePort(const char* ip = "127.0.0.1") {
    UdpPeer probe(ip);
    return probe.Port();
}

}  // namespace udppeer

#endif

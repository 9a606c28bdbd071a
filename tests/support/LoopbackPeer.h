// Plain sockets on 127.0.0.1 for tests and benchmarks: the far end of a
// session, independent of the transport library under test.
#ifndef MAROVENT_TESTS_LOOPBACKPEER_H
#define MAROVENT_TESTS_LOOPBACKPEER_H

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QByteArray>

namespace loopback {

inline sockaddr_in Address(uint16_t port) {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

inline void SetNonBlocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// A listening socket on an ephemeral loopback port; -1 on failure.
inline int Listen(uint16_t* port, int backlog = 16) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = Address(0);
    socklen_t length = sizeof(address);
    if (fd < 0 || bind(fd, (sockaddr*)&address, sizeof(address)) != 0 || listen(fd, backlog) != 0 ||
        getsockname(fd, (sockaddr*)&address, &length) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    *port = ntohs(address.sin_port);
    SetNonBlocking(fd);
    return fd;
}

// A loopback port that nothing listens on right now.
inline uint16_t FreePort() {
    uint16_t port = 0;
    int fd = Listen(&port);
    if (fd >= 0)
        close(fd);
    return port;
}

// Starts a non-blocking connect; the caller pumps the session until it completes.
inline int Connect(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    SetNonBlocking(fd);
    sockaddr_in address = Address(port);
    if (connect(fd, (sockaddr*)&address, sizeof(address)) != 0 && errno != EINPROGRESS) {
        close(fd);
        return -1;
    }
    return fd;
}

inline int Accept(int listener) {
    int fd = accept(listener, nullptr, nullptr);
    if (fd >= 0)
        SetNonBlocking(fd);
    return fd;
}

// Whatever is waiting, without blocking. *closed is set on end of stream.
inline QByteArray ReadAvailable(int fd, bool* closed = nullptr) {
    QByteArray all;
    char buffer[65536];
    for (;;) {
        ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
        if (n > 0) {
            all.append(buffer, (int)n);
            continue;
        }
        if (n == 0 && closed != nullptr)
            *closed = true;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && closed != nullptr)
            *closed = true;
        return all;
    }
}

// Sends as much as the socket takes now; returns the count (0 when full).
inline int SendSome(int fd, const char* data, int length) {
    ssize_t n = send(fd, data, (size_t)length, MSG_NOSIGNAL);
    return n > 0 ? (int)n : 0;
}

inline bool SendAll(int fd, const QByteArray& data, int timeoutMs = 5000) {
    int offset = 0;
    while (offset < data.size()) {
        int n = SendSome(fd, data.constData() + offset, data.size() - offset);
        if (n == 0) {
            pollfd p = {fd, POLLOUT, 0};
            if (poll(&p, 1, timeoutMs) <= 0)
                return false;
        }
        offset += n;
    }
    return true;
}

}  // namespace loopback

#endif

// The tests' one set of network plumbing, free of Qt and of the library under
// test: raw loopback TCP and UDP peers, one bounded wait, one watchdog, and a
// private network namespace for broadcast and multicast.
#ifndef MAROVENT_TESTS_NET_H
#define MAROVENT_TESTS_NET_H

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <string>

namespace testnet {

inline sockaddr_in Ipv4(const char* ip, uint16_t port) {
    sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    inet_pton(AF_INET, ip, &addr.sin_addr);
    return addr;
}

inline const sockaddr* Sa(const sockaddr_in& addr) {
    return (const sockaddr*)&addr;
}

inline uint16_t PortOf(int fd) {
    sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    socklen_t length = sizeof(addr);
    getsockname(fd, (sockaddr*)&addr, &length);
    return ntohs(addr.sin_port);
}

inline long long NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// The one bounded wait: calls step (a loop run, a tick) until done() holds or
// ms pass; returns done(). With a done that never holds it runs for ms.
inline bool WaitUntil(const std::function<void()>& step, const std::function<bool()>& done,
                      int ms = 5000) {
    const long long deadline = NowMs() + ms;
    while (!done()) {
        if (NowMs() >= deadline)
            return false;
        step();
        usleep(1000);
    }
    return true;
}

inline void RunFor(const std::function<void()>& step, int ms) {
    WaitUntil(step, [] { return false; }, ms);
}

// Ends the program when a test outlives its budget, so a hang shows up as a
// failure with a name instead of a stuck suite.
struct Watchdog {
    explicit Watchdog(unsigned seconds = 60) { alarm(seconds); }
    ~Watchdog() { alarm(0); }
};

/* ---- TCP ---- */

inline bool Readable(int fd, int ms) {
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, ms) == 1;
}

// A non-blocking listener on 127.0.0.1 at a free port; -1 on failure.
inline int Listen(uint16_t* port, int backlog = 16) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in addr = Ipv4("127.0.0.1", 0);
    if (fd < 0 || bind(fd, Sa(addr), sizeof(addr)) != 0 || listen(fd, backlog) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    *port = PortOf(fd);
    return fd;
}

// A loopback TCP port that nothing listens on right now.
inline uint16_t FreePort() {
    uint16_t port = 0;
    int fd = Listen(&port);
    if (fd >= 0)
        close(fd);
    return port;
}

// A non-blocking connect to 127.0.0.1:port; the caller pumps its side until it completes.
inline int Connect(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in addr = Ipv4("127.0.0.1", port);
    if (fd >= 0 && connect(fd, Sa(addr), sizeof(addr)) != 0 && errno != EINPROGRESS) {
        close(fd);
        return -1;
    }
    return fd;
}

// A non-blocking accepted socket, or -1 when none came within ms.
inline int Accept(int listener, int ms = 0) {
    if (ms > 0 && !Readable(listener, ms))
        return -1;
    return accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
}

// Whatever is waiting now, without blocking; *closed is set on end of stream or an error.
inline std::string ReadSome(int fd, bool* closed = nullptr) {
    std::string all;
    char buffer[65536];
    for (;;) {
        ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
        if (n > 0) {
            all.append(buffer, (size_t)n);
            continue;
        }
        if (closed != nullptr && (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)))
            *closed = true;
        return all;
    }
}

inline bool SendAll(int fd, const std::string& data, int ms = 5000) {
    size_t offset = 0;
    while (offset < data.size()) {
        ssize_t n = send(fd, data.data() + offset, data.size() - offset, MSG_NOSIGNAL);
        if (n > 0) {
            offset += (size_t)n;
            continue;
        }
        pollfd p = {fd, POLLOUT, 0};
        if ((n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) || poll(&p, 1, ms) <= 0)
            return false;
    }
    return true;
}

// Closes with linger time 0, so the other side sees a reset.
inline void Reset(int fd) {
    struct linger l = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
    close(fd);
}

/* ---- UDP ---- */

// A plain UDP socket playing the remote peer.
class UdpPeer {
public:
    explicit UdpPeer(const char* ip = "127.0.0.1", uint16_t port = 0) {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const sockaddr_in addr = Ipv4(ip, port);
        bound_ = fd_ >= 0 && bind(fd_, Sa(addr), sizeof(addr)) == 0;
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
    int Fd() const { return fd_; }
    uint16_t Port() const { return PortOf(fd_); }
    bool SendTo(const std::string& data, const char* ip, uint16_t port) const {
        const sockaddr_in to = Ipv4(ip, port);
        return sendto(fd_, data.data(), data.size(), 0, Sa(to), sizeof(to)) == (ssize_t)data.size();
    }
    // One datagram, or *ok false when none came within ms; idle runs between
    // polls (a window test keeps its event loop turning there).
    std::string Receive(bool* ok, int ms = 3000, const std::function<void()>& idle = [] {}) const {
        char buf[65536];
        std::string got;
        *ok = WaitUntil(idle, [&] {
            ssize_t n = recv(fd_, buf, sizeof(buf), 0);
            if (n >= 0)
                got.assign(buf, (size_t)n);
            return n >= 0;
        }, ms);
        return got;
    }

private:
    int fd_ = -1;
    bool bound_ = false;
};

// A loopback UDP port nobody holds at the moment of asking.
inline uint16_t FreeUdpPort(const char* ip = "127.0.0.1") {
    UdpPeer probe(ip);
    return probe.Port();
}

/* ---- Private network namespace ---- */

// Exit status of a child that could not enter a namespace: the test is skipped.
const int kNoNamespace = 77;

// Loopback up with multicast, and 224.0.0.0/4 routed to it, in the namespace
// the calling process has just entered.
inline bool SetUpLoopback() {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return false;
    ifreq ifr;
    memset(&ifr, 0, sizeof(ifr));
    strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags |= IFF_UP | IFF_MULTICAST;
    ok = ok && ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    rtentry route;
    memset(&route, 0, sizeof(route));
    const sockaddr_in dst = Ipv4("224.0.0.0", 0);
    const sockaddr_in mask = Ipv4("240.0.0.0", 0);
    memcpy(&route.rt_dst, &dst, sizeof(dst));
    memcpy(&route.rt_genmask, &mask, sizeof(mask));
    route.rt_flags = RTF_UP;
    char dev[] = "lo";
    route.rt_dev = dev;
    ok = ok && ioctl(fd, SIOCADDRT, &route) == 0;
    close(fd);
    return ok;
}

// Runs body in a forked child inside fresh user and network namespaces, so its
// broadcast and multicast traffic never reaches the machine's interfaces. body
// returns the child's exit status (0 passed). Returns that status, kNoNamespace
// when namespaces cannot be made here, 128 + signal when the child died.
inline int RunInNamespace(const std::function<int()>& body, unsigned watchdogSeconds = 30) {
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        alarm(watchdogSeconds);
        if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0 || !SetUpLoopback())
            _exit(kNoNamespace);
        int status = body();
        fflush(stdout);
        fflush(stderr);
        _exit(status);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

}  // namespace testnet

#endif

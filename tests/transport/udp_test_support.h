// Helpers shared by the UDP endpoint and UDP group tests: loopback addresses,
// plain peer sockets, bounded waits, descriptor exhaustion and a private
// network namespace for broadcast and multicast.
#ifndef MAROVENT_TESTS_UDP_TEST_SUPPORT_H
#define MAROVENT_TESTS_UDP_TEST_SUPPORT_H

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/NetNamespace.h"
#include "transport.h"

namespace udptest {

inline sockaddr_in ipv4(const char* ip, uint16_t port) { return TestIpv4(ip, port); }

inline sockaddr_in loopback(uint16_t port) { return ipv4("127.0.0.1", port); }

inline const sockaddr* sa(const sockaddr_in& addr) { return (const sockaddr*)&addr; }

inline uint16_t port_of(UDPCLIENT client) {
    sockaddr_in local;
    memset(&local, 0xff, sizeof(local));
    EXPECT_EQ(udp_client_local_addr(client, (sockaddr*)&local), 0);
    return ntohs(local.sin_port);
}

// Polls until done() or the time limit; every wait in these tests is bounded by it.
inline bool wait_for(const std::function<void()>& run, const std::function<bool()>& done,
                     int limit_ms = 3000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        run();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Runs for a fixed, short time: for checking that something does NOT arrive.
inline void run_for(const std::function<void()>& run, int ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < deadline) {
        run();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// A plain UDP socket playing the remote peer.
class Peer {
public:
    explicit Peer(const char* ip = "127.0.0.1", uint16_t port = 0) {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        sockaddr_in addr = ipv4(ip, port);
        bound_ = fd_ >= 0 && bind(fd_, sa(addr), sizeof(addr)) == 0;
    }
    ~Peer() {
        if (fd_ >= 0)
            close(fd_);
    }
    bool bound() const { return bound_; }
    int fd() const { return fd_; }
    uint16_t port() const { return ntohs(address().sin_port); }
    sockaddr_in address() const {
        sockaddr_in addr;
        memset(&addr, 0, sizeof(addr));
        socklen_t len = sizeof(addr);
        getsockname(fd_, (sockaddr*)&addr, &len);
        return addr;
    }
    ssize_t send_to(const std::string& data, const sockaddr_in& to) const {
        return sendto(fd_, data.data(), data.size(), 0, sa(to), sizeof(to));
    }
    // One datagram, or "" with ok false when none arrived in time.
    std::string receive(bool* ok, int limit_ms = 3000) const {
        char buf[65536];
        std::string got;
        *ok = wait_for([] {}, [&] {
            ssize_t n = recv(fd_, buf, sizeof(buf), 0);
            if (n >= 0)
                got.assign(buf, (size_t)n);
            return n >= 0;
        }, limit_ms);
        return got;
    }

private:
    int fd_ = -1;
    bool bound_ = false;
};

// Uses up every free descriptor under a lowered limit, so that anything needing
// one (a loop, a socket) fails; everything is given back on destruction.
class FdExhaustion {
public:
    FdExhaustion() {
        getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit low = saved_;
        low.rlim_cur = 256;
        setrlimit(RLIMIT_NOFILE, &low);
        for (int i = 0; i < 256; ++i) {
            int fd = dup(0);
            if (fd < 0)
                break;
            fds_.push_back(fd);
        }
    }
    ~FdExhaustion() { release(); }
    void release() {
        for (int fd : fds_)
            close(fd);
        fds_.clear();
        setrlimit(RLIMIT_NOFILE, &saved_);
    }
    bool exhausted() const {
        int fd = dup(0);
        if (fd >= 0)
            close(fd);
        return fd < 0 && errno == EMFILE;
    }

private:
    rlimit saved_;
    std::vector<int> fds_;
};

inline bool setup_namespace_loopback() { return netns::SetUpLoopback(); }

// Every test gets a watchdog: a hang ends the program instead of the suite's time.
class WatchdogTest : public ::testing::Test {
protected:
    void SetUp() override { alarm(60); }
    void TearDown() override { alarm(0); }
};

const int kNoNamespace = netns::kUnavailable;

// Runs body in a forked child inside a fresh user and network namespace, so its
// broadcast and multicast traffic never reaches the machine's interfaces.
// Returns the child's exit status: 0 passed, kNoNamespace when namespaces are
// unavailable here, anything else failed (the child printed why).
inline int run_in_namespace(const std::function<void()>& body) {
    return netns::RunInNamespace([&body] {
        body();
        return ::testing::Test::HasFailure() ? 1 : 0;
    });
}

#define UDPTEST_IN_NAMESPACE(body)                                         \
    do {                                                                   \
        int status_ = ::udptest::run_in_namespace(body);                   \
        if (status_ == ::udptest::kNoNamespace)                            \
            GTEST_SKIP() << "network namespaces are not available here";   \
        EXPECT_EQ(status_, 0) << "the namespaced part failed (see above)"; \
    } while (0)

}  // namespace udptest

#endif

// Loopback plumbing shared by the TCP tests: a watchdog that bounds every
// test, raw blocking peers, and a loop driver with a deadline.
#ifndef MAROVENT_TESTS_TCP_HELPERS_H
#define MAROVENT_TESTS_TCP_HELPERS_H

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "transport.h"

// Aborts the whole program when a test outlives its budget, so a hang shows
// up as a failure with a name instead of a stuck suite.
class Watchdog {
public:
    explicit Watchdog(int seconds) : thread_([this, seconds] { watch(seconds); }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        cv_.notify_one();
        thread_.join();
    }

private:
    void watch(int seconds) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!cv_.wait_for(lock, std::chrono::seconds(seconds), [this] { return done_; })) {
            fprintf(stderr, "watchdog: test still running after %d s\n", seconds);
            abort();
        }
    }
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
    std::thread thread_;
};

inline struct sockaddr_in loopback(uint16_t port) {
    struct sockaddr_in addr;
    net_ip_to_addr("127.0.0.1", port, (struct sockaddr*)&addr);
    return addr;
}

inline uint16_t port_of(int fd) {
    struct sockaddr_in addr;
    socklen_t length = sizeof(addr);
    getsockname(fd, (struct sockaddr*)&addr, &length);
    return ntohs(addr.sin_port);
}

// A raw listener on 127.0.0.1 at a free port.
inline int raw_listener(int backlog = 16) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr = loopback(0);
    if (bind(fd, (struct sockaddr*)&addr, sizeof(addr)) != 0 || listen(fd, backlog) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

inline bool wait_readable(int fd, int ms) {
    struct pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, ms) == 1;
}

inline int raw_accept(int listener, int ms = 3000) {
    return wait_readable(listener, ms) ? accept(listener, nullptr, nullptr) : -1;
}

inline int raw_connect(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr = loopback(port);
    if (connect(fd, (struct sockaddr*)&addr, sizeof(addr)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Closes with linger time 0, so the other side sees a reset.
inline void raw_reset(int fd) {
    struct linger l = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
    close(fd);
}

// What the other side of fd sees next: bytes (count), 0 for end of stream,
// -errno for an error, or -ETIMEDOUT when nothing arrives within ms.
inline int raw_recv(int fd, char* buf, int size, int ms = 3000) {
    if (!wait_readable(fd, ms))
        return -ETIMEDOUT;
    int n = (int)recv(fd, buf, (size_t)size, 0);
    return n < 0 ? -errno : n;
}

// Reads until end of stream or an error; returns that final result.
inline int raw_drain_to_end(int fd, int ms = 3000) {
    char buf[65536];
    int n;
    while ((n = raw_recv(fd, buf, sizeof(buf), ms)) > 0) {
    }
    return n;
}

// Calls step (one loop run) until done() holds or ms pass; returns done().
inline bool run_until(const std::function<void()>& step, const std::function<bool()>& done, int ms = 3000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done() && std::chrono::steady_clock::now() < end) {
        step();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done();
}

// Calls step until the raw socket fd has something to read (bytes, end or error).
inline bool run_until_readable(const std::function<void()>& step, int fd, int ms = 3000) {
    return run_until(step, [fd] { return wait_readable(fd, 0); }, ms);
}

// Runs step for ms without a stop condition (to show that nothing happens).
inline void run_for(const std::function<void()>& step, int ms) {
    run_until(step, [] { return false; }, ms);
}

#endif

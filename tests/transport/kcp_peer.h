// A hand-made KCP peer for the KCP client and server tests: plain
// non-blocking loopback sockets plus the engine, so a test can produce what
// our own peers never send (early data, silence, hostile frames) and read
// exactly what ours put on the wire.
#ifndef MAROVENT_TESTS_KCP_PEER_H
#define MAROVENT_TESTS_KCP_PEER_H

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kcp.h"
#include "kcp_session.h"
#include "transport.h"
#include "transport/udp_test_support.h"

namespace kcptest {

inline sockaddr_in loopback(uint16_t port, const char* ip = "127.0.0.1") {
    return udptest::ipv4(ip, port);
}

// A port nobody listens on right now (bound once by the kernel, then released).
inline uint16_t free_port(int type = SOCK_STREAM, const char* ip = "127.0.0.1") {
    int fd = socket(AF_INET, type, 0);
    sockaddr_in addr = loopback(0, ip);
    bind(fd, (sockaddr*)&addr, sizeof(addr));
    socklen_t len = sizeof(addr);
    getsockname(fd, (sockaddr*)&addr, &len);
    close(fd);
    return ntohs(addr.sin_port);
}

// Bounded waits: every wait in these tests ends by its watchdog at the latest.
inline bool drive(const std::function<void()>& step, const std::function<bool()>& done, int limit_ms = 5000) {
    return udptest::wait_for(step, done, limit_ms);
}

inline void drive_for(const std::function<void()>& step, int ms) {
    udptest::run_for(step, ms);
}

inline std::string frame(unsigned type, const std::string& payload) {
    StreamBuffer out;
    net__stream_buffer_init(&out);
    net__kcp_frame_build(&out, type, payload.data(), (uint32_t)payload.size());
    std::string bytes(out.data, out.size);
    net__stream_buffer_release(&out);
    return bytes;
}

inline std::string port_payload(uint32_t port) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i)
        bytes[(size_t)i] = (char)(port >> (8 * i));
    return bytes;
}

inline void set_nonblocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

struct Frame {
    unsigned type;
    std::string payload;
};

struct Message {
    unsigned type;
    std::string payload;
};

// One end of a KCP connection made by hand. As a client it connects to a
// server; as a server it listens and accepts one connection.
class RawPeer {
public:
    RawPeer() {
        udp_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in addr = loopback(0);
        bind(udp_, (sockaddr*)&addr, sizeof(addr));
        set_nonblocking(udp_);
        engine_ = kcp_create(KCP_CONVERSATION, this);
        kcp_set_output(engine_, &RawPeer::output);
        kcp_set_nodelay(engine_, 1, KCP_INTERVAL_MS, 2, 1);
        kcp_set_window(engine_, 128, 128);
        memset(&udp_peer_, 0, sizeof(udp_peer_));
    }
    ~RawPeer() {
        kcp_release(engine_);
        close_tcp();
        if (listen_ >= 0)
            close(listen_);
        close(udp_);
    }
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;

    bool connect_to(uint16_t port) {
        tcp_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr = loopback(port);
        if (connect(tcp_, (sockaddr*)&addr, sizeof(addr)) != 0)
            return false;
        int one = 1;
        setsockopt(tcp_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        set_nonblocking(tcp_);
        return true;
    }

    // Listens on 127.0.0.1; returns the port.
    uint16_t listen_any() {
        listen_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr = loopback(0);
        bind(listen_, (sockaddr*)&addr, sizeof(addr));
        listen(listen_, 4);
        set_nonblocking(listen_);
        socklen_t len = sizeof(addr);
        getsockname(listen_, (sockaddr*)&addr, &len);
        return ntohs(addr.sin_port);
    }

    bool accepted() const { return tcp_ >= 0; }
    uint16_t udp_port() const {
        sockaddr_in addr;
        socklen_t len = sizeof(addr);
        getsockname(udp_, (sockaddr*)&addr, &len);
        return ntohs(addr.sin_port);
    }
    void set_udp_peer(uint16_t port) { udp_peer_ = loopback(port); }
    const sockaddr_in& udp_sender() const { return udp_sender_; }

    void send_tcp(const std::string& bytes) {
        size_t at = 0;
        while (at < bytes.size()) {
            ssize_t n = send(tcp_, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
            if (n > 0)
                at += (size_t)n;
            else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                return;
        }
    }
    void send_frame(unsigned type, const std::string& payload) { send_tcp(frame(type, payload)); }
    int send_message(unsigned type, const std::string& payload) {
        std::string bytes(2, '\0');
        bytes[0] = (char)type;
        bytes[1] = (char)(type >> 8);
        bytes += payload;
        return kcp_send(engine_, bytes.data(), (int)bytes.size());
    }
    // A message of exactly these bytes (no type prefix): for malformed ones.
    int send_bare_message(const std::string& bytes) { return kcp_send(engine_, bytes.data(), (int)bytes.size()); }
    void send_datagram(const std::string& bytes) {
        sendto(udp_, bytes.data(), bytes.size(), 0, (const sockaddr*)&udp_peer_, sizeof(udp_peer_));
    }
    void close_tcp() {
        if (tcp_ >= 0)
            close(tcp_);
        tcp_ = -1;
    }

    // Moves everything that is ready; with engine false the KCP side is left
    // alone (the peer has gone silent).
    void pump(bool engine = true) {
        if (listen_ >= 0 && tcp_ < 0) {
            tcp_ = accept(listen_, nullptr, nullptr);
            if (tcp_ >= 0)
                set_nonblocking(tcp_);
        }
        read_tcp();
        if (!engine)
            return;
        char buffer[2048];
        for (;;) {
            sockaddr_in from;
            socklen_t len = sizeof(from);
            ssize_t n = recvfrom(udp_, buffer, sizeof(buffer), 0, (sockaddr*)&from, &len);
            if (n <= 0)
                break;
            udp_sender_ = from;
            if (kcp_input(engine_, buffer, n) < 0)
                raw.push_back(std::string(buffer, (size_t)n));
        }
        kcp_update(engine_, (uint32_t)net_poll());
        std::vector<char> message(200000);
        int n;
        while ((n = kcp_recv(engine_, message.data(), (int)message.size())) >= 0) {
            if (n >= 2)
                messages.push_back({(unsigned)((unsigned char)message[0] | (unsigned char)message[1] << 8),
                                    std::string(message.data() + 2, (size_t)n - 2)});
        }
    }

    bool count_type(unsigned type, size_t* count) const {
        *count = 0;
        for (const Message& m : messages)
            *count += m.type == type;
        return *count > 0;
    }
    size_t frames_of(unsigned type) const {
        size_t count = 0;
        for (const Frame& f : frames)
            count += f.type == type;
        return count;
    }

    std::vector<Frame> frames;
    std::vector<Message> messages;
    std::vector<std::string> raw;
    bool tcp_closed = false;

private:
    static int output(const char* data, int length, KcpControl*, void* user) {
        RawPeer* self = (RawPeer*)user;
        sendto(self->udp_, data, (size_t)length, 0, (const sockaddr*)&self->udp_peer_, sizeof(self->udp_peer_));
        return length;
    }

    void read_tcp() {
        if (tcp_ < 0 || tcp_closed)
            return;
        char buffer[65536];
        for (;;) {
            ssize_t n = recv(tcp_, buffer, sizeof(buffer), 0);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
                tcp_closed = true;
                break;
            }
            if (n < 0)
                break;
            stream_.append(buffer, (size_t)n);
        }
        while (stream_.size() >= 6) {
            uint32_t length = (uint32_t)(unsigned char)stream_[0] | (uint32_t)(unsigned char)stream_[1] << 8 |
                              (uint32_t)(unsigned char)stream_[2] << 16 | (uint32_t)(unsigned char)stream_[3] << 24;
            if (stream_.size() < length + 4)
                break;
            unsigned type = (unsigned)(unsigned char)stream_[4] | (unsigned)(unsigned char)stream_[5] << 8;
            frames.push_back({type, stream_.substr(6, length - 2)});
            stream_.erase(0, length + 4);
        }
    }

    int tcp_ = -1;
    int listen_ = -1;
    int udp_ = -1;
    KcpControl* engine_ = nullptr;
    sockaddr_in udp_peer_;
    sockaddr_in udp_sender_{};
    std::string stream_;
};

}  // namespace kcptest

#endif

// KCP client and server on loopback, driven the way the window's 10 ms tick
// drives them (every object run once, without waiting, per tick), beside a
// plain TCP echo over our TCP objects measured in the same run.
//
// For each channel (0 TCP frame, 1 KCP message, 2 raw datagram) and payload
// size: round-trip time with one message in flight (mean and 99th percentile)
// and messages echoed per second with up to 256 in flight. Every figure is also
// given as a ratio to the TCP echo of the same size.
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "transport.h"

namespace {

using Clock = std::chrono::steady_clock;

const int kTickMs = 10;
const int kPingPongs = 60;
const int kWindow = 256;
const double kThroughputSeconds = 1.0;
const int kLimitMs = 8000;  // watchdog for every phase

int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// Receiver-side bookkeeping shared by every transport: messages carry their
// send time in their first 8 bytes.
struct Sink {
    size_t size = 0;
    std::string stream;  // TCP has no message boundaries: reassembled here
    std::vector<double> rtts_ms;
    long received = 0;

    void message(const char* data) {
        int64_t sent;
        memcpy(&sent, data, sizeof(sent));
        rtts_ms.push_back((double)(now_ns() - sent) / 1e6);
        received++;
    }
    void bytes(const char* data, size_t length) {
        stream.append(data, length);
        size_t at = 0;
        for (; stream.size() - at >= size; at += size)
            message(stream.data() + at);
        stream.erase(0, at);
    }
};

struct Result {
    double mean_ms = 0, p99_ms = 0, per_second = 0;
};

// One transport under test: how to send one message, and one tick.
struct Link {
    std::function<bool(const std::string&)> send;
    std::function<void()> tick;
    Sink* sink;
};

void fill(std::string* payload) {
    int64_t t = now_ns();
    memcpy(&(*payload)[0], &t, sizeof(t));
}

bool run_ticks(const Link& link, const std::function<bool()>& done, int limit_ms) {
    auto next = Clock::now();
    auto until = next + std::chrono::milliseconds(limit_ms);
    while (!done()) {
        if (Clock::now() > until)
            return false;
        next += std::chrono::milliseconds(kTickMs);
        std::this_thread::sleep_until(next);
        link.tick();
    }
    return true;
}

Result measure(const Link& link, size_t size) {
    Result result;
    Sink& sink = *link.sink;
    sink.size = size;
    std::string payload(size, 'p');

    // Round trips, one at a time.
    sink.rtts_ms.clear();
    sink.received = 0;
    for (int i = 0; i < kPingPongs; ++i) {
        long before = sink.received;
        fill(&payload);
        if (!link.send(payload) || !run_ticks(link, [&] { return sink.received > before; }, kLimitMs / 4))
            break;
    }
    if (!sink.rtts_ms.empty()) {
        std::vector<double> sorted = sink.rtts_ms;
        std::sort(sorted.begin(), sorted.end());
        double total = 0;
        for (double v : sorted)
            total += v;
        result.mean_ms = total / (double)sorted.size();
        result.p99_ms = sorted[std::min(sorted.size() - 1, (size_t)((double)sorted.size() * 0.99))];
    }

    // Throughput: keep up to kWindow in flight for a fixed time.
    sink.received = 0;
    long sent = 0;
    auto start = Clock::now();
    auto stop_at = start + std::chrono::duration<double>(kThroughputSeconds);
    Link loaded = link;
    loaded.tick = [&] {
        while (Clock::now() < stop_at && sent - sink.received < kWindow) {
            fill(&payload);
            if (!link.send(payload))
                break;
            sent++;
        }
        link.tick();
    };
    run_ticks(loaded, [&] { return Clock::now() >= stop_at; }, kLimitMs);
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    result.per_second = (double)sink.received / seconds;
    // Let what is still in flight drain before the next case.
    run_ticks(link, [&] { return sink.received >= sent; }, 500);
    return result;
}

/* ---- Plain TCP echo ------------------------------------------------------ */

struct TcpEcho {
    TCPSERVER server = tcp_server_create();
    TCPCLIENT client = tcp_client_create();
    Sink sink;
    bool connected = false;

    explicit TcpEcho(uint16_t port) {
        tcp_server_set_recv_cb(server, [](TCPCLIENT peer, const char* data, int length, void*) {
            tcp_client_send(peer, data, length);
        });
        tcp_client_set_user_data(client, this);
        tcp_client_set_connect_cb(client, [](int status, const char*, void* user) {
            ((TcpEcho*)user)->connected = status == 0;
        });
        tcp_client_set_recv_cb(client, [](const char* data, int64_t n, void* user) {
            if (n > 0)
                ((TcpEcho*)user)->sink.bytes(data, (size_t)n);
        });
        sockaddr_in addr;
        net_ip_to_addr("127.0.0.1", port, (sockaddr*)&addr);
        tcp_server_start(server, (const sockaddr*)&addr);
        tcp_client_start(client, (const sockaddr*)&addr, 3000);
    }
    ~TcpEcho() {
        tcp_client_destroy(client);
        tcp_server_destroy(server);
    }
    Link link() {
        return {[this](const std::string& p) { return tcp_client_send(client, p.data(), (int)p.size()) > 0; },
                [this] { tcp_client_run(client, 0); tcp_server_run(server, 0); }, &sink};
    }
};

/* ---- KCP echo ------------------------------------------------------------ */

struct KcpEcho {
    KCPServer* server;
    KCPCLIENT client;
    Sink sink;
    int channel = 0;
    bool connected = false;

    KcpEcho(uint16_t port, int mode) : server(kcp_server_create(mode)), client(kcp_client_create(mode)) {
        kcp_server_set_recv_cb(server, [](KCPCLIENT peer, const char* data, int length, int ch, void*) {
            kcp_client_send(peer, data, length, ch);
        });
        kcp_client_set_user_data(client, this);
        kcp_client_set_connect_cb(client, [](int code, const char*, void* user) {
            ((KcpEcho*)user)->connected = code == 0;
        });
        kcp_client_set_recv_cb(client, [](const char* data, int length, int ch, void* user) {
            KcpEcho* self = (KcpEcho*)user;
            if (ch == self->channel && length >= 8)
                self->sink.message(data);
        });
        sockaddr_in addr;
        net_ip_to_addr("127.0.0.1", port, (sockaddr*)&addr);
        kcp_server_start(server, (const sockaddr*)&addr);
        kcp_client_start(client, (const sockaddr*)&addr, 3000);
    }
    ~KcpEcho() {
        kcp_client_destroy(client);
        kcp_server_destroy(server);
    }
    Link link() {
        return {[this](const std::string& p) { return kcp_client_send(client, p.data(), (int)p.size(), channel) > 0; },
                [this] { kcp_client_run(client, 0); kcp_server_run(server, 0); }, &sink};
    }
};

uint16_t port_base() {
    // A port range unlikely to be taken; each case uses the next one.
    return (uint16_t)(40000 + (now_ns() / 1000) % 20000);
}

void print(const char* name, size_t size, const Result& r, const Result& base) {
    printf("%-30s %5zu B  rtt mean %7.2f ms (x%.2f)  p99 %7.2f ms (x%.2f)  %9.0f msg/s (x%.2f)\n", name, size,
           r.mean_ms, base.mean_ms > 0 ? r.mean_ms / base.mean_ms : 0, r.p99_ms,
           base.p99_ms > 0 ? r.p99_ms / base.p99_ms : 0, r.per_second,
           base.per_second > 0 ? r.per_second / base.per_second : 0);
}

}  // namespace

int main() {
    uint16_t port = port_base();
    printf("tick %d ms; %d round trips; up to %d in flight for %.1f s; ratios against the TCP echo\n", kTickMs,
           kPingPongs, kWindow, kThroughputSeconds);
    const char* channel_names[] = {"channel 0 (frame)", "channel 1 (KCP)", "channel 2 (datagram)"};
    const char* mode_names[] = {"Default", "Fast", "Ultra"};
    for (size_t size : {(size_t)64, (size_t)1024}) {
        TcpEcho tcp(port++);
        Link tcp_link = tcp.link();
        if (!run_ticks(tcp_link, [&] { return tcp.connected; }, kLimitMs)) {
            printf("tcp echo did not connect\n");
            return 1;
        }
        Result base = measure(tcp_link, size);
        print("tcp echo (baseline)", size, base, base);
        for (int mode : {0, 2}) {
            KcpEcho kcp(port++, mode);
            Link kcp_link = kcp.link();
            if (!run_ticks(kcp_link, [&] { return kcp.connected; }, kLimitMs)) {
                printf("kcp echo did not connect\n");
                return 1;
            }
            for (int channel = 0; channel < 3; ++channel) {
                kcp.channel = channel;
                char name[64];
                snprintf(name, sizeof(name), "%s %s", mode_names[mode], channel_names[channel]);
                print(name, size, measure(kcp_link, size), base);
            }
        }
    }
    return 0;
}

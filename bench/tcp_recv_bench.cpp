// Receive throughput of one accepted TCP server connection on loopback while
// another thread blasts it with 64 KiB writes. Compares a tight loop of
// non-waiting runs and one run per 10 ms tick (as the window drives it) with
// a plain blocking receiver measured in the same run.
//
//   build/bench/tcp_recv_bench [seconds per measurement, default 1]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "transport.h"

namespace {

using Clock = std::chrono::steady_clock;

const int kChunk = 64 * 1024;
const auto kWarmUp = std::chrono::milliseconds(200);
const auto kTick = std::chrono::milliseconds(10);
// libuv reads a ready socket at most 32 times per run, 64 KiB each.
const double kTickCeiling = 32.0 * kChunk / 0.010 / 1e6;

struct sockaddr_in loopback(uint16_t port) {
    struct sockaddr_in addr;
    net_ip_to_addr("127.0.0.1", port, (struct sockaddr*)&addr);
    return addr;
}

// Writes 64 KiB chunks to 127.0.0.1:port until told to stop; the send time-out
// keeps it from blocking past the stop when the receiver has stopped reading.
class Blaster {
public:
    explicit Blaster(uint16_t port) : thread_([this, port] { blast(port); }) {}
    ~Blaster() {
        stop_ = true;
        thread_.join();
    }

private:
    void blast(uint16_t port) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        struct timeval timeout = {0, 100 * 1000};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
        struct sockaddr_in addr = loopback(port);
        if (connect(fd, (struct sockaddr*)&addr, sizeof(addr)) == 0) {
            std::vector<char> chunk(kChunk, 'b');
            while (!stop_)
                send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL);
        }
        close(fd);
    }
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

struct Window {
    Clock::time_point begin;
    Clock::time_point end;
    bool counting(Clock::time_point now) const { return now >= begin && now < end; }
};

Window window_from_now(double seconds) {
    Window w;
    w.begin = Clock::now() + kWarmUp;
    w.end = w.begin + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    return w;
}

double mb_per_s(uint64_t bytes, double seconds) {
    return (double)bytes / seconds / 1e6;
}

double plain_receiver(double seconds) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr = loopback(0);
    socklen_t length = sizeof(addr);
    bind(listener, (struct sockaddr*)&addr, sizeof(addr));
    listen(listener, 1);
    getsockname(listener, (struct sockaddr*)&addr, &length);
    Blaster blaster(ntohs(addr.sin_port));
    int fd = accept(listener, nullptr, nullptr);
    struct timeval timeout = {0, 100 * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    std::vector<char> buf(kChunk);
    uint64_t bytes = 0;
    Window w = window_from_now(seconds);
    for (auto now = Clock::now(); now < w.end; now = Clock::now()) {
        ssize_t n = recv(fd, buf.data(), buf.size(), 0);
        if (n > 0 && w.counting(now))
            bytes += (uint64_t)n;
    }
    close(fd);
    close(listener);
    return mb_per_s(bytes, seconds);
}

struct Counter {
    Window window;
    uint64_t bytes = 0;
};

void count_bytes(TCPCLIENT, const char*, int length, void* user) {
    Counter* counter = (Counter*)user;
    if (counter->window.counting(Clock::now()))
        counter->bytes += (uint64_t)length;
}

// The server with one blasting peer, run every tick (or back to back when tick is zero).
double server_receiver(double seconds, Clock::duration tick) {
    TCPSERVER server = tcp_server_create();
    Counter counter;
    tcp_server_set_user_data(server, &counter);
    tcp_server_set_recv_cb(server, count_bytes);
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr = loopback(0);
    socklen_t length = sizeof(addr);
    bind(probe, (struct sockaddr*)&addr, sizeof(addr));
    getsockname(probe, (struct sockaddr*)&addr, &length);
    close(probe);
    if (tcp_server_start(server, (struct sockaddr*)&addr) != 0) {
        fprintf(stderr, "tcp_server_start: %s\n", net_last_error());
        exit(1);
    }
    {
        Blaster blaster(ntohs(addr.sin_port));
        counter.window = window_from_now(seconds);
        Clock::time_point next = Clock::now();
        while (Clock::now() < counter.window.end) {
            tcp_server_run(server, NET_RUN_NOWAIT);
            if (tick != Clock::duration::zero()) {
                next += tick;
                std::this_thread::sleep_until(next);
            }
        }
        tcp_server_close(server);
    }
    tcp_server_destroy(server);
    return mb_per_s(counter.bytes, seconds);
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = argc > 1 ? atof(argv[1]) : 1.0;
    if (seconds <= 0 || seconds > 30)
        seconds = 1.0;
    // The machine is shared: interleave the receivers and keep each one's best round.
    const int rounds = 3;
    double plain = 0, tight = 0, ticked = 0;
    for (int i = 0; i < rounds; ++i) {
        plain = std::max(plain, plain_receiver(seconds));
        tight = std::max(tight, server_receiver(seconds, Clock::duration::zero()));
        ticked = std::max(ticked, server_receiver(seconds, kTick));
    }
    printf("best of %d rounds of %.1f s each\n", rounds, seconds);
    printf("plain blocking receiver      %8.1f MB/s\n", plain);
    printf("(a) tcp_server_run, tight    %8.1f MB/s  ratio to plain %.2f (goal >= 0.80)\n", tight, tight / plain);
    printf("(b) tcp_server_run, 10 ms    %8.1f MB/s  ratio to plain %.2f, to the %.1f MB/s tick ceiling %.2f (goal >= 0.85)\n",
           ticked, ticked / plain, kTickCeiling, ticked / kTickCeiling);
    return 0;
}

// TCP receive throughput on loopback while another thread writes 64 KiB
// chunks without pause, beside a plain blocking receiver (a recv loop on its
// own thread, 64 KiB buffer) measured in the same run.
//
// The window's case: a TCP server session in the real window with the writer
// as its client, in text mode. Not shown (the server, not the connection, is
// selected): throughput as a ratio to the plain receiver. Shown (the
// connection selected, its lines going into the view): a bounded total must
// arrive complete while the tick keeps its period. The transport alone,
// without the window, is measured too: run back to back and once per 10 ms.
//
//   build/bench/tcp_recv_bench [seconds per measurement, default 1]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "BenchEnv.h"
#include "support/WindowDriver.h"
#include "transport.h"

using benchenv::TickRecorder;

namespace {

using Clock = std::chrono::steady_clock;

const int kChunk = 64 * 1024;
const auto kWarmUp = std::chrono::milliseconds(200);
const auto kTick = std::chrono::milliseconds(10);
const int kRunBudgetUs = 6000;  // what the window gives its runs each tick
// The shown case's total and the time it may take.
const qint64 kShownBytes = 256ll * 1024 * 1024;
const int kShownLimitMs = 20000;

struct sockaddr_in loopback(uint16_t port) {
    struct sockaddr_in addr;
    net_ip_to_addr("127.0.0.1", port, (struct sockaddr*)&addr);
    return addr;
}

// Writes 64 KiB chunks to 127.0.0.1:port, from the moment it is told to go
// until told to stop or until limit bytes went out; the send time-out keeps
// it from blocking past the stop when the receiver has stopped reading. The
// connection stays open until the writer is destroyed.
class Writer {
public:
    Writer(uint16_t port, qint64 limit = -1, bool go = true)
        : limit_(limit), go_(go), thread_([this, port] { Write(port); }) {}
    ~Writer() {
        stop_ = true;
        go_ = true;
        thread_.join();
    }
    void Go() { go_ = true; }
    qint64 Written() const { return written_; }
    bool Finished() const { return finished_; }

private:
    void Write(uint16_t port) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        struct timeval timeout = {0, 100 * 1000};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
        struct sockaddr_in addr = loopback(port);
        if (connect(fd, (struct sockaddr*)&addr, sizeof(addr)) == 0) {
            while (!go_)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            std::vector<char> chunk(kChunk, 'b');
            while (!stop_ && (limit_ < 0 || written_ < limit_)) {
                const size_t length = limit_ < 0 ? chunk.size() : (size_t)std::min<qint64>(kChunk, limit_ - written_);
                const ssize_t n = send(fd, chunk.data(), length, MSG_NOSIGNAL);
                if (n > 0)
                    written_ += n;
            }
        }
        finished_ = true;
        while (!stop_)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        close(fd);
    }
    const qint64 limit_;
    std::atomic<bool> go_;
    std::atomic<bool> stop_{false};
    std::atomic<qint64> written_{0};
    std::atomic<bool> finished_{false};
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
    Writer writer(ntohs(addr.sin_port));
    uint64_t bytes = 0;
    std::thread receiver([&] {
        int fd = accept(listener, nullptr, nullptr);
        struct timeval timeout = {0, 100 * 1000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
        std::vector<char> buf(kChunk);
        Window w = window_from_now(seconds);
        for (auto now = Clock::now(); now < w.end; now = Clock::now()) {
            ssize_t n = recv(fd, buf.data(), buf.size(), 0);
            if (n > 0 && w.counting(now))
                bytes += (uint64_t)n;
        }
        close(fd);
    });
    receiver.join();
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

// The transport's server with one writing peer, run every tick (or back to
// back when tick is zero), no window.
double server_receiver(double seconds, Clock::duration tick) {
    TCPSERVER server = tcp_server_create();
    Counter counter;
    tcp_server_set_user_data(server, &counter);
    tcp_server_set_recv_cb(server, count_bytes);
    struct sockaddr_in addr = loopback(testnet::FreePort());
    if (tcp_server_start(server, (struct sockaddr*)&addr) != 0) {
        fprintf(stderr, "tcp_server_start: %s\n", net_last_error());
        exit(1);
    }
    {
        Writer writer(ntohs(addr.sin_port));
        counter.window = window_from_now(seconds);
        Clock::time_point next = Clock::now();
        while (Clock::now() < counter.window.end) {
            // Each tick a round, with the window's budget; back to back each run its own share.
            net_run_budget(tick != Clock::duration::zero() ? kRunBudgetUs : 0);
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

// The window's TCP server session and the connection its writer makes.
struct WindowServer {
    windowdriver::Window w;
    QTreeWidgetItem* server = nullptr;

    WindowServer() { server = w.Create("TCP Server", "127.0.0.1", testnet::FreePort()); }
    uint16_t Port() const { return (uint16_t)server->text(0).section(':', 1).toUInt(); }
    // The connection's session once accepted; null when none came. A dropped
    // connection is deleted with its item, so ask again for each writer.
    SessionItem* Accepted() {
        benchenv::RunUntil([&] { return server->childCount() == 1; }, 5000);
        return server->childCount() == 1 ? SessionItem::FromTreeItem(server->child(0)) : nullptr;
    }
    // Until the connection of the last writer has gone.
    void Drop() { benchenv::RunUntil([&] { return server->childCount() == 0; }, 5000); }
};

// Not shown: the window's session with the category selected (a connection
// to a selected server would be selected on arrival).
double window_not_shown(WindowServer* ws, double seconds) {
    ws->w.Click(ws->w.Root("TCP Server"));
    double result = 0;
    {
        Writer writer(ws->Port());
        SessionItem* session = ws->Accepted();
        if (session == nullptr)
            return 0;
        benchenv::RunFor(int(std::chrono::duration_cast<std::chrono::milliseconds>(kWarmUp).count()));
        const qint64 before = session->GetRecvTotal();
        QElapsedTimer clock;
        clock.start();
        benchenv::RunFor(int(seconds * 1000));
        result = mb_per_s(uint64_t(session->GetRecvTotal() - before), clock.nsecsElapsed() / 1e9);
    }
    ws->Drop();
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = benchenv::SecondsArg(argc, argv, 1.0);
    QTemporaryDir settings;
    benchenv::Prepare(&settings);
    QApplication app(argc, argv);
    WindowServer ws;
    TickRecorder ticks(&ws.w.window);

    // The machine is shared: interleave the receivers and keep each one's best round.
    const int rounds = 3;
    double plain = 0, tight = 0, ticked = 0, hidden = 0;
    for (int i = 0; i < rounds; ++i) {
        plain = std::max(plain, plain_receiver(seconds));
        tight = std::max(tight, server_receiver(seconds, Clock::duration::zero()));
        ticked = std::max(ticked, server_receiver(seconds, kTick));
        hidden = std::max(hidden, window_not_shown(&ws, seconds));
    }

    // Shown: a bounded total, timed from the first byte to the last counted.
    qint64 written = 0, received = 0;
    double shownSeconds = 0;
    bool finished = false;
    {
        Writer writer(ws.Port(), kShownBytes, false);
        SessionItem* session = ws.Accepted();
        if (session == nullptr) {
            printf("the window accepted no connection\n");
            return 1;
        }
        ws.w.Click(session->GetTreeItem());
        ticks.Reset();
        QElapsedTimer clock;
        clock.start();
        writer.Go();
        benchenv::RunUntil([&] { return writer.Finished() && session->GetRecvTotal() >= writer.Written(); },
                           kShownLimitMs);
        shownSeconds = clock.nsecsElapsed() / 1e9;
        written = writer.Written();
        received = session->GetRecvTotal();
        finished = writer.Finished();
    }
    const double shownMb = mb_per_s(uint64_t(received), shownSeconds);
    const bool complete = finished && received == written && written == kShownBytes;

    printf("best of %d rounds of %.1f s each; 64 KiB writes, unpaced\n", rounds, seconds);
    printf("plain blocking receiver          %8.1f MB/s\n", plain);
    printf("transport alone, tight loop      %8.1f MB/s  ratio to plain %.2f\n", tight, tight / plain);
    printf("transport alone, run per 10 ms   %8.1f MB/s  ratio to plain %.2f\n", ticked, ticked / plain);
    printf("window, session not shown        %8.1f MB/s  ratio to plain %.2f (goal >= 0.5: %s)\n", hidden,
           hidden / plain, hidden / plain >= 0.5 ? "yes" : "NO");
    printf("window, session shown            %8.1f MB/s  ratio to plain %.2f; %lld of %lld MB in %.1f s "
           "(limit %d s)\n",
           shownMb, shownMb / plain, (long long)(received >> 20), (long long)(written >> 20), shownSeconds,
           kShownLimitMs / 1000);
    printf("  tick while shown: p50 %.2f ms  p99 %.2f ms  max %.2f ms\n", ticks.Quantile(0.5), ticks.Quantile(0.99),
           ticks.Quantile(1.0));
    printf("goals, shown: complete (%lld MB written, every byte counted): %s; tick p99 <= 50 ms: %s\n",
           (long long)(kShownBytes >> 20), complete ? "yes" : "NO", ticks.Quantile(0.99) <= 50 ? "yes" : "NO");
    return 0;
}

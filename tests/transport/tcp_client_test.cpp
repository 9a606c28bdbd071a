// The outgoing TCP client against raw loopback peers.
#include <signal.h>
#include <uv.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "transport/tcp_helpers.h"

namespace {

struct Events {
    std::vector<int> statuses;
    std::vector<std::string> messages;
    std::string received;
    int disconnects = 0;
};

void on_connect(int status, const char* message, void* user) {
    Events* events = (Events*)user;
    events->statuses.push_back(status);
    events->messages.push_back(message);
}

void on_recv(const char* data, int64_t nread, void* user) {
    ((Events*)user)->received.append(data, (size_t)nread);
}

void on_disconnect(void* user) {
    ((Events*)user)->disconnects++;
}

TCPCLIENT make_client(Events* events) {
    TCPCLIENT client = tcp_client_create();
    tcp_client_set_user_data(client, events);
    tcp_client_set_connect_cb(client, on_connect);
    tcp_client_set_recv_cb(client, on_recv);
    tcp_client_set_disconnect_cb(client, on_disconnect);
    return client;
}

void start(TCPCLIENT client, uint16_t port, int timeout_ms) {
    struct sockaddr_in addr = loopback(port);
    tcp_client_start(client, (struct sockaddr*)&addr, timeout_ms);
}

bool run_until_connect_result(TCPCLIENT client, const Events& events, int ms = 3000) {
    return run_until([&] { tcp_client_run(client, NET_RUN_NOWAIT); }, [&] { return !events.statuses.empty(); }, ms);
}

// A loopback listener whose accept queue is full: further SYNs are dropped, so
// a connect towards it stays pending until the queue is drained.
struct Blackhole {
    int listener = raw_listener(0);
    std::vector<int> fillers;
    Blackhole() {
        for (int i = 0; i < 2; ++i) {
            int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            struct sockaddr_in addr = loopback(port_of(listener));
            connect(fd, (struct sockaddr*)&addr, sizeof(addr));
            fillers.push_back(fd);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ~Blackhole() {
        for (int fd : fillers)
            close(fd);
        close(listener);
    }
    uint16_t port() const { return port_of(listener); }
};

// A client connected to a raw peer it accepted.
struct Connected {
    Events events;
    int listener = raw_listener();
    TCPCLIENT client = make_client(&events);
    int peer = -1;
    Connected() {
        start(client, port_of(listener), 3000);
        run_until_connect_result(client, events);
        peer = raw_accept(listener);
    }
    ~Connected() {
        tcp_client_destroy(client);
        close(peer);
        close(listener);
    }
    void run() { tcp_client_run(client, NET_RUN_NOWAIT); }
    void run_for_ms(int ms) { run_for([this] { run(); }, ms); }
    bool run_until_peer_readable() { return run_until_readable([this] { run(); }, peer); }
};

bool all_zero(const struct sockaddr_in& addr) {
    static const char zeros[sizeof(addr)] = {};
    return memcmp(&addr, zeros, sizeof(addr)) == 0;
}

}  // namespace

TEST(TcpClient, RefusesBadArgumentsAndSendsBeforeStart) {
    Watchdog watchdog(10);
    struct sockaddr_in out;
    EXPECT_EQ(tcp_client_send(nullptr, "x", 1), NET_ERR_NULL_HANDLE);
    EXPECT_STREQ(net_last_error(), "param is null");
    EXPECT_EQ(tcp_client_local_addr(nullptr, (struct sockaddr*)&out), NET_ERR_NULL_HANDLE);
    EXPECT_EQ(tcp_client_remote_addr(nullptr, (struct sockaddr*)&out), NET_ERR_NULL_HANDLE);
    tcp_client_start(nullptr, nullptr, 0);
    tcp_client_run(nullptr, NET_RUN_NOWAIT);
    tcp_client_close(nullptr);
    tcp_client_destroy(nullptr);

    Events events;
    TCPCLIENT client = make_client(&events);
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(tcp_client_user_data(client), &events);
    EXPECT_EQ(tcp_client_send(client, "abc", 0), -2);
    EXPECT_STREQ(net_last_error(), "tcp client send data length <= 0");
    EXPECT_EQ(tcp_client_send(client, "abc", 3), -3);
    EXPECT_STREQ(net_last_error(), "tcp client is not started");
    memset(&out, 0xff, sizeof(out));
    EXPECT_EQ(tcp_client_remote_addr(client, (struct sockaddr*)&out), 0);
    EXPECT_TRUE(all_zero(out));
    tcp_client_run(client, NET_RUN_NOWAIT);
    EXPECT_TRUE(events.statuses.empty());
    tcp_client_destroy(client);
}

TEST(TcpClient, ConnectFailuresArriveThroughTheCallbackOnce) {
    Watchdog watchdog(20);
    Events events;
    TCPCLIENT client = make_client(&events);

    // Nothing listens on a port whose listener is gone.
    int listener = raw_listener();
    uint16_t port = port_of(listener);
    close(listener);
    start(client, port, 3000);
    EXPECT_TRUE(events.statuses.empty());
    ASSERT_TRUE(run_until_connect_result(client, events));
    EXPECT_EQ(events.statuses[0], UV_ECONNREFUSED);
    EXPECT_EQ(events.messages[0], uv_strerror(UV_ECONNREFUSED));
    run_for([&] { tcp_client_run(client, NET_RUN_NOWAIT); }, 100);
    EXPECT_EQ(events.statuses.size(), 1u);

    // A refused request is held back until the next run, with its text.
    events.statuses.clear();
    events.messages.clear();
    struct sockaddr_in bogus = {};
    tcp_client_start(client, (struct sockaddr*)&bogus, 0);
    EXPECT_TRUE(events.statuses.empty());
    tcp_client_run(client, NET_RUN_NOWAIT);
    ASSERT_EQ(events.statuses.size(), 1u);
    EXPECT_EQ(events.statuses[0], NET_ERR_BIND_CONNECT);
    EXPECT_EQ(events.messages[0], uv_strerror(UV_EINVAL));
    tcp_client_run(client, NET_RUN_NOWAIT);
    EXPECT_EQ(events.statuses.size(), 1u);
    tcp_client_destroy(client);
}

TEST(TcpClient, TimeoutFiresOnceAndTheLateCompletionIsSilent) {
    Watchdog watchdog(30);
    Blackhole hole;
    Events timed, untimed;
    TCPCLIENT a = make_client(&timed);
    TCPCLIENT b = make_client(&untimed);
    uint64_t begin = net_poll();
    start(a, hole.port(), 3000);
    start(b, hole.port(), 0);
    auto both = [&] {
        tcp_client_run(a, NET_RUN_NOWAIT);
        tcp_client_run(b, NET_RUN_NOWAIT);
    };
    ASSERT_TRUE(run_until(both, [&] { return !timed.statuses.empty(); }, 6000));
    EXPECT_GT(net_poll() - begin, 3000u);
    EXPECT_EQ(timed.statuses[0], -1);
    EXPECT_EQ(timed.messages[0], "connect timeout");
    EXPECT_TRUE(untimed.statuses.empty());

    // With the listener gone the next retransmitted SYN is refused: both
    // attempts complete, but only the one without a time-out may say so.
    close(hole.listener);
    hole.listener = -1;
    ASSERT_TRUE(run_until(both, [&] { return !untimed.statuses.empty(); }, 12000));
    EXPECT_EQ(untimed.statuses[0], UV_ECONNREFUSED);
    run_for(both, 100);
    EXPECT_EQ(timed.statuses.size(), 1u);
    EXPECT_EQ(untimed.statuses.size(), 1u);
    tcp_client_destroy(a);
    tcp_client_destroy(b);
}

TEST(TcpClient, CloseWhileConnectingCancelsTheDeadline) {
    Watchdog watchdog(10);
    Blackhole hole;
    Events events;
    TCPCLIENT client = make_client(&events);
    start(client, hole.port(), 100);
    tcp_client_close(client);
    run_for([&] { tcp_client_run(client, NET_RUN_NOWAIT); }, 400);
    EXPECT_TRUE(events.statuses.empty());
    tcp_client_destroy(client);
}

TEST(TcpClient, ExchangesDataAndForgetsAddressesWhenThePeerCloses) {
    Watchdog watchdog(10);
    Connected c;
    ASSERT_GE(c.peer, 0);
    ASSERT_EQ(c.events.statuses, std::vector<int>{0});
    EXPECT_EQ(c.events.messages[0], "no error");

    struct sockaddr_in local, remote, peer_side;
    socklen_t length = sizeof(peer_side);
    getpeername(c.peer, (struct sockaddr*)&peer_side, &length);
    ASSERT_EQ(tcp_client_local_addr(c.client, (struct sockaddr*)&local), 0);
    ASSERT_EQ(tcp_client_remote_addr(c.client, (struct sockaddr*)&remote), 0);
    char ip[16];
    unsigned port = 0;
    net_addr_to_ip((struct sockaddr*)&remote, ip, &port);
    EXPECT_STREQ(ip, "127.0.0.1");
    EXPECT_EQ(port, port_of(c.listener));
    EXPECT_EQ(local.sin_port, peer_side.sin_port);

    EXPECT_EQ(tcp_client_send(c.client, "hello", 5), 5);
    ASSERT_TRUE(c.run_until_peer_readable());
    char buf[16] = {};
    ASSERT_EQ(raw_recv(c.peer, buf, sizeof(buf)), 5);
    EXPECT_STREQ(buf, "hello");

    ASSERT_EQ(send(c.peer, "world!", 6, 0), 6);
    ASSERT_TRUE(run_until([&] { tcp_client_run(c.client, NET_RUN_NOWAIT); },
                          [&] { return c.events.received.size() >= 6; }));
    EXPECT_EQ(c.events.received, "world!");

    close(c.peer);
    c.peer = -1;
    ASSERT_TRUE(run_until([&] { tcp_client_run(c.client, NET_RUN_NOWAIT); },
                          [&] { return c.events.disconnects > 0; }));
    EXPECT_EQ(c.events.disconnects, 1);
    memset(&remote, 0xff, sizeof(remote));
    memset(&local, 0xff, sizeof(local));
    EXPECT_EQ(tcp_client_remote_addr(c.client, (struct sockaddr*)&remote), 0);
    EXPECT_EQ(tcp_client_local_addr(c.client, (struct sockaddr*)&local), 0);
    EXPECT_TRUE(all_zero(remote));
    EXPECT_TRUE(all_zero(local));
}

TEST(TcpClient, CloseIsGracefulOnlyOnceConnected) {
    Watchdog watchdog(10);
    char buf[16];
    {
        Connected c;
        ASSERT_GE(c.peer, 0);
        tcp_client_close(c.client);
        ASSERT_TRUE(c.run_until_peer_readable());
        EXPECT_EQ(raw_recv(c.peer, buf, sizeof(buf)), 0);  // orderly end of stream
    }
    {
        // The handshake completes in the kernel, but the client never ran to
        // learn of it: it is not connected, so its close is a reset.
        Events events;
        int listener = raw_listener();
        TCPCLIENT client = make_client(&events);
        start(client, port_of(listener), 0);
        int peer = raw_accept(listener);
        ASSERT_GE(peer, 0);
        tcp_client_close(client);
        EXPECT_EQ(raw_recv(peer, buf, sizeof(buf)), -ECONNRESET);
        EXPECT_TRUE(events.statuses.empty());
        tcp_client_destroy(client);
        close(peer);
        close(listener);
    }
}

TEST(TcpClient, StartOnAConnectedClientFinishesTheOldCloseFirst) {
    Watchdog watchdog(10);
    Connected c;
    ASSERT_GE(c.peer, 0);
    ASSERT_EQ(tcp_client_send(c.client, "tail", 4), 4);
    start(c.client, port_of(c.listener), 3000);
    // No run since: the old connection was written out and shut down inside start.
    char buf[16] = {};
    EXPECT_EQ(raw_recv(c.peer, buf, sizeof(buf)), 4);
    EXPECT_STREQ(buf, "tail");
    EXPECT_EQ(raw_recv(c.peer, buf, sizeof(buf)), 0);
    c.events.statuses.clear();
    ASSERT_TRUE(run_until_connect_result(c.client, c.events));
    EXPECT_EQ(c.events.statuses[0], 0);
}

TEST(TcpClient, SendAfterPeerResetFailsUntilTheNextConnection) {
    Watchdog watchdog(10);
    Connected c;
    ASSERT_GE(c.peer, 0);
    raw_reset(c.peer);
    c.peer = -1;
    ASSERT_TRUE(run_until([&] { tcp_client_run(c.client, NET_RUN_NOWAIT); },
                          [&] { return c.events.disconnects > 0; }));
    EXPECT_EQ(tcp_client_send(c.client, "x", 1), UV_EPIPE);
    EXPECT_STREQ(net_last_error(), uv_strerror(UV_EPIPE));
    EXPECT_EQ(tcp_client_send(c.client, "x", 1), -1);
    EXPECT_STREQ(net_last_error(), "tcp client network is error");

    c.events.statuses.clear();
    start(c.client, port_of(c.listener), 3000);
    ASSERT_TRUE(run_until_connect_result(c.client, c.events));
    ASSERT_EQ(c.events.statuses[0], 0);
    c.peer = raw_accept(c.listener);
    EXPECT_EQ(tcp_client_send(c.client, "again", 5), 5);
    ASSERT_TRUE(c.run_until_peer_readable());
    char buf[16] = {};
    EXPECT_EQ(raw_recv(c.peer, buf, sizeof(buf)), 5);
}

TEST(TcpClient, WritingToAResetPeerDoesNotKillTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            signal(SIGPIPE, SIG_DFL);
            Connected c;
            if (c.peer < 0)
                exit(2);
            raw_reset(c.peer);
            c.peer = -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            // Unaware of the reset, libuv writes at once; the second write
            // gets EPIPE, which comes with SIGPIPE.
            for (int i = 0; i < 3; ++i)
                tcp_client_send(c.client, "x", 1);
            c.run_for_ms(20);
            exit(0);
        },
        testing::ExitedWithCode(0), "");
}

TEST(TcpClient, DestroyRightAfterASendStillDeliversThenEnds) {
    Watchdog watchdog(10);
    Events events;
    int listener = raw_listener();
    TCPCLIENT client = make_client(&events);
    start(client, port_of(listener), 3000);
    ASSERT_TRUE(run_until_connect_result(client, events));
    int peer = raw_accept(listener);
    std::string payload(8000, 'p');  // small enough for the kernel to take at once
    ASSERT_EQ(tcp_client_send(client, payload.data(), (int)payload.size()), (int)payload.size());
    tcp_client_destroy(client);
    std::string got;
    char buf[65536];
    int n;
    while ((n = raw_recv(peer, buf, sizeof(buf))) > 0)
        got.append(buf, (size_t)n);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(got, payload);
    close(peer);
    close(listener);
}

TEST(TcpClient, DestroyDoesNotWaitForAPeerThatStoppedReading) {
    Watchdog watchdog(20);
    Connected c;
    ASSERT_GE(c.peer, 0);
    std::string chunk(1 << 20, 'z');
    for (int i = 0; i < 32; ++i)
        ASSERT_EQ(tcp_client_send(c.client, chunk.data(), (int)chunk.size()), (int)chunk.size());
    c.run_for_ms(50);
    tcp_client_destroy(c.client);  // would hang on a graceful shutdown
    c.client = nullptr;
    EXPECT_EQ(raw_drain_to_end(c.peer), -ECONNRESET);
}

namespace {

// What a callback does to its own client.
struct Reentry {
    Events events;
    TCPCLIENT client = nullptr;
    struct sockaddr_in target;
    int restarts = 0;  // starts again from the connect-result callback this often
    bool destroyed = false;
};

void restart_or_destroy(int status, const char* message, void* user) {
    Reentry* r = (Reentry*)user;
    on_connect(status, message, &r->events);
    if (r->restarts-- > 0) {
        tcp_client_start(r->client, (struct sockaddr*)&r->target, 0);
    } else {
        tcp_client_destroy(r->client);
        r->destroyed = true;
    }
}

void destroy_on_recv(const char*, int64_t, void* user) {
    Reentry* r = (Reentry*)user;
    tcp_client_destroy(r->client);
    r->destroyed = true;
}

}  // namespace

TEST(TcpClient, CallbacksMayRestartOrDestroyTheirOwnClient) {
    Watchdog watchdog(10);
    int listener = raw_listener();
    uint16_t refused_port = port_of(listener);
    close(listener);

    Reentry r;
    r.client = tcp_client_create();
    r.target = loopback(refused_port);
    r.restarts = 2;
    tcp_client_set_user_data(r.client, &r);
    tcp_client_set_connect_cb(r.client, restart_or_destroy);
    tcp_client_start(r.client, (struct sockaddr*)&r.target, 0);
    // The client is gone once destroyed: stop running it then.
    ASSERT_TRUE(run_until([&] { tcp_client_run(r.client, NET_RUN_NOWAIT); }, [&] { return r.destroyed; }));
    EXPECT_EQ(r.events.statuses, std::vector<int>(3, UV_ECONNREFUSED));

    Reentry connected;
    listener = raw_listener();
    connected.client = tcp_client_create();
    tcp_client_set_user_data(connected.client, &connected);
    tcp_client_set_connect_cb(connected.client, on_connect);
    tcp_client_set_recv_cb(connected.client, destroy_on_recv);
    start(connected.client, port_of(listener), 3000);
    int peer = raw_accept(listener);
    ASSERT_GE(peer, 0);
    ASSERT_EQ(send(peer, "last words", 10, 0), 10);
    ASSERT_TRUE(run_until([&] { tcp_client_run(connected.client, NET_RUN_NOWAIT); },
                          [&] { return connected.destroyed; }));
    EXPECT_EQ(raw_drain_to_end(peer), 0);  // it was connected: a graceful end
    close(peer);
    close(listener);
}

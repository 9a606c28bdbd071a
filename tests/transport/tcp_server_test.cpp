// The TCP server and its accepted connections against raw loopback peers
// and the library's own outgoing client.
#include <uv.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "transport/tcp_helpers.h"

namespace {

struct Events {
    std::vector<std::pair<char, TCPCLIENT>> log;  // 'c'onnected, 'd'isconnected
    std::map<TCPCLIENT, std::string> received;
    TCPCLIENT close_on_recv = nullptr;  // closed from inside its receive callback
    int count(char kind) const {
        int n = 0;
        for (const auto& entry : log)
            n += entry.first == kind;
        return n;
    }
};

void on_connect(TCPCLIENT client, void* user) {
    ((Events*)user)->log.push_back({'c', client});
}

void on_disconnect(TCPCLIENT client, void* user) {
    ((Events*)user)->log.push_back({'d', client});
}

void on_recv(TCPCLIENT client, const char* data, int length, void* user) {
    Events* events = (Events*)user;
    events->received[client].append(data, (size_t)length);
    if (client == events->close_on_recv)
        tcp_client_close(client);
}

// A listening server on a free loopback port.
struct Server {
    Events events;
    TCPSERVER server = tcp_server_create();
    uint16_t port = 0;
    Server() {
        tcp_server_set_user_data(server, &events);
        tcp_server_set_connect_cb(server, on_connect);
        tcp_server_set_disconnect_cb(server, on_disconnect);
        tcp_server_set_recv_cb(server, on_recv);
        int probe = raw_listener();
        port = port_of(probe);
        close(probe);
        start();
    }
    ~Server() { tcp_server_destroy(server); }
    int start() {
        struct sockaddr_in addr = loopback(port);
        return tcp_server_start(server, (struct sockaddr*)&addr);
    }
    void run() { tcp_server_run(server, NET_RUN_NOWAIT); }
    void run_for_ms(int ms) { run_for([this] { run(); }, ms); }
    bool run_until_connections(int n) {
        return run_until([this] { run(); }, [&] { return events.count('c') >= n; });
    }
    // Connects n raw peers and waits until the server has reported each.
    std::vector<int> connect_peers(int n) {
        std::vector<int> peers;
        for (int i = 0; i < n; ++i)
            peers.push_back(raw_connect(port));
        run_until_connections(events.count('c') + n);
        return peers;
    }
    // The accepted handle whose peer is the raw socket fd.
    TCPCLIENT handle_of(int fd) {
        uint16_t local = port_of(fd);
        for (const auto& entry : events.log) {
            struct sockaddr_in remote;
            if (entry.first != 'c' || tcp_client_remote_addr(entry.second, (struct sockaddr*)&remote) != 0)
                continue;
            if (ntohs(remote.sin_port) == local)
                return entry.second;
        }
        return nullptr;
    }
};

void close_all(const std::vector<int>& fds) {
    for (int fd : fds)
        close(fd);
}

}  // namespace

TEST(TcpServer, StartRefusals) {
    Watchdog watchdog(10);
    struct sockaddr_in addr = loopback(0);
    EXPECT_EQ(tcp_server_start(nullptr, (struct sockaddr*)&addr), NET_ERR_NULL_HANDLE);
    EXPECT_STREQ(net_last_error(), "param is null");
    tcp_server_run(nullptr, NET_RUN_NOWAIT);
    tcp_server_close(nullptr);
    tcp_server_destroy(nullptr);

    Server first;
    TCPSERVER second = tcp_server_create();
    addr = loopback(first.port);
    int rc = tcp_server_start(second, (struct sockaddr*)&addr);
    EXPECT_TRUE(rc == NET_ERR_BIND_CONNECT || rc == NET_ERR_LISTEN) << rc;
    EXPECT_STREQ(net_last_error(), uv_strerror(UV_EADDRINUSE));
    tcp_server_destroy(second);

    // The first one is untouched by the failed neighbour.
    std::vector<int> peers = first.connect_peers(1);
    EXPECT_EQ(first.events.count('c'), 1);
    close_all(peers);
}

TEST(TcpServer, PeerThatConnectsAndClosesIsReportedInOrder) {
    Watchdog watchdog(10);
    Server s;
    int peer = raw_connect(s.port);
    ASSERT_GE(peer, 0);
    close(peer);
    ASSERT_TRUE(run_until([&] { s.run(); }, [&] { return s.events.count('d') == 1; }));
    ASSERT_EQ(s.events.log.size(), 2u);
    EXPECT_EQ(s.events.log[0].first, 'c');
    EXPECT_EQ(s.events.log[1].first, 'd');
    EXPECT_EQ(s.events.log[0].second, s.events.log[1].second);
}

TEST(TcpServer, DataArrivesWithItsSendersHandleAndAnswersReachThatPeer) {
    Watchdog watchdog(10);
    Server s;
    std::vector<int> peers = s.connect_peers(2);
    ASSERT_EQ(s.events.count('c'), 2);
    TCPCLIENT a = s.handle_of(peers[0]);
    TCPCLIENT b = s.handle_of(peers[1]);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    ASSERT_NE(a, b);

    struct sockaddr_in local;
    ASSERT_EQ(tcp_client_local_addr(a, (struct sockaddr*)&local), 0);
    EXPECT_EQ(ntohs(local.sin_port), s.port);

    ASSERT_EQ(send(peers[0], "0123456789", 10, 0), 10);
    ASSERT_EQ(send(peers[1], "abcdefghij", 10, 0), 10);
    ASSERT_TRUE(run_until([&] { s.run(); },
                          [&] { return s.events.received[a].size() == 10 && s.events.received[b].size() == 10; }));
    EXPECT_EQ(s.events.received[a], "0123456789");
    EXPECT_EQ(s.events.received[b], "abcdefghij");

    EXPECT_EQ(tcp_client_send(b, "to-b", 4), 4);
    ASSERT_TRUE(run_until_readable([&] { s.run(); }, peers[1]));
    char buf[16] = {};
    EXPECT_EQ(raw_recv(peers[1], buf, sizeof(buf)), 4);
    EXPECT_STREQ(buf, "to-b");
    EXPECT_EQ(raw_recv(peers[0], buf, sizeof(buf), 50), -ETIMEDOUT);
    close_all(peers);
}

TEST(TcpServer, ClosingOneConnectionIsSilentAndSparesTheOthers) {
    Watchdog watchdog(10);
    Server s;
    std::vector<int> peers = s.connect_peers(3);
    TCPCLIENT first = s.handle_of(peers[0]);
    TCPCLIENT second = s.handle_of(peers[1]);
    TCPCLIENT third = s.handle_of(peers[2]);
    tcp_client_close(first);
    // The second hangs itself up from inside its own receive callback.
    s.events.close_on_recv = second;
    ASSERT_EQ(send(peers[1], "bye", 3, 0), 3);
    ASSERT_TRUE(run_until_readable([&] { s.run(); }, peers[1]));
    EXPECT_EQ(s.events.received[second], "bye");
    char buf[16];
    EXPECT_EQ(raw_recv(peers[0], buf, sizeof(buf)), 0);
    EXPECT_EQ(raw_recv(peers[1], buf, sizeof(buf)), 0);
    EXPECT_EQ(s.events.count('d'), 0);

    ASSERT_EQ(send(peers[2], "still", 5, 0), 5);
    ASSERT_TRUE(run_until([&] { s.run(); }, [&] { return s.events.received[third] == "still"; }));
    EXPECT_EQ(tcp_client_send(third, "here", 4), 4);
    ASSERT_TRUE(run_until_readable([&] { s.run(); }, peers[2]));
    EXPECT_EQ(raw_recv(peers[2], buf, sizeof(buf)), 4);
    close(peers[2]);
    ASSERT_TRUE(run_until([&] { s.run(); }, [&] { return s.events.count('d') == 1; }));
    EXPECT_EQ(s.events.log.back().second, third);
    close_all({peers[0], peers[1]});
}

TEST(TcpServer, CloseAndRestartEndEveryConnectionWithoutCallbacks) {
    Watchdog watchdog(10);
    Server s;
    std::vector<int> peers = s.connect_peers(3);
    ASSERT_EQ(s.events.count('c'), 3);
    tcp_server_close(s.server);
    s.run_for_ms(20);
    for (int fd : peers)
        EXPECT_EQ(raw_drain_to_end(fd), 0);
    EXPECT_EQ(raw_connect(s.port), -1);  // no longer listening
    close_all(peers);

    ASSERT_EQ(s.start(), 0);
    peers = s.connect_peers(2);
    ASSERT_EQ(s.events.count('c'), 5);
    // Starting a listening server again drops what it had.
    ASSERT_EQ(s.start(), 0);
    s.run_for_ms(20);
    for (int fd : peers)
        EXPECT_EQ(raw_drain_to_end(fd), 0);
    close_all(peers);
    peers = s.connect_peers(1);
    EXPECT_EQ(s.events.count('c'), 6);
    EXPECT_EQ(s.events.count('d'), 0);
    close_all(peers);
}

TEST(TcpServer, OwnClientTalksToOwnServer) {
    Watchdog watchdog(10);
    Server s;
    TCPCLIENT client = tcp_client_create();
    std::string got;
    tcp_client_set_user_data(client, &got);
    tcp_client_set_recv_cb(client, [](const char* data, int64_t n, void* user) {
        ((std::string*)user)->append(data, (size_t)n);
    });
    tcp_client_set_connect_cb(client, [](int status, const char*, void*) { EXPECT_EQ(status, 0); });
    struct sockaddr_in addr = loopback(s.port);
    tcp_client_start(client, (struct sockaddr*)&addr, 3000);
    auto both = [&] {
        tcp_client_run(client, NET_RUN_NOWAIT);
        s.run();
    };
    ASSERT_TRUE(run_until(both, [&] { return s.events.count('c') == 1; }));
    TCPCLIENT accepted = s.events.log[0].second;
    ASSERT_EQ(tcp_client_send(client, "ping", 4), 4);
    ASSERT_TRUE(run_until(both, [&] { return s.events.received[accepted] == "ping"; }));
    ASSERT_EQ(tcp_client_send(accepted, "pong", 4), 4);
    ASSERT_TRUE(run_until(both, [&] { return got == "pong"; }));
    // A graceful close is an end of stream to the server.
    tcp_client_close(client);
    ASSERT_TRUE(run_until(both, [&] { return s.events.count('d') == 1; }));
    EXPECT_EQ(s.events.log.back().second, accepted);
    tcp_client_destroy(client);
}

TEST(TcpServer, DestroyWithLiveConnectionsAndQueuedWritesReturns) {
    Watchdog watchdog(20);
    std::vector<int> peers;
    {
        Server s;
        peers = s.connect_peers(2);
        ASSERT_EQ(s.events.count('c'), 2);
        std::string chunk(1 << 20, 'q');
        for (const auto& entry : s.events.log)
            for (int i = 0; i < 16; ++i)
                ASSERT_EQ(tcp_client_send(entry.second, chunk.data(), (int)chunk.size()), (int)chunk.size());
        s.run_for_ms(20);
    }  // destroyed here, peers not reading
    for (int fd : peers)
        EXPECT_LE(raw_drain_to_end(fd), 0);
    close_all(peers);
}

TEST(TcpServer, ReceiveCallbackMayDestroyItsServer) {
    Watchdog watchdog(10);
    struct Doomed {
        TCPSERVER server = tcp_server_create();
        bool destroyed = false;
    } d;
    int probe = raw_listener();
    struct sockaddr_in addr = loopback(port_of(probe));
    close(probe);
    tcp_server_set_user_data(d.server, &d);
    tcp_server_set_recv_cb(d.server, [](TCPCLIENT, const char*, int, void* user) {
        Doomed* doomed = (Doomed*)user;
        tcp_server_destroy(doomed->server);
        doomed->destroyed = true;
    });
    ASSERT_EQ(tcp_server_start(d.server, (struct sockaddr*)&addr), 0) << net_last_error();
    std::vector<int> peers = {raw_connect(ntohs(addr.sin_port)), raw_connect(ntohs(addr.sin_port))};
    for (int fd : peers)
        ASSERT_EQ(send(fd, "x", 1, 0), 1);
    ASSERT_TRUE(run_until([&] { tcp_server_run(d.server, NET_RUN_NOWAIT); }, [&] { return d.destroyed; }));
    // Ended either way (a socket closed with unread bytes ends with a reset).
    for (int fd : peers)
        EXPECT_LE(raw_drain_to_end(fd), 0);
    close_all(peers);
}

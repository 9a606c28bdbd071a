// The TCP server and its accepted connections against raw loopback peers, and
// the gate that skips idle private loops (here: many idle servers).
#include <uv.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "support/Net.h"
#include "transport.h"

using namespace testnet;

namespace {

struct Server {
    Watchdog watchdog{60};
    std::vector<std::pair<char, TCPCLIENT>> log;  // 'c'onnected, 'd'isconnected
    std::map<TCPCLIENT, std::string> got;
    TCPCLIENT close_on_recv = nullptr;
    bool destroy_on_recv = false;
    TCPSERVER server = tcp_server_create();
    sockaddr_in at = Ipv4("127.0.0.1", FreePort());
    std::vector<int> peers;  // raw peers; handles[i] is the accepted end of peers[i]
    std::vector<TCPCLIENT> handles;

    Server() {
        tcp_server_set_user_data(server, this);
        tcp_server_set_connect_cb(server, [](TCPCLIENT c, void* u) { ((Server*)u)->log.push_back({'c', c}); });
        tcp_server_set_disconnect_cb(server, [](TCPCLIENT c, void* u) { ((Server*)u)->log.push_back({'d', c}); });
        tcp_server_set_recv_cb(server, [](TCPCLIENT c, const char* d, int n, void* u) {
            Server* s = (Server*)u;
            s->got[c].append(d, (size_t)n);
            if (c == s->close_on_recv)
                tcp_client_close(c);
            if (s->destroy_on_recv) {
                tcp_server_destroy(s->server);
                s->server = nullptr;
            }
        });
        EXPECT_EQ(tcp_server_start(server, Sa(at)), 0);
    }
    ~Server() {
        tcp_server_destroy(server);
        for (int fd : peers)
            close(fd);
    }
    int Count(char kind) const {
        return (int)std::count_if(log.begin(), log.end(), [&](const std::pair<char, TCPCLIENT>& e) { return e.first == kind; });
    }
    bool Until(const std::function<bool()>& done) {
        return WaitUntil([this] { tcp_server_run(server, NET_RUN_NOWAIT); }, done);
    }
    void Connect(int n) {
        for (int i = 0; i < n; ++i) {
            peers.push_back(testnet::Connect(ntohs(at.sin_port)));
            ASSERT_TRUE(Until([&] { return (int)handles.size() < Count('c'); }));
            handles.push_back(log.back().second);
        }
    }
    // What reached raw peer i once it has something to read; *ended on end of stream.
    std::string Read(size_t i, bool* ended) {
        Until([&] { return Readable(peers[i], 0); });
        return ReadSome(peers[i], ended);
    }
};

}  // namespace

TEST(TcpServer, DataGoesWithItsConnectionAndABusyPortIsRefused) {
    Server s;
    s.Connect(2);
    ASSERT_NE(s.handles[0], s.handles[1]);
    sockaddr_in local, remote;
    ASSERT_EQ(tcp_client_local_addr(s.handles[0], (sockaddr*)&local), 0);
    ASSERT_EQ(tcp_client_remote_addr(s.handles[0], (sockaddr*)&remote), 0);
    EXPECT_EQ(local.sin_port, s.at.sin_port);
    EXPECT_EQ(ntohs(remote.sin_port), PortOf(s.peers[0]));
    ASSERT_TRUE(SendAll(s.peers[0], "0123456789") && SendAll(s.peers[1], "abcdefghij"));
    ASSERT_TRUE(s.Until([&] { return s.got[s.handles[0]].size() == 10 && s.got[s.handles[1]].size() == 10; }));
    EXPECT_EQ(s.got[s.handles[0]], "0123456789");
    EXPECT_EQ(s.got[s.handles[1]], "abcdefghij");
    EXPECT_EQ(tcp_client_send(s.handles[1], "to-b", 4), 4);
    bool ended = false;
    EXPECT_EQ(s.Read(1, &ended), "to-b");
    EXPECT_EQ(ReadSome(s.peers[0], &ended), "");
    EXPECT_FALSE(ended);

    TCPSERVER second = tcp_server_create();
    int rc = tcp_server_start(second, Sa(s.at));
    EXPECT_TRUE(rc == NET_ERR_BIND_CONNECT || rc == NET_ERR_LISTEN) << rc;
    EXPECT_STREQ(net_last_error(), uv_strerror(UV_EADDRINUSE));
    tcp_server_destroy(second);
}

TEST(TcpServer, OwnClosesAreSilentAndAPeerCloseIsReportedOnce) {
    Server s;
    s.Connect(3);
    tcp_client_close(s.handles[0]);
    s.close_on_recv = s.handles[1];  // hangs itself up from inside its receive callback
    ASSERT_TRUE(SendAll(s.peers[1], "bye"));
    bool ended[3] = {};
    EXPECT_EQ(s.Read(0, &ended[0]), "");
    EXPECT_TRUE(s.Until([&] { return ReadSome(s.peers[1], &ended[1]).empty() && ended[1]; }));
    EXPECT_TRUE(ended[0]);
    EXPECT_EQ(s.got[s.handles[1]], "bye");
    // The third lives on; its peer's close is the one report.
    ASSERT_TRUE(SendAll(s.peers[2], "still"));
    ASSERT_TRUE(s.Until([&] { return s.got[s.handles[2]] == "still"; }));
    EXPECT_EQ(tcp_client_send(s.handles[2], "here", 4), 4);
    EXPECT_EQ(s.Read(2, &ended[2]), "here");
    close(s.peers[2]);
    s.peers.pop_back();
    ASSERT_TRUE(s.Until([&] { return s.Count('d') > 0; }));
    RunFor([&] { tcp_server_run(s.server, NET_RUN_NOWAIT); }, 50);
    EXPECT_EQ(s.log.back(), std::make_pair('d', s.handles[2]));
    EXPECT_EQ(s.Count('d'), 1);
}

TEST(TcpServer, CloseRestartAndDestroyEndEveryConnectionWithoutCallbacks) {
    Server s;
    s.Connect(2);
    tcp_server_close(s.server);
    for (size_t i = 0; i < 2; ++i) {
        bool ended = false;
        s.Read(i, &ended);
        EXPECT_TRUE(ended) << i;
    }
    s.peers.push_back(testnet::Connect(ntohs(s.at.sin_port)));  // no longer listening: refused
    bool refused = false;
    s.Read(2, &refused);
    EXPECT_TRUE(refused);
    // Started again it listens anew, and a second start drops what it had.
    ASSERT_EQ(tcp_server_start(s.server, Sa(s.at)), 0);
    s.Connect(1);
    ASSERT_EQ(tcp_server_start(s.server, Sa(s.at)), 0);
    bool ended = false;
    s.Read(3, &ended);
    EXPECT_TRUE(ended);
    EXPECT_EQ(s.Count('d'), 0);
    // Destroyed with a connection whose peer does not read, and from a receive callback.
    s.Connect(2);
    std::string chunk(1 << 20, 'q');
    for (int i = 0; i < 16; ++i)
        ASSERT_EQ(tcp_client_send(s.handles[4], chunk.data(), (int)chunk.size()), (int)chunk.size());
    s.destroy_on_recv = true;
    ASSERT_TRUE(SendAll(s.peers[5], "x"));
    ASSERT_TRUE(s.Until([&] { return s.server == nullptr; }));
    for (size_t i : {4, 5}) {
        EXPECT_TRUE(WaitUntil([] {}, [&] { return ReadSome(s.peers[i], &ended).empty() && ended; })) << i;
        ended = false;
    }
    EXPECT_EQ(s.Count('d'), 0);
}

// Forty idle servers visited once per round, as the window's tick does: a new
// connection and its data reach the right one within a few rounds, not only
// when the gate's once-a-second safety net forces a run.
TEST(TcpServer, IdleLoopsSeeNewEventsAtTheNextRounds) {
    std::vector<Server> servers(40);
    auto round = [&] {
        for (Server& s : servers)
            tcp_server_run(s.server, NET_RUN_NOWAIT);
    };
    for (int i = 0; i < 20; ++i)
        round();
    Server& target = servers[20];
    int peer = testnet::Connect(ntohs(target.at.sin_port));
    target.peers.push_back(peer);
    ASSERT_TRUE(SendAll(peer, "0123456789"));
    int rounds = 0;
    for (; rounds < 50 && target.got.empty(); ++rounds) {
        usleep(2000);
        round();
    }
    EXPECT_LT(rounds, 10);
    ASSERT_EQ(target.log.size(), 1u);
    EXPECT_EQ(target.got[target.log[0].second], "0123456789");
    for (const Server& s : servers)
        EXPECT_EQ(s.log.size(), &s == &target ? 1u : 0u);
}

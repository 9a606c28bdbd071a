// The TCP server and its accepted connections against raw loopback peers, and
// the gate that skips idle private loops (with many idle servers).
#include <uv.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "support/Net.h"
#include "transport.h"

using namespace testnet;

namespace {

struct Server {
    Watchdog watchdog{60};
    std::string log;  // 'c' connected, 'd' disconnected, in order
    std::vector<TCPCLIENT> handles;  // handles[i] is the accepted end of peers[i]
    std::vector<int> peers;
    std::map<TCPCLIENT, std::string> got;
    int empty = 0;  // receive callbacks that carried nothing
    TCPCLIENT close_on_recv = nullptr;
    bool destroy_on_recv = false;
    TCPSERVER server = tcp_server_create();
    sockaddr_in at = Ipv4("127.0.0.1", FreePort());

    Server() {
        tcp_server_set_user_data(server, this);
        tcp_server_set_connect_cb(server, [](TCPCLIENT c, void* u) { ((Server*)u)->log += 'c', ((Server*)u)->handles.push_back(c); });
        tcp_server_set_disconnect_cb(server, [](TCPCLIENT c, void* u) { ((Server*)u)->log += c == ((Server*)u)->handles.back() ? 'd' : '?'; });
        tcp_server_set_recv_cb(server, [](TCPCLIENT c, const char* d, int n, void* u) {
            Server* s = (Server*)u;
            s->got[c].append(d, (size_t)n);
            s->empty += n == 0;
            tcp_client_close(c == s->close_on_recv ? c : nullptr);
            if (s->destroy_on_recv)
                tcp_server_destroy(s->server), s->server = nullptr;
        });
        EXPECT_EQ(tcp_server_start(server, Sa(at)), 0);
    }
    ~Server() {
        tcp_server_destroy(server);
        for (int fd : peers)
            close(fd);
    }
    bool Until(const std::function<bool()>& done) { return WaitUntil([this] { tcp_server_run(server, NET_RUN_NOWAIT); }, done); }
    void Connect(size_t n) {
        for (size_t want = peers.size() + n; peers.size() < want;) {
            peers.push_back(testnet::Connect(ntohs(at.sin_port)));
            ASSERT_TRUE(Until([&] { return handles.size() == peers.size(); }));
        }
    }
};

}  // namespace

// A read that drained exactly a whole buffer is followed by libuv's empty
// read: nothing arrived, so nothing is handed on.
TEST(TcpServer, ReadsOfExactlyAWholeBufferBringNoEmptyReceive) {
    Server s;
    s.Connect(1);
    for (size_t n : {65536, 131072, 1000}) {
        const size_t want = s.got[s.handles[0]].size() + n;
        ASSERT_TRUE(SendAll(s.peers[0], std::string(n, 'b')));
        ASSERT_TRUE(s.Until([&] { return s.got[s.handles[0]].size() == want; }));
    }
    EXPECT_EQ(s.empty, 0);
}

// A peer that never reads meets a bound on what is queued for it, with its own code and text.
TEST(TcpServer, SendsToAPeerThatDoesNotReadAreBounded) {
    Server s;
    s.Connect(1);
    const std::string chunk(1 << 20, 'q');
    int rc = 0, sends = 0;
    while (sends++ < 200 && (rc = tcp_client_send(s.handles[0], chunk.data(), (int)chunk.size())) > 0)
        tcp_server_run(s.server, NET_RUN_NOWAIT);
    EXPECT_EQ(rc, NET_ERR_QUEUE_FULL);
    EXPECT_STREQ(net_last_error(), "tcp client send queue is full (the peer is not reading)");
    EXPECT_LE(tcp_client_queued_bytes(s.handles[0]), NET_MAX_QUEUED_BYTES);
    EXPECT_GT(tcp_client_queued_bytes(s.handles[0]), NET_MAX_QUEUED_BYTES - 2 * (int)chunk.size());
}

TEST(TcpServer, DataGoesWithItsConnectionAndABusyPortIsRefused) {
    Server s;
    s.Connect(2);
    sockaddr_in local, remote;
    ASSERT_EQ(tcp_client_local_addr(s.handles[0], (sockaddr*)&local) | tcp_client_remote_addr(s.handles[0], (sockaddr*)&remote), 0);
    EXPECT_EQ(local.sin_port, s.at.sin_port);
    EXPECT_EQ(ntohs(remote.sin_port), PortOf(s.peers[0]));
    ASSERT_TRUE(SendAll(s.peers[0], "0123456789") && SendAll(s.peers[1], "abcdefghij"));
    ASSERT_TRUE(s.Until([&] { return s.got[s.handles[0]].size() + s.got[s.handles[1]].size() == 20; }));
    EXPECT_EQ(s.got[s.handles[0]], "0123456789");
    EXPECT_EQ(tcp_client_send(s.handles[1], "to-b", 4), 4);
    ASSERT_TRUE(s.Until([&] { return Readable(s.peers[1], 0); }));
    bool ended = false;
    EXPECT_EQ(ReadSome(s.peers[1]) + ReadSome(s.peers[0], &ended), "to-b");
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
    s.close_on_recv = s.handles[1];  // from inside its own receive callback
    ASSERT_TRUE(SendAll(s.peers[1], "bye"));
    for (size_t i = 0; i < 2; ++i) {
        bool ended = false;
        EXPECT_TRUE(s.Until([&] { return ReadSome(s.peers[i], &ended).empty() && ended; })) << i;
    }
    ASSERT_TRUE(SendAll(s.peers[2], "still"));  // the third lives on
    ASSERT_TRUE(s.Until([&] { return s.got[s.handles[2]] == "still"; }));
    close(s.peers[2]);
    s.peers.pop_back();
    ASSERT_TRUE(s.Until([&] { return s.log.size() == 4; }));
    RunFor([&] { tcp_server_run(s.server, NET_RUN_NOWAIT); }, 50);
    EXPECT_EQ(s.log, "cccd");
}

TEST(TcpServer, CloseRestartAndDestroyEndEveryConnectionSilently) {
    Server s;
    s.Connect(1);
    tcp_server_close(s.server);
    ASSERT_EQ(tcp_server_start(s.server, Sa(s.at)), 0);
    s.Connect(1);
    ASSERT_EQ(tcp_server_start(s.server, Sa(s.at)), 0);  // a second start drops what it had
    s.Connect(2);
    std::string chunk(1 << 20, 'q');  // queued for a peer that does not read
    for (int i = 0; i < 16; ++i)
        ASSERT_EQ(tcp_client_send(s.handles[2], chunk.data(), (int)chunk.size()), (int)chunk.size());
    s.destroy_on_recv = true;
    ASSERT_TRUE(SendAll(s.peers[3], "x"));
    ASSERT_TRUE(s.Until([&] { return s.server == nullptr; }));
    for (size_t i = 0; i < s.peers.size(); ++i) {
        bool ended = false;
        EXPECT_TRUE(WaitUntil([] {}, [&] { return ReadSome(s.peers[i], &ended).empty() && ended; })) << i;
    }
    EXPECT_EQ(s.log, "cccc");
}

// Forty idle servers visited once per round, as the window's tick does: a new
// connection and its data reach the right one at the next rounds, not only
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
    target.peers.push_back(Connect(ntohs(target.at.sin_port)));
    ASSERT_TRUE(SendAll(target.peers[0], "0123456789"));
    int rounds = 0;
    for (; rounds < 50 && target.got.empty(); ++rounds, usleep(2000))
        round();
    EXPECT_LT(rounds, 10);
    for (const Server& s : servers)
        EXPECT_EQ(s.log, &s == &target ? "c" : "");
}

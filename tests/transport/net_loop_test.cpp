// The idle-loop gate: many private loops visited once per round, as the
// window's tick does. Events must reach the right loop in the next round, not
// only when the gate's once-a-second safety net forces a run.
#include <gtest/gtest.h>

#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "tcp_helpers.h"
#include "transport.h"

namespace {

struct Counts {
    int connected = 0;
    int received = 0;
    TCPCLIENT client = nullptr;
};

void on_connect(TCPCLIENT client, void* user) {
    Counts* counts = (Counts*)user;
    ++counts->connected;
    counts->client = client;
}

void on_recv(TCPCLIENT, const char*, int length, void* user) {
    ((Counts*)user)->received += length;
}

class ManyLoops : public ::testing::Test {
protected:
    static const int kServers = 40;

    void SetUp() override {
        for (int i = 0; i < kServers; ++i) {
            TCPSERVER server = tcp_server_create();
            ASSERT_NE(server, nullptr);
            tcp_server_set_user_data(server, &counts_[i]);
            tcp_server_set_connect_cb(server, on_connect);
            tcp_server_set_recv_cb(server, on_recv);
            struct sockaddr_in addr = loopback(0);
            ASSERT_EQ(tcp_server_start(server, (const struct sockaddr*)&addr), 0);
            servers_.push_back(server);
        }
    }

    void TearDown() override {
        for (TCPSERVER server : servers_)
            tcp_server_destroy(server);
    }

    // One round: every loop once, without waiting, like one window tick.
    void Round() {
        for (TCPSERVER server : servers_)
            tcp_server_run(server, NET_RUN_NOWAIT);
    }

    std::vector<TCPSERVER> servers_;
    Counts counts_[kServers];
};

}  // namespace

TEST_F(ManyLoops, IdleLoopsStillSeeNewConnectionsAndDataWithinAFewRounds) {
    Watchdog watchdog(30);
    // A raw listener tells us a free port; start one more server on it so the
    // test knows which loop the connection belongs to.
    int probe = raw_listener();
    uint16_t port = port_of(probe);
    close(probe);
    TCPSERVER target = tcp_server_create();
    Counts counts;
    tcp_server_set_user_data(target, &counts);
    tcp_server_set_connect_cb(target, on_connect);
    tcp_server_set_recv_cb(target, on_recv);
    struct sockaddr_in addr = loopback(port);
    ASSERT_EQ(tcp_server_start(target, (const struct sockaddr*)&addr), 0);
    servers_.insert(servers_.begin() + kServers / 2, target);

    for (int i = 0; i < 20; ++i)
        Round();  // long idle: the gate now skips every loop

    int peer = raw_connect(port);
    ASSERT_GE(peer, 0);
    ASSERT_EQ(send(peer, "0123456789", 10, 0), 10);
    int rounds = 0;
    while ((counts.connected == 0 || counts.received < 10) && rounds < 50) {
        usleep(2000);
        Round();
        ++rounds;
    }
    EXPECT_EQ(counts.connected, 1);
    EXPECT_EQ(counts.received, 10);
    // Far fewer rounds than the forced run every hundred.
    EXPECT_LT(rounds, 10);

    // A send queued between rounds completes at the next visit: the peer reads it.
    ASSERT_NE(counts.client, nullptr);
    for (int i = 0; i < 20; ++i)
        Round();
    ASSERT_EQ(tcp_client_send(counts.client, "abc", 3), 3);
    char buf[8];
    int got = 0;
    for (rounds = 0; got < 3 && rounds < 50; ++rounds) {
        Round();
        ssize_t n = recv(peer, buf + got, sizeof(buf) - (size_t)got, MSG_DONTWAIT);
        if (n > 0)
            got += (int)n;
        usleep(2000);
    }
    EXPECT_EQ(got, 3);
    EXPECT_LT(rounds, 10);
    EXPECT_EQ(memcmp(buf, "abc", 3), 0);
    close(peer);
    for (int i = 0; i < kServers; ++i)
        EXPECT_EQ(counts_[i].connected, 0);
}

// The UDP endpoint and the UDP group against plain sockets on loopback;
// broadcast and multicast inside a private network namespace.
#include <uv.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/Net.h"
#include "udp_group.h"

using namespace testnet;

namespace {

struct Got {
    UDPCLIENT member;  // null: through the endpoint's own callback
    std::string data;
    uint16_t from;
};
struct Log {
    std::vector<Got> got;
    UDPCLIENT close_on_recv = nullptr, destroy_on_recv = nullptr;
};

void OnOwn(const char* data, int64_t n, const sockaddr* from, void* user) {
    Log* log = (Log*)user;
    log->got.push_back({nullptr, std::string(data, (size_t)n), ntohs(((const sockaddr_in*)from)->sin_port)});
    udp_client_close(log->close_on_recv);
    udp_client_destroy(log->destroy_on_recv);
}

UDPCLIENT Endpoint(Log* log, UDPCLIENT c = udp_client_create(), const char* ip = "127.0.0.1") {
    udp_client_set_recv_cb(c, OnOwn);
    udp_client_set_user_data(c, log);
    sockaddr_in at = Ipv4(ip, 0);
    EXPECT_EQ(udp_client_start(c, Sa(at)), 0);
    return c;
}

uint16_t PortOf(UDPCLIENT c) {
    sockaddr_in local;
    memset(&local, 0xff, sizeof(local));
    EXPECT_EQ(udp_client_local_addr(c, (sockaddr*)&local), 0);
    return ntohs(local.sin_port);
}

bool Until(UDPCLIENT c, const std::function<bool()>& done) { return WaitUntil([c] { udp_client_run(c, NET_RUN_NOWAIT); }, done, 3000); }

}  // namespace

TEST(UdpEndpoint, SendsReceivesChecksLengthsAndRestarts) {
    Log log;
    UdpPeer peer;
    UDPCLIENT c = udp_client_create();
    sockaddr_in to = Ipv4("127.0.0.1", peer.Port());
    EXPECT_EQ(udp_client_send(c, "x", 1, Sa(to)), -1);
    EXPECT_EQ(udp_client_start(c, Sa(to)), -3);  // the peer holds that port
    EXPECT_STREQ(net_last_error(), uv_strerror(UV_EADDRINUSE));
    Endpoint(&log, c);
    const std::string full(MAX_UDP_PAYLOAD + 1, 'f');
    EXPECT_EQ(udp_client_send(c, full.data(), MAX_UDP_PAYLOAD + 1, Sa(to)), -2);
    EXPECT_EQ(udp_client_send(c, full.data(), 0, Sa(to)), -3);
    EXPECT_EQ(udp_client_send(c, full.data(), MAX_UDP_PAYLOAD, Sa(to)), MAX_UDP_PAYLOAD);
    bool ok = false;
    EXPECT_EQ(peer.Receive(&ok), full.substr(1));
    peer.Receive(&ok, 50);
    EXPECT_FALSE(ok) << "a refused datagram reached the wire";
    // An empty datagram calls nothing; the sender is named.
    const uint16_t first = PortOf(c);
    ASSERT_TRUE(peer.SendTo("", "127.0.0.1", first) && peer.SendTo("hello", "127.0.0.1", first));
    ASSERT_TRUE(Until(c, [&] { return !log.got.empty(); }));
    RunFor([c] { udp_client_run(c, NET_RUN_NOWAIT); }, 20);
    ASSERT_EQ(log.got.size(), 1u);
    EXPECT_EQ(log.got[0].data + std::to_string(log.got[0].from), "hello" + std::to_string(peer.Port()));
    // Started again, its old port is free at once; closed, it has no address.
    Endpoint(&log, c);
    EXPECT_NE(PortOf(c), first);
    EXPECT_TRUE(UdpPeer("127.0.0.1", first).Bound());
    udp_client_close(c);
    EXPECT_EQ(PortOf(c), 0);
    EXPECT_EQ(udp_client_send(c, "x", 1, Sa(to)), -1);
    udp_client_destroy(c);
}

TEST(UdpEndpoint, CallbackMayCloseOrDestroyItWithSendsInFlight) {
    for (bool destroy : {false, true}) {
        Log log;
        UDPCLIENT c = Endpoint(&log);
        (destroy ? log.destroy_on_recv : log.close_on_recv) = c;
        sockaddr_in self = Ipv4("127.0.0.1", PortOf(c));
        for (int i = 0; i < 20; ++i)
            ASSERT_EQ(udp_client_send(c, "bye", 3, Sa(self)), 3);
        ASSERT_TRUE(Until(c, [&] { return !log.got.empty(); }));
        if (!destroy) {  // closed and quiet, and still usable
            RunFor([c] { udp_client_run(c, NET_RUN_NOWAIT); }, 30);
            log.close_on_recv = nullptr;
            ASSERT_TRUE(UdpPeer().SendTo("again", "127.0.0.1", PortOf(Endpoint(&log, c))));
            ASSERT_TRUE(Until(c, [&] { return log.got.size() == 2; }));
            EXPECT_EQ(log.got[1].data, "again");
            udp_client_destroy(c);
        }
        EXPECT_EQ(log.got[0].data, "bye");
    }
}

TEST(UdpEndpoint, BroadcastAndMulticastReachTheListener) {
    int status = RunInNamespace([] {
        Log log;
        UDPCLIENT listener = Endpoint(&log, udp_client_create(), "0.0.0.0"), sender = Endpoint(&log);
        auto run = [&] { udp_client_run(listener, NET_RUN_NOWAIT), udp_client_run(sender, NET_RUN_NOWAIT); };
        sockaddr_in broadcast = Ipv4("127.255.255.255", PortOf(listener)), group = Ipv4("239.1.2.3", PortOf(listener));
        EXPECT_EQ(udp_client_send(sender, "to all", 6, Sa(broadcast)), 6);  // no option needed
        EXPECT_TRUE(WaitUntil(run, [&] { return log.got.size() == 1; }));
        EXPECT_EQ(udp_client_send(sender, "early", 5, Sa(group)), 5);  // not joined yet
        RunFor(run, 100);
        EXPECT_EQ(udp_client_join_multicast(listener, "not an address", "127.0.0.1"), UV_EINVAL);
        EXPECT_EQ(udp_client_join_multicast(listener, "239.1.2.3", "127.0.0.1"), 0);
        EXPECT_EQ(udp_client_send(sender, "joined", 6, Sa(group)), 6);
        EXPECT_TRUE(WaitUntil(run, [&] { return log.got.size() == 2; }));
        EXPECT_EQ(log.got.back().data + std::to_string(log.got.back().from), "joined" + std::to_string(PortOf(sender)));
        udp_client_destroy(sender);
        udp_client_destroy(listener);
        return ::testing::Test::HasFailure() ? 1 : 0;
    });
    if (status == kNoNamespace)
        GTEST_SKIP() << "network namespaces are not available here";
    EXPECT_EQ(status, 0) << "the namespaced part failed (see above)";
}

TEST(UdpGroup, DeliversNamingTheMemberAfterItsOwnCallback) {
    Log log;
    UDPGROUP group = net__udp_group_create();
    net__udp_group_set_user_data(group, &log);
    net__udp_group_set_recv_cb(group, [](UDPCLIENT member, const char* d, int n, const sockaddr* from, void* u) {
        ((Log*)u)->got.push_back({member, std::string(d, (size_t)n), ntohs(((const sockaddr_in*)from)->sin_port)});
    });
    auto run = [group] { net__udp_group_run(group, NET_RUN_NOWAIT); };
    UDPCLIENT a = udp_client_create(), b = udp_client_create(), own = Endpoint(&log);
    sockaddr_in any = Ipv4("127.0.0.1", 0);
    EXPECT_EQ(net__udp_group_add(group, a, Sa(any)), -102);  // not started
    net__udp_group_start(group);
    ASSERT_EQ(net__udp_group_add(group, a, Sa(any)) | net__udp_group_add(group, b, Sa(any)), 0);
    EXPECT_EQ(net__udp_group_add(group, a, Sa(any)), -103);
    EXPECT_EQ(net__udp_group_add(group, own, Sa(any)), -104);  // has a loop of its own
    udp_client_set_recv_cb(a, OnOwn);
    udp_client_set_user_data(a, &log);
    UdpPeer peer;
    ASSERT_TRUE(peer.SendTo("", "127.0.0.1", PortOf(a)) && peer.SendTo("to a", "127.0.0.1", PortOf(a)));
    ASSERT_TRUE(WaitUntil(run, [&] { return log.got.size() == 2; }));
    ASSERT_TRUE(peer.SendTo("to b", "127.0.0.1", PortOf(b)));
    ASSERT_TRUE(WaitUntil(run, [&] { return log.got.size() == 3; }));
    RunFor(run, 20);
    std::vector<UDPCLIENT> members;
    for (const Got& g : log.got) {
        members.push_back(g.member);
        EXPECT_EQ(g.data + std::to_string(g.from), (g.member == b ? "to b" : "to a") + std::to_string(peer.Port()));
    }
    EXPECT_EQ(members, std::vector<UDPCLIENT>({nullptr, a, b}));  // a's own callback first
    // A removed member is closed, its port free; a stopped group still runs the rest.
    const uint16_t gone = PortOf(a);
    ASSERT_EQ(net__udp_group_remove(group, a), 0);
    EXPECT_EQ(net__udp_group_remove(group, a), -103);
    EXPECT_TRUE(UdpPeer("127.0.0.1", gone).Bound());
    net__udp_group_stop(group);
    ASSERT_TRUE(peer.SendTo("to b", "127.0.0.1", PortOf(b)));
    ASSERT_TRUE(WaitUntil(run, [&] { return log.got.size() == 4; }));
    // Either side may go first: a destroyed endpoint leaves the group, a destroyed group its members.
    udp_client_destroy(a);
    net__udp_group_destroy(group);
    EXPECT_EQ(PortOf(b), 0);
    ASSERT_TRUE(peer.SendTo("alone", "127.0.0.1", PortOf(Endpoint(&log, b))));
    ASSERT_TRUE(Until(b, [&] { return log.got.size() == 5; }));
    udp_client_destroy(b);
    udp_client_destroy(own);
}

// One run takes everything ready, in order, not libuv's 32 reads per pass;
// what the kernel had to drop for a full buffer is counted, none unaccounted.
TEST(UdpEndpoint, ARunTakesAllThatIsReadyAndCountsWhatTheKernelDropped) {
    Log log;
    UDPCLIENT c = Endpoint(&log);
    UdpPeer peer;
    auto burst = [&](int from, int count, size_t size) {
        for (int i = from; i < from + count; ++i)
            peer.SendTo(std::to_string(i) + std::string(size, '.'), "127.0.0.1", PortOf(c));
        usleep(50000);  // loopback delivery is done by then
    };
    burst(0, 100, 10);
    net_run_budget(1000000);  // a generous round: the run is bounded by what is ready
    udp_client_run(c, NET_RUN_NOWAIT);
    net_run_budget(0);
    ASSERT_EQ(log.got.size(), 100u);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(log.got[(size_t)i].data, std::to_string(i) + "..........");
    EXPECT_EQ(udp_client_dropped(c), 0);
    ASSERT_EQ(udp_client_set_recv_buffer_size(c, 1), 0);  // the kernel's smallest
    burst(100, 200, 1000);
    ASSERT_TRUE(Until(c, [&] { return log.got.size() + (size_t)udp_client_dropped(c) == 300; }));
    EXPECT_GT(udp_client_dropped(c), 0);
    udp_client_destroy(c);
}

// The UDP endpoint and the UDP group against plain sockets on loopback;
// broadcast and multicast inside a private network namespace.
#include <uv.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
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

void OnGroup(UDPCLIENT member, const char* data, int n, const sockaddr* from, void* user) {
    ((Log*)user)->got.push_back({member, std::string(data, (size_t)n), ntohs(((const sockaddr_in*)from)->sin_port)});
}

UDPCLIENT Endpoint(Log* log, const char* ip = "127.0.0.1", uint16_t port = 0) {
    UDPCLIENT c = udp_client_create();
    udp_client_set_recv_cb(c, OnOwn);
    udp_client_set_user_data(c, log);
    sockaddr_in at = Ipv4(ip, port);
    EXPECT_EQ(udp_client_start(c, Sa(at)), 0);
    return c;
}

uint16_t PortOf(UDPCLIENT c) {
    sockaddr_in local;
    memset(&local, 0xff, sizeof(local));
    EXPECT_EQ(udp_client_local_addr(c, (sockaddr*)&local), 0);
    return ntohs(local.sin_port);
}

bool Until(const std::function<void()>& run, const std::function<bool()>& done) { return WaitUntil(run, done, 3000); }

}  // namespace

TEST(UdpEndpoint, SendsReceivesChecksLengthsAndRestarts) {
    Log log;
    UdpPeer peer;
    UDPCLIENT idle = udp_client_create();
    sockaddr_in to = Ipv4("127.0.0.1", peer.Port());
    EXPECT_EQ(udp_client_send(idle, "x", 1, Sa(to)), -1);
    EXPECT_STREQ(net_last_error(), "udp client uninitialized");
    sockaddr_in taken = Ipv4("127.0.0.1", peer.Port());
    EXPECT_EQ(udp_client_start(idle, Sa(taken)), -3);
    EXPECT_STREQ(net_last_error(), uv_strerror(UV_EADDRINUSE));
    udp_client_destroy(idle);

    UDPCLIENT c = Endpoint(&log);
    auto run = [c] { udp_client_run(c, NET_RUN_NOWAIT); };
    std::string full(MAX_UDP_PAYLOAD, '\0');
    for (size_t i = 0; i < full.size(); ++i)
        full[i] = (char)(i * 7 + 1);
    EXPECT_EQ(udp_client_send(c, full.data(), MAX_UDP_PAYLOAD, Sa(to)), MAX_UDP_PAYLOAD);
    EXPECT_EQ(udp_client_send(c, full.data(), MAX_UDP_PAYLOAD + 1, Sa(to)), -2);
    EXPECT_EQ(udp_client_send(c, full.data(), 0, Sa(to)), -3);
    bool ok = false;
    EXPECT_EQ(peer.Receive(&ok), full);
    peer.Receive(&ok, 50);
    EXPECT_FALSE(ok) << "a refused datagram reached the wire";

    // An empty datagram calls nothing; the sender is named.
    uint16_t first = PortOf(c);
    ASSERT_TRUE(peer.SendTo("", "127.0.0.1", first) && peer.SendTo("hello", "127.0.0.1", first));
    ASSERT_TRUE(Until(run, [&] { return !log.got.empty(); }));
    RunFor(run, 20);
    ASSERT_EQ(log.got.size(), 1u);
    EXPECT_EQ(log.got[0].data, "hello");
    EXPECT_EQ(log.got[0].from, peer.Port());

    // Started again, the old port is free at once; closed, it has no address.
    sockaddr_in any = Ipv4("127.0.0.1", 0);
    ASSERT_EQ(udp_client_start(c, Sa(any)), 0);
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
        auto run = [&] { udp_client_run(c, NET_RUN_NOWAIT); };
        sockaddr_in self = Ipv4("127.0.0.1", PortOf(c));
        for (int i = 0; i < 20; ++i)
            ASSERT_EQ(udp_client_send(c, "bye", 3, Sa(self)), 3);
        ASSERT_TRUE(Until(run, [&] { return !log.got.empty(); }));
        EXPECT_EQ(log.got.size(), 1u);
        if (destroy)
            continue;
        RunFor(run, 30);
        EXPECT_EQ(log.got.size(), 1u);
        log.close_on_recv = nullptr;
        sockaddr_in any = Ipv4("127.0.0.1", 0);
        ASSERT_EQ(udp_client_start(c, Sa(any)), 0);  // still usable
        UdpPeer peer;
        ASSERT_TRUE(peer.SendTo("again", "127.0.0.1", PortOf(c)));
        ASSERT_TRUE(Until(run, [&] { return log.got.size() == 2; }));
        EXPECT_EQ(log.got[1].data, "again");
        udp_client_destroy(c);
    }
}

TEST(UdpEndpoint, EnlargedReceiveBufferHoldsABurstAndRunOnceWaits) {
    Log log;
    UDPCLIENT c = udp_client_create();
    EXPECT_EQ(udp_client_set_recv_buffer_size(c, 1 << 20), UV_EBADF);
    udp_client_destroy(c);
    c = Endpoint(&log);
    EXPECT_EQ(udp_client_set_recv_buffer_size(c, 0), UV_EINVAL);
    ASSERT_EQ(udp_client_set_recv_buffer_size(c, 1 << 20), 0);
    UdpPeer peer;
    const std::string datagram(MAX_UDP_PAYLOAD, 'b');
    for (int i = 0; i < 400; ++i)  // about four times what the default buffer holds
        ASSERT_TRUE(peer.SendTo(datagram, "127.0.0.1", PortOf(c)));
    EXPECT_TRUE(Until([c] { udp_client_run(c, NET_RUN_NOWAIT); }, [&] { return log.got.size() == 400; }));
    std::thread late([&] {
        usleep(50000);
        peer.SendTo("late", "127.0.0.1", PortOf(c));
    });
    udp_client_run(c, NET_RUN_ONCE);  // only a waiting run sees it
    late.join();
    EXPECT_EQ(log.got.back().data, "late");
    udp_client_destroy(c);
}

TEST(UdpEndpoint, BroadcastAndMulticastReachTheListener) {
    int status = RunInNamespace([] {
        Log log;
        UDPCLIENT listener = Endpoint(&log, "0.0.0.0"), sender = Endpoint(&log);
        auto run = [&] { udp_client_run(listener, NET_RUN_NOWAIT); udp_client_run(sender, NET_RUN_NOWAIT); };
        sockaddr_in broadcast = Ipv4("127.255.255.255", PortOf(listener)), group = Ipv4("239.1.2.3", PortOf(listener));
        EXPECT_EQ(udp_client_send(sender, "to all", 6, Sa(broadcast)), 6);  // no option needed
        EXPECT_TRUE(Until(run, [&] { return log.got.size() == 1; }));
        EXPECT_EQ(udp_client_send(sender, "early", 5, Sa(group)), 5);  // not joined yet
        RunFor(run, 100);
        EXPECT_EQ(udp_client_join_multicast(listener, "not an address", "127.0.0.1"), UV_EINVAL);
        EXPECT_EQ(udp_client_join_multicast(listener, "239.1.2.3", "127.0.0.1"), 0);
        EXPECT_EQ(udp_client_send(sender, "joined", 6, Sa(group)), 6);
        EXPECT_TRUE(Until(run, [&] { return log.got.size() == 2; }));
        EXPECT_EQ(log.got.back().data, "joined");
        EXPECT_EQ(log.got.back().from, PortOf(sender));
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
    net__udp_group_set_recv_cb(group, OnGroup);
    net__udp_group_set_user_data(group, &log);
    auto run = [group] { net__udp_group_run(group, NET_RUN_NOWAIT); };
    UDPCLIENT a = udp_client_create(), b = udp_client_create(), own = Endpoint(&log);
    sockaddr_in any = Ipv4("127.0.0.1", 0);
    EXPECT_EQ(net__udp_group_add(group, a, Sa(any)), -102);  // not started
    net__udp_group_start(group);
    ASSERT_EQ(net__udp_group_add(group, a, Sa(any)), 0);
    ASSERT_EQ(net__udp_group_add(group, b, Sa(any)), 0);
    EXPECT_EQ(net__udp_group_add(group, a, Sa(any)), -103);
    EXPECT_EQ(net__udp_group_add(group, own, Sa(any)), -104);  // has a loop of its own
    udp_client_set_recv_cb(a, OnOwn);
    udp_client_set_user_data(a, &log);
    UdpPeer peer;
    ASSERT_TRUE(peer.SendTo("", "127.0.0.1", PortOf(a)) && peer.SendTo("to a", "127.0.0.1", PortOf(a)));
    ASSERT_TRUE(Until(run, [&] { return log.got.size() == 2; }));
    ASSERT_TRUE(peer.SendTo("to b", "127.0.0.1", PortOf(b)));
    ASSERT_TRUE(Until(run, [&] { return log.got.size() == 3; }));
    RunFor(run, 20);
    ASSERT_EQ(log.got.size(), 3u);
    EXPECT_EQ(log.got[0].member, nullptr);  // a's own callback first
    EXPECT_EQ(log.got[1].member, a);
    EXPECT_EQ(log.got[2].member, b);
    for (const Got& g : log.got) {
        EXPECT_EQ(g.data, g.member == b ? "to b" : "to a");
        EXPECT_EQ(g.from, peer.Port());
    }

    // A removed member is closed, its port free; a stopped group still runs the rest.
    uint16_t gone = PortOf(a);
    ASSERT_EQ(net__udp_group_remove(group, a), 0);
    EXPECT_EQ(net__udp_group_remove(group, a), -103);
    EXPECT_EQ(PortOf(a), 0);
    EXPECT_TRUE(UdpPeer("127.0.0.1", gone).Bound());
    net__udp_group_stop(group);
    ASSERT_TRUE(peer.SendTo("still", "127.0.0.1", PortOf(b)));
    ASSERT_TRUE(Until(run, [&] { return log.got.size() == 4; }));
    EXPECT_EQ(log.got[3].member, b);

    // Either side may go first: a member destroyed while in, then the group with b still in.
    udp_client_destroy(a);
    net__udp_group_destroy(group);
    EXPECT_EQ(PortOf(b), 0);
    ASSERT_EQ(udp_client_start(b, Sa(any)), 0);  // a plain endpoint now
    udp_client_set_recv_cb(b, OnOwn);
    udp_client_set_user_data(b, &log);
    ASSERT_TRUE(peer.SendTo("alone", "127.0.0.1", PortOf(b)));
    ASSERT_TRUE(Until([b] { udp_client_run(b, NET_RUN_NOWAIT); }, [&] { return log.got.size() == 5; }));
    udp_client_destroy(b);
    udp_client_destroy(own);
}

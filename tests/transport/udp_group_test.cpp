// The UDP group with real endpoints and plain peer sockets on loopback.
#include "transport/udp_test_support.h"

#include "udp_group.h"

using namespace udptest;

namespace {

struct Delivery {
    UDPCLIENT member;  // null for a delivery through the member's own callback
    std::string data;
    sockaddr_in sender;
};

// Records the group's callback and, in the same log, the members' own callbacks.
struct Log {
    std::vector<Delivery> got;
    void* seen_user = nullptr;

    static void on_group(UDPCLIENT member, const char* data, int length, const sockaddr* sender,
                         void* user) {
        Log* self = (Log*)user;
        Delivery d{member, std::string(data, (size_t)length), {}};
        memcpy(&d.sender, sender, sizeof(d.sender));
        self->got.push_back(d);
        self->seen_user = user;
    }
    static void on_member(const char* data, int64_t nread, const sockaddr* sender, void* user) {
        Log* self = (Log*)user;
        Delivery d{nullptr, std::string(data, (size_t)nread), {}};
        memcpy(&d.sender, sender, sizeof(d.sender));
        self->got.push_back(d);
    }
};

class UdpGroup : public WatchdogTest {
protected:
    void SetUp() override {
        WatchdogTest::SetUp();
        group = net__udp_group_create();
        ASSERT_NE(group, nullptr);
        net__udp_group_set_recv_cb(group, Log::on_group);
        net__udp_group_set_user_data(group, &log);
        for (UDPCLIENT& c : clients) {
            c = udp_client_create();
            ASSERT_NE(c, nullptr);
        }
    }
    void TearDown() override {
        // The owner's order: members out, group stopped and destroyed, endpoints freed.
        net__udp_group_start(group);
        for (UDPCLIENT c : clients)
            net__udp_group_remove(group, c);
        net__udp_group_stop(group);
        net__udp_group_destroy(group);
        for (UDPCLIENT c : clients)
            udp_client_destroy(c);
        WatchdogTest::TearDown();
    }
    std::function<void()> run() {
        return [this] { net__udp_group_run(group, NET_RUN_NOWAIT); };
    }
    int add(UDPCLIENT c) {
        sockaddr_in any = loopback(0);
        return net__udp_group_add(group, c, sa(any));
    }

    UDPGROUP group = nullptr;
    UDPCLIENT clients[3] = {};
    Log log;
};

}  // namespace

TEST_F(UdpGroup, AddAndRemoveNeedAStartedGroup) {
    EXPECT_EQ(add(clients[0]), -102);
    EXPECT_STREQ(net_last_error(), "udp group uninitialized");
    // The refused endpoint was not touched: it can still be added.
    EXPECT_EQ(net__udp_group_start(group), 0);
    EXPECT_EQ(add(clients[0]), 0);

    net__udp_group_stop(group);
    EXPECT_EQ(net__udp_group_remove(group, clients[0]), -102);
    EXPECT_STREQ(net_last_error(), "udp group uninitialized");

    // Start and stop may be repeated; the member is still there.
    net__udp_group_start(group);
    EXPECT_EQ(net__udp_group_remove(group, clients[0]), 0);
    EXPECT_EQ(net__udp_group_remove(group, clients[0]), -103);
    EXPECT_STREQ(net_last_error(), "udp group does not include client");
}

TEST_F(UdpGroup, RefusesDuplicatesAndEndpointsWithALoop) {
    net__udp_group_start(group);
    ASSERT_EQ(add(clients[0]), 0);
    EXPECT_EQ(add(clients[0]), -103);
    EXPECT_STREQ(net_last_error(), "udp group already contains the client");

    sockaddr_in any = loopback(0);
    ASSERT_EQ(udp_client_start(clients[1], sa(any)), 0);
    EXPECT_EQ(add(clients[1]), -104);
    EXPECT_STREQ(net_last_error(), "udp group client already initialized");

    udp_client_run(clients[2], NET_RUN_NOWAIT);
    EXPECT_EQ(add(clients[2]), -104);

    // A member of another group is refused as well.
    UDPGROUP other = net__udp_group_create();
    net__udp_group_start(other);
    UDPCLIENT shared = udp_client_create();
    ASSERT_EQ(net__udp_group_add(other, shared, sa(any)), 0);
    EXPECT_EQ(add(shared), -104);
    EXPECT_EQ(net__udp_group_remove(other, shared), 0);
    net__udp_group_destroy(other);
    udp_client_destroy(shared);
}

TEST_F(UdpGroup, DeliversEachDatagramNamingItsMember) {
    net__udp_group_start(group);
    ASSERT_EQ(add(clients[0]), 0);
    ASSERT_EQ(add(clients[1]), 0);
    uint16_t p0 = port_of(clients[0]), p1 = port_of(clients[1]);
    ASSERT_NE(p0, 0);
    ASSERT_NE(p1, 0);
    EXPECT_NE(p0, p1);

    // Added, never run: the first group run picks the datagrams up.
    Peer peer;
    ASSERT_EQ(peer.send_to("to one", loopback(p1)), 6);
    ASSERT_EQ(peer.send_to("to zero", loopback(p0)), 7);
    ASSERT_TRUE(wait_for(run(), [&] { return log.got.size() == 2; }));
    run_for(run(), 20);
    ASSERT_EQ(log.got.size(), 2u);
    EXPECT_EQ(log.seen_user, &log);
    for (const Delivery& d : log.got) {
        EXPECT_EQ(d.member, d.data == "to one" ? clients[1] : clients[0]) << d.data;
        EXPECT_EQ(d.sender.sin_port, peer.address().sin_port);
    }
}

TEST_F(UdpGroup, MemberCallbackComesFirstAndEmptyDatagramsAreDropped) {
    net__udp_group_start(group);
    ASSERT_EQ(add(clients[0]), 0);
    udp_client_set_recv_cb(clients[0], Log::on_member);
    udp_client_set_user_data(clients[0], &log);

    Peer peer;
    sockaddr_in to = loopback(port_of(clients[0]));
    ASSERT_EQ(peer.send_to("", to), 0);
    ASSERT_EQ(peer.send_to("x", to), 1);
    ASSERT_TRUE(wait_for(run(), [&] { return log.got.size() >= 2; }));
    run_for(run(), 20);
    ASSERT_EQ(log.got.size(), 2u);
    EXPECT_EQ(log.got[0].member, nullptr);  // the member's own callback
    EXPECT_EQ(log.got[1].member, clients[0]);
    EXPECT_EQ(log.got[0].data, "x");
    EXPECT_EQ(log.got[1].data, "x");
}

TEST_F(UdpGroup, MembersShareOneBufferWithoutMixingData) {
    net__udp_group_start(group);
    ASSERT_EQ(add(clients[0]), 0);
    ASSERT_EQ(add(clients[1]), 0);
    sockaddr_in to0 = loopback(port_of(clients[0]));
    sockaddr_in to1 = loopback(port_of(clients[1]));
    // Members talk to each other through their own sends, alternating sizes.
    const int count = 40;
    for (int i = 0; i < count; ++i) {
        std::string payload((size_t)(i % 2 ? MAX_UDP_PAYLOAD : 3 + i), (char)('a' + i % 26));
        UDPCLIENT from = i % 2 ? clients[0] : clients[1];
        ASSERT_EQ(udp_client_send(from, payload.data(), (int)payload.size(), sa(i % 2 ? to1 : to0)),
                  (int)payload.size());
    }
    ASSERT_TRUE(wait_for(run(), [&] { return log.got.size() == (size_t)count; }));
    int seen[2] = {0, 0};
    for (const Delivery& d : log.got) {
        bool big = d.data.size() == MAX_UDP_PAYLOAD;
        EXPECT_EQ(d.member, big ? clients[1] : clients[0]);
        EXPECT_EQ(d.data.find_first_not_of(d.data[0]), std::string::npos);
        ++seen[big];
    }
    EXPECT_EQ(seen[0], count / 2);
    EXPECT_EQ(seen[1], count / 2);
}

TEST_F(UdpGroup, BindFailureLeavesTheEndpointOutOfTheSet) {
    net__udp_group_start(group);
    Peer occupant;
    ASSERT_TRUE(occupant.bound());
    sockaddr_in taken = loopback(occupant.port());
    EXPECT_EQ(net__udp_group_add(group, clients[0], sa(taken)), -105);
    EXPECT_STREQ(net_last_error(), "udp group client initialize failed");
    EXPECT_EQ(net__udp_group_remove(group, clients[0]), -103);
    // Still attached to this group's loop, so it cannot come in again.
    EXPECT_EQ(add(clients[0]), -104);
    // The group runs on, unharmed, for its real members.
    ASSERT_EQ(add(clients[1]), 0);
    ASSERT_EQ(occupant.send_to("fine", loopback(port_of(clients[1]))), 4);
    ASSERT_TRUE(wait_for(run(), [&] { return log.got.size() == 1; }));
    EXPECT_EQ(log.got[0].member, clients[1]);
}

TEST_F(UdpGroup, LoopFailureLeavesTheEndpointFree) {
    net__udp_group_start(group);
    {
        FdExhaustion full;
        ASSERT_TRUE(full.exhausted());
        net__udp_group_run(group, NET_RUN_NOWAIT);  // cannot make a loop: does nothing
        EXPECT_EQ(add(clients[0]), -105);
        EXPECT_STREQ(net_last_error(), "udp group loop init failed");
    }
    // Not attached, not on any loop: it can join now, or live on its own.
    ASSERT_EQ(add(clients[0]), 0);
    sockaddr_in any = loopback(0);
    {
        FdExhaustion full;
        EXPECT_EQ(add(clients[1]), -105);  // loop exists; its socket is refused
    }
    ASSERT_EQ(udp_client_start(clients[2], sa(any)), 0);
    Peer peer;
    ASSERT_EQ(peer.send_to("member", loopback(port_of(clients[0]))), 6);
    ASSERT_TRUE(wait_for(run(), [&] { return log.got.size() == 1; }));
    EXPECT_EQ(log.got[0].member, clients[0]);
}

TEST_F(UdpGroup, StoppedGroupStillRunsItsMembers) {
    net__udp_group_start(group);
    ASSERT_EQ(add(clients[0]), 0);
    net__udp_group_stop(group);
    Peer peer;
    ASSERT_EQ(peer.send_to("still", loopback(port_of(clients[0]))), 5);
    ASSERT_TRUE(wait_for(run(), [&] { return log.got.size() == 1; }));
    EXPECT_EQ(log.got[0].member, clients[0]);
    EXPECT_EQ(log.got[0].data, "still");
}

TEST_F(UdpGroup, RemovedMemberIsClosedAndItsSendsCancelled) {
    net__udp_group_start(group);
    ASSERT_EQ(add(clients[0]), 0);
    ASSERT_EQ(add(clients[1]), 0);
    uint16_t removed_port = port_of(clients[0]);
    sockaddr_in to1 = loopback(port_of(clients[1]));
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(udp_client_send(clients[0], "pending", 7, sa(to1)), 7);
    ASSERT_EQ(net__udp_group_remove(group, clients[0]), 0);
    EXPECT_EQ(port_of(clients[0]), 0);
    EXPECT_EQ(udp_client_send(clients[0], "x", 1, sa(to1)), -1);

    // Its port is free again and nothing arrives for it any more.
    Peer on_old_port("127.0.0.1", removed_port);
    EXPECT_TRUE(on_old_port.bound());
    run_for(run(), 30);
    for (const Delivery& d : log.got)
        EXPECT_EQ(d.member, clients[1]);

    // It stays attached: it can be started again on the group's loop.
    sockaddr_in any = loopback(0);
    ASSERT_EQ(udp_client_start(clients[0], sa(any)), 0);
    log.got.clear();
    ASSERT_EQ(on_old_port.send_to("back", loopback(port_of(clients[0]))), 4);
    ASSERT_TRUE(wait_for(run(), [&] { return log.got.size() == 1; }));
    EXPECT_EQ(log.got[0].member, clients[0]);
    udp_client_close(clients[0]);
}

TEST_F(UdpGroup, DestroyingEitherSideFirstIsSafe) {
    net__udp_group_start(group);
    ASSERT_EQ(add(clients[0]), 0);
    ASSERT_EQ(add(clients[1]), 0);

    // A member destroyed without being removed leaves no trace in the group:
    // a new endpoint (possibly at the same address) is accepted.
    udp_client_destroy(clients[0]);
    clients[0] = udp_client_create();
    EXPECT_EQ(add(clients[0]), 0);

    // A group destroyed with members still in it closes them instead of
    // waiting forever on their open sockets; they live on as plain endpoints.
    UDPGROUP doomed = net__udp_group_create();
    net__udp_group_start(doomed);
    UDPCLIENT orphan = udp_client_create();
    ASSERT_EQ(net__udp_group_add(doomed, orphan, sa(loopback(0))), 0);
    net__udp_group_destroy(doomed);
    EXPECT_EQ(port_of(orphan), 0);
    Log own;
    udp_client_set_recv_cb(orphan, Log::on_member);
    udp_client_set_user_data(orphan, &own);
    sockaddr_in any = loopback(0);
    ASSERT_EQ(udp_client_start(orphan, sa(any)), 0);
    Peer peer;
    ASSERT_EQ(peer.send_to("alone", loopback(port_of(orphan))), 5);
    ASSERT_TRUE(wait_for([&] { udp_client_run(orphan, NET_RUN_NOWAIT); },
                         [&] { return own.got.size() == 1; }));
    EXPECT_EQ(own.got[0].data, "alone");
    udp_client_destroy(orphan);
}

namespace {

void close_own(const char*, int64_t, const sockaddr*, void* user) {
    udp_client_close((UDPCLIENT)user);
}

}  // namespace

TEST_F(UdpGroup, MemberClosedByItsOwnCallbackIsNotReportedToTheGroup) {
    net__udp_group_start(group);
    ASSERT_EQ(add(clients[0]), 0);
    ASSERT_EQ(add(clients[1]), 0);
    udp_client_set_recv_cb(clients[0], close_own);
    udp_client_set_user_data(clients[0], clients[0]);
    Peer peer;
    ASSERT_EQ(peer.send_to("closing", loopback(port_of(clients[0]))), 7);
    ASSERT_EQ(peer.send_to("open", loopback(port_of(clients[1]))), 4);
    ASSERT_TRUE(wait_for(run(), [&] { return log.got.size() == 1; }));
    run_for(run(), 20);
    ASSERT_EQ(log.got.size(), 1u);
    EXPECT_EQ(log.got[0].member, clients[1]);
    EXPECT_EQ(port_of(clients[0]), 0);
}

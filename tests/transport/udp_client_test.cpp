// The UDP endpoint against plain sockets on loopback; broadcast and multicast
// inside a private network namespace.
#include "transport/udp_test_support.h"

#include "udp_group.h"

using namespace udptest;

namespace {

struct Datagram {
    std::string data;
    sockaddr_in sender;
};

// Records what the endpoint hands to its receive callback.
struct Recorder {
    std::vector<Datagram> got;
    void* seen_user = nullptr;

    static void on_recv(const char* data, int64_t nread, const sockaddr* sender, void* user) {
        Recorder* self = (Recorder*)user;
        Datagram d;
        d.data.assign(data, (size_t)nread);
        memcpy(&d.sender, sender, sizeof(d.sender));
        self->got.push_back(d);
        self->seen_user = user;
    }
    void attach(UDPCLIENT client) {
        udp_client_set_recv_cb(client, on_recv);
        udp_client_set_user_data(client, this);
    }
};

std::function<void()> runner(UDPCLIENT client) {
    return [client] { udp_client_run(client, NET_RUN_NOWAIT); };
}

// A receiver on every local address and a sender on loopback, as a multicast
// or broadcast listener and its peer.
struct Listener {
    UDPCLIENT receiver = udp_client_create();
    UDPCLIENT sender = udp_client_create();
    Recorder rec;
    bool started = false;

    Listener() {
        rec.attach(receiver);
        sockaddr_in any = ipv4("0.0.0.0", 0);
        sockaddr_in lo = loopback(0);
        started = udp_client_start(receiver, sa(any)) == 0 && udp_client_start(sender, sa(lo)) == 0;
    }
    ~Listener() {
        udp_client_destroy(sender);
        udp_client_destroy(receiver);
    }
    std::function<void()> run() {
        return [this] {
            udp_client_run(sender, NET_RUN_NOWAIT);
            udp_client_run(receiver, NET_RUN_NOWAIT);
        };
    }
};

class UdpClient : public WatchdogTest {
protected:
    void SetUp() override {
        WatchdogTest::SetUp();
        client = udp_client_create();
        ASSERT_NE(client, nullptr);
        rec.attach(client);
    }
    void TearDown() override {
        udp_client_destroy(client);
        WatchdogTest::TearDown();
    }
    UDPCLIENT client = nullptr;
    Recorder rec;
};

}  // namespace

TEST_F(UdpClient, NullHandleIsRefused) {
    sockaddr_in addr = loopback(0);
    EXPECT_EQ(udp_client_start(nullptr, sa(addr)), NET_ERR_NULL_HANDLE);
    EXPECT_STREQ(net_last_error(), "param is null");

    // Send and join refuse a null handle without touching the last error.
    net__fail(-1, "marker");
    EXPECT_EQ(udp_client_send(nullptr, "x", 1, sa(addr)), NET_ERR_NULL_HANDLE);
    EXPECT_EQ(udp_client_join_multicast(nullptr, "239.1.2.3", nullptr), NET_ERR_NULL_HANDLE);
    EXPECT_STREQ(net_last_error(), "marker");

    EXPECT_EQ(udp_client_local_addr(nullptr, (sockaddr*)&addr), NET_ERR_NULL_HANDLE);
    EXPECT_STREQ(net_last_error(), "param is null");
    udp_client_run(nullptr, NET_RUN_NOWAIT);
    udp_client_close(nullptr);
    udp_client_set_recv_cb(nullptr, nullptr);
    udp_client_set_user_data(nullptr, nullptr);
    udp_client_destroy(nullptr);
}

TEST_F(UdpClient, SendChecksStateAndLength) {
    Peer peer;
    ASSERT_TRUE(peer.bound());
    sockaddr_in to = peer.address();
    std::string full(MAX_UDP_PAYLOAD, '\0');
    for (size_t i = 0; i < full.size(); ++i)
        full[i] = (char)(i * 7 + 1);

    EXPECT_EQ(udp_client_send(client, full.data(), 1, sa(to)), -1);
    EXPECT_STREQ(net_last_error(), "udp client uninitialized");

    sockaddr_in bind_addr = loopback(0);
    ASSERT_EQ(udp_client_start(client, sa(bind_addr)), 0);
    EXPECT_EQ(udp_client_send(client, full.data(), MAX_UDP_PAYLOAD, sa(to)), MAX_UDP_PAYLOAD);
    bool ok = false;
    std::string got = peer.receive(&ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(got, full);

    std::string over(MAX_UDP_PAYLOAD + 1, 'x');
    EXPECT_EQ(udp_client_send(client, over.data(), (int)over.size(), sa(to)), -2);
    EXPECT_STREQ(net_last_error(), "udp client send data length > max mtu");
    EXPECT_EQ(udp_client_send(client, over.data(), 0, sa(to)), -3);
    EXPECT_STREQ(net_last_error(), "udp client send data length <= 0");
    EXPECT_EQ(udp_client_send(client, over.data(), -5, sa(to)), -3);

    // A refused datagram never reaches the wire.
    run_for(runner(client), 50);
    peer.receive(&ok, 50);
    EXPECT_FALSE(ok);

    // No destination: libuv's refusal comes back as -4 with its text.
    EXPECT_EQ(udp_client_send(client, "x", 1, nullptr), -4);
    EXPECT_STREQ(net_last_error(), uv_strerror(UV_EDESTADDRREQ));

    udp_client_close(client);
    EXPECT_EQ(udp_client_send(client, "x", 1, sa(to)), -1);
    EXPECT_STREQ(net_last_error(), "udp client uninitialized");
}

TEST_F(UdpClient, ReportsChosenPortAndSenderAndRestarts) {
    sockaddr_in bind_addr = loopback(0);
    ASSERT_EQ(udp_client_start(client, sa(bind_addr)), 0);
    sockaddr_in local;
    ASSERT_EQ(udp_client_local_addr(client, (sockaddr*)&local), 0);
    EXPECT_EQ(local.sin_family, AF_INET);
    EXPECT_EQ(local.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    uint16_t first = ntohs(local.sin_port);
    ASSERT_NE(first, 0);

    Peer peer;
    ASSERT_EQ(peer.send_to("hello", local), 5);
    ASSERT_TRUE(wait_for(runner(client), [&] { return rec.got.size() == 1; }));
    EXPECT_EQ(rec.got[0].data, "hello");
    EXPECT_EQ(rec.seen_user, &rec);
    sockaddr_in from = peer.address();
    EXPECT_EQ(rec.got[0].sender.sin_port, from.sin_port);
    EXPECT_EQ(rec.got[0].sender.sin_addr.s_addr, from.sin_addr.s_addr);

    // Starting again closes the old socket first: its port is free at once.
    ASSERT_EQ(udp_client_start(client, sa(bind_addr)), 0);
    uint16_t second = port_of(client);
    EXPECT_NE(second, first);
    Peer on_old_port("127.0.0.1", first);
    EXPECT_TRUE(on_old_port.bound());

    ASSERT_EQ(peer.send_to("again", loopback(second)), 5);
    ASSERT_TRUE(wait_for(runner(client), [&] { return rec.got.size() == 2; }));
    EXPECT_EQ(rec.got[1].data, "again");

    udp_client_close(client);
    EXPECT_EQ(port_of(client), 0);
    sockaddr_in zero, after;
    memset(&zero, 0, sizeof(zero));
    udp_client_local_addr(client, (sockaddr*)&after);
    EXPECT_EQ(memcmp(&zero, &after, sizeof(zero)), 0);
}

TEST_F(UdpClient, EmptyDatagramCallsNothing) {
    sockaddr_in bind_addr = loopback(0);
    ASSERT_EQ(udp_client_start(client, sa(bind_addr)), 0);
    Peer peer;
    sockaddr_in to = loopback(port_of(client));
    ASSERT_EQ(peer.send_to("", to), 0);
    ASSERT_EQ(peer.send_to("after", to), 5);
    // Datagrams arrive in order, so once "after" is in, the empty one was handled.
    ASSERT_TRUE(wait_for(runner(client), [&] { return !rec.got.empty(); }));
    run_for(runner(client), 20);
    ASSERT_EQ(rec.got.size(), 1u);
    EXPECT_EQ(rec.got[0].data, "after");
}

TEST_F(UdpClient, CloseWithSendsInFlightFreesThemSilently) {
    sockaddr_in bind_addr = loopback(0);
    ASSERT_EQ(udp_client_start(client, sa(bind_addr)), 0);
    sockaddr_in self = loopback(port_of(client));
    for (int i = 0; i < 50; ++i)
        ASSERT_EQ(udp_client_send(client, "queued", 6, sa(self)), 6);
    // Closed before any run: the completions only free their requests.
    udp_client_close(client);
    run_for(runner(client), 30);
    EXPECT_TRUE(rec.got.empty());

    // The handle stays usable, and the cancelled requests do not disturb the new socket.
    ASSERT_EQ(udp_client_start(client, sa(bind_addr)), 0);
    self = loopback(port_of(client));
    ASSERT_EQ(udp_client_send(client, "fresh", 5, sa(self)), 5);
    ASSERT_TRUE(wait_for(runner(client), [&] { return rec.got.size() == 1; }));
    run_for(runner(client), 20);
    ASSERT_EQ(rec.got.size(), 1u);
    EXPECT_EQ(rec.got[0].data, "fresh");

    // Destroying with sends still queued frees everything (the sanitizer build checks).
    UDPCLIENT other = udp_client_create();
    ASSERT_EQ(udp_client_start(other, sa(bind_addr)), 0);
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(udp_client_send(other, "late", 4, sa(self)), 4);
    udp_client_destroy(other);
}

TEST_F(UdpClient, BindFailureReportsStepAndRecovers) {
    Peer occupant;
    ASSERT_TRUE(occupant.bound());
    sockaddr_in taken = loopback(occupant.port());
    EXPECT_EQ(udp_client_start(client, sa(taken)), -3);
    EXPECT_STREQ(net_last_error(), uv_strerror(UV_EADDRINUSE));
    EXPECT_EQ(port_of(client), 0);

    // The half-made socket goes with the next start.
    sockaddr_in any = loopback(0);
    ASSERT_EQ(udp_client_start(client, sa(any)), 0);
    ASSERT_EQ(occupant.send_to("ok", loopback(port_of(client))), 2);
    ASSERT_TRUE(wait_for(runner(client), [&] { return rec.got.size() == 1; }));
    EXPECT_EQ(rec.got[0].data, "ok");
}

TEST_F(UdpClient, LoopAndSocketFailuresAreReportedAndRetried) {
    sockaddr_in any = loopback(0);
    {
        FdExhaustion full;
        ASSERT_TRUE(full.exhausted());
        // A run that cannot create the loop does nothing and keeps no loop.
        udp_client_run(client, NET_RUN_NOWAIT);
        EXPECT_EQ(udp_client_start(client, sa(any)), -1);
        EXPECT_STREQ(net_last_error(), "udp client loop init failed");
    }
    ASSERT_EQ(udp_client_start(client, sa(any)), 0);
    udp_client_close(client);
    {
        // The loop exists now; libuv makes the socket when binding, so that
        // step reports the refusal.
        FdExhaustion full;
        ASSERT_TRUE(full.exhausted());
        EXPECT_EQ(udp_client_start(client, sa(any)), -3);
        EXPECT_STREQ(net_last_error(), uv_strerror(UV_EMFILE));
    }
    ASSERT_EQ(udp_client_start(client, sa(any)), 0);
    Peer peer;
    ASSERT_EQ(peer.send_to("back", loopback(port_of(client))), 4);
    ASSERT_TRUE(wait_for(runner(client), [&] { return rec.got.size() == 1; }));
    EXPECT_EQ(rec.got[0].data, "back");
}

TEST_F(UdpClient, AttachGroupOnlyBeforeItHasALoop) {
    UDPGROUP group = net__udp_group_create();
    ASSERT_NE(group, nullptr);
    net__udp_group_run(group, NET_RUN_NOWAIT);  // gives the group its loop
    ASSERT_NE(net__udp_group_loop(group), nullptr);

    UDPCLIENT fresh = udp_client_create();
    EXPECT_TRUE(net__udp_client_attach_group(fresh, group, nullptr, nullptr));
    // Once attached it has the group's loop, so a second attach is refused too.
    EXPECT_FALSE(net__udp_client_attach_group(fresh, group, nullptr, nullptr));

    sockaddr_in any = loopback(0);
    ASSERT_EQ(udp_client_start(client, sa(any)), 0);
    EXPECT_FALSE(net__udp_client_attach_group(client, group, nullptr, nullptr));

    UDPCLIENT ran = udp_client_create();
    udp_client_run(ran, NET_RUN_NOWAIT);
    EXPECT_FALSE(net__udp_client_attach_group(ran, group, nullptr, nullptr));

    udp_client_destroy(ran);
    udp_client_destroy(fresh);
    net__udp_group_destroy(group);
}

TEST_F(UdpClient, BroadcastNeedsNoFurtherSetting) {
    UDPTEST_IN_NAMESPACE([] {
        // Control: a socket without the broadcast option is refused by the kernel.
        Peer plain;
        errno = 0;
        EXPECT_EQ(plain.send_to("x", ipv4("127.255.255.255", 9)), -1);
        EXPECT_EQ(errno, EACCES);

        Listener pair;
        ASSERT_TRUE(pair.started);
        sockaddr_in broadcast = ipv4("127.255.255.255", port_of(pair.receiver));
        ASSERT_EQ(udp_client_send(pair.sender, "to all", 6, sa(broadcast)), 6);
        ASSERT_TRUE(wait_for(pair.run(), [&] { return pair.rec.got.size() == 1; }));
        EXPECT_EQ(pair.rec.got[0].data, "to all");
        EXPECT_EQ(ntohs(pair.rec.got[0].sender.sin_port), port_of(pair.sender));
    });
}

TEST_F(UdpClient, MulticastMemberReceivesWhatTheGroupGets) {
    UDPTEST_IN_NAMESPACE([] {
        // Joining needs an open socket.
        UDPCLIENT idle = udp_client_create();
        EXPECT_EQ(udp_client_join_multicast(idle, "239.1.2.3", "127.0.0.1"), UV_EBADF);
        udp_client_destroy(idle);

        Listener pair;
        ASSERT_TRUE(pair.started);
        sockaddr_in group = ipv4("239.1.2.3", port_of(pair.receiver));

        // Not joined yet: the group's datagram is not ours.
        ASSERT_EQ(udp_client_send(pair.sender, "early", 5, sa(group)), 5);
        run_for(pair.run(), 100);
        EXPECT_TRUE(pair.rec.got.empty());

        net__fail(-1, "marker");
        EXPECT_EQ(udp_client_join_multicast(pair.receiver, "not an address", "127.0.0.1"), UV_EINVAL);
        EXPECT_EQ(udp_client_join_multicast(pair.receiver, "239.1.2.3", "127.0.0.1"), 0);
        EXPECT_STREQ(net_last_error(), "marker");

        ASSERT_EQ(udp_client_send(pair.sender, "joined", 6, sa(group)), 6);
        ASSERT_TRUE(wait_for(pair.run(), [&] { return pair.rec.got.size() == 1; }));
        EXPECT_EQ(pair.rec.got[0].data, "joined");

        // Membership ends with the socket: a restarted endpoint hears nothing.
        sockaddr_in same = ipv4("0.0.0.0", ntohs(group.sin_port));
        ASSERT_EQ(udp_client_start(pair.receiver, sa(same)), 0);
        ASSERT_EQ(udp_client_send(pair.sender, "late", 4, sa(group)), 4);
        run_for(pair.run(), 100);
        EXPECT_EQ(pair.rec.got.size(), 1u);
    });
}

namespace {

// An owner that ends its endpoint from inside the receive callback.
struct SelfEnding {
    UDPCLIENT client = nullptr;
    bool destroy = false;
    int calls = 0;

    static void on_recv(const char*, int64_t, const sockaddr*, void* user) {
        SelfEnding* self = (SelfEnding*)user;
        ++self->calls;
        if (self->destroy) {
            udp_client_destroy(self->client);
            self->client = nullptr;
        } else {
            udp_client_close(self->client);
        }
    }
};

}  // namespace

TEST_F(UdpClient, CallbackMayCloseOrDestroyItsEndpoint) {
    for (bool destroy : {false, true}) {
        SCOPED_TRACE(destroy ? "destroy" : "close");
        SelfEnding owner;
        owner.destroy = destroy;
        owner.client = udp_client_create();
        udp_client_set_recv_cb(owner.client, SelfEnding::on_recv);
        udp_client_set_user_data(owner.client, &owner);
        sockaddr_in any = loopback(0);
        ASSERT_EQ(udp_client_start(owner.client, sa(any)), 0);
        sockaddr_in to = loopback(port_of(owner.client));
        Peer peer;
        // Several datagrams wait at once; only the first is delivered.
        for (int i = 0; i < 5; ++i)
            ASSERT_EQ(peer.send_to("bye", to), 3);
        UDPCLIENT handle = owner.client;
        ASSERT_TRUE(wait_for([&] { udp_client_run(handle, NET_RUN_NOWAIT); },
                             [&] { return owner.calls > 0; }));
        EXPECT_EQ(owner.calls, 1);
        if (!destroy) {
            run_for([&] { udp_client_run(handle, NET_RUN_NOWAIT); }, 20);
            EXPECT_EQ(owner.calls, 1);
            EXPECT_EQ(port_of(handle), 0);
            udp_client_destroy(handle);
        }
    }
}

TEST_F(UdpClient, RunModeOneWaitsForAnEvent) {
    sockaddr_in any = loopback(0);
    ASSERT_EQ(udp_client_start(client, sa(any)), 0);
    sockaddr_in to = loopback(port_of(client));
    udp_client_run(client, NET_RUN_NOWAIT);
    EXPECT_TRUE(rec.got.empty());
    // The datagram comes later than the call; only a waiting run sees it.
    std::thread late([to] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        Peer peer;
        peer.send_to("late", to);
    });
    udp_client_run(client, NET_RUN_ONCE);
    late.join();
    ASSERT_EQ(rec.got.size(), 1u);
    EXPECT_EQ(rec.got[0].data, "late");
}

// The library-wide helpers: last error, clock and address conversion; the resolver.
#include <arpa/inet.h>
#include <unistd.h>
#include <uv.h>

#include <gtest/gtest.h>

#include "support/Net.h"
#include "transport.h"

TEST(Net, LastErrorClockAndAddresses) {
    EXPECT_STREQ(net_last_error(), "");  // nothing failed yet, and success never sets it
    sockaddr_in addr;
    memset(&addr, 0xab, sizeof(addr));
    ASSERT_EQ(net_ip_to_addr("127.1.2.3", 4660, (sockaddr*)&addr), 0);
    EXPECT_STREQ(net_last_error(), "");
    EXPECT_EQ(addr.sin_family, AF_INET);
    EXPECT_EQ(addr.sin_port, htons(4660));
    EXPECT_EQ(addr.sin_addr.s_addr, inet_addr("127.1.2.3"));
    EXPECT_EQ(std::string((const char*)addr.sin_zero, 8), std::string(8, '\0'));
    char text[32];
    memset(text, 'Z', sizeof(text));
    unsigned port = 0;
    ASSERT_EQ(net_ip_to_addr("255.255.255.255", 4660, net_shared_addr()), 0);
    ASSERT_EQ(net_addr_to_ip(net_shared_addr(), text, &port), 0);
    EXPECT_STREQ(text, "255.255.255.255");
    EXPECT_EQ(port, 4660u);
    EXPECT_EQ(text[16], 'Z') << "written past 16 bytes";
    for (const char* bad : {"", "256.1.1.1", "1.2.3", "::1", " 1.2.3.4"})
        EXPECT_LT(net_ip_to_addr(bad, 80, (sockaddr*)&addr), 0) << bad;
    EXPECT_EQ(tcp_client_send(nullptr, "x", 1), NET_ERR_NULL_HANDLE);
    EXPECT_STREQ(net_last_error(), "param is null");
    const uint64_t before = net_poll();
    usleep(30000);
    EXPECT_GE(net_poll() - before, 25u);  // milliseconds: not seconds
    EXPECT_LT(net_poll() - before, 30000u);  // nor microseconds
}

// Work handed to libuv between runs shows on no socket until libuv's next
// pass gives it to epoll: the gate that skips idle loops must still run it.
// Here a send the kernel took only part of waits for the socket to drain.
TEST(Net, TheIdleGateNeverSkipsALoopWithQueuedWork) {
    uint16_t port = 0;
    int listener = testnet::Listen(&port);
    TCPCLIENT client = tcp_client_create();
    tcp_client_start(client, testnet::Sa(testnet::Ipv4("127.0.0.1", port)), 2000);
    int peer = -1;
    ASSERT_TRUE(testnet::WaitUntil([&] { tcp_client_run(client, NET_RUN_NOWAIT); },
                                   [&] { return peer >= 0 || (peer = testnet::Accept(listener)) >= 0; }));
    for (int tick = 0; tick < 5; ++tick) {  // idle rounds: the gate has learnt the loop is quiet
        net_run_budget(5000);
        tcp_client_run(client, NET_RUN_NOWAIT);
    }
    const std::string big(32 << 20, 'q');
    ASSERT_EQ(tcp_client_send(client, big.data(), (int)big.size()), (int)big.size());
    size_t got = 0;
    auto drain = [&] {
        while (testnet::Readable(peer, 20))
            got += testnet::ReadSome(peer).size();
    };
    drain();  // what the kernel took at once
    const size_t at_once = got;
    for (int tick = 0; tick < 5; ++tick) {
        net_run_budget(5000);
        tcp_client_run(client, NET_RUN_NOWAIT);
        drain();
    }
    EXPECT_GT(got, at_once);
    EXPECT_LT(at_once, big.size());
    net_run_budget(0);
    tcp_client_destroy(client);
    close(peer);
    close(listener);
}

// "localhost", answered by the hosts file, is the one name a test resolves for real.
TEST(Net, TheResolverAnswersInItsOwnRunAndNeverForADroppedLookup) {
    std::string answers;
    auto answer = [](int status, const sockaddr* address, const char*, void* user) {
        *(std::string*)user += std::to_string(status) + " " + inet_ntoa(((const sockaddr_in*)address)->sin_addr);
    };
    RESOLVER dropped = resolver_create(), cancelled = resolver_create(), kept = resolver_create();
    for (RESOLVER each : {dropped, cancelled, kept}) {
        resolver_set_user_data(each, &answers);
        ASSERT_EQ(resolver_start(each, "localhost", answer), 0);
    }
    resolver_destroy(dropped);  // its lookup ends later: the sanitizer run sees any write into it
    resolver_cancel(cancelled);
    ASSERT_TRUE(testnet::WaitUntil([] { net_poll(); }, [] { return !uv_loop_alive(uv_default_loop()); }));
    EXPECT_EQ(answers, "");
    for (RESOLVER each : {cancelled, kept})
        resolver_run(each, NET_RUN_NOWAIT), resolver_destroy(each);
    EXPECT_EQ(answers, "0 127.0.0.1");
}

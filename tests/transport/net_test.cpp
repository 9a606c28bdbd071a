// The library-wide helpers: last error, clock, address conversion and the
// interface list (checked against libuv's own list).
#include <arpa/inet.h>
#include <unistd.h>
#include <uv.h>

#include <gtest/gtest.h>

#include <string>

#include "transport.h"

// Must stay the first test of this program: nothing has failed yet.
TEST(Net, LastErrorStartsEmptyAndSuccessLeavesIt) {
    EXPECT_STREQ(net_last_error(), "");
    char text[16];
    ASSERT_EQ(net_ip_to_addr("127.0.0.1", 80, net_shared_addr()), 0);
    ASSERT_EQ(net_addr_to_ip(net_shared_addr(), text, nullptr), 0);
    ASSERT_GE(net_interface_refresh(), 0);
    EXPECT_STREQ(net_last_error(), "");
    EXPECT_EQ(tcp_client_send(nullptr, "x", 1), NET_ERR_NULL_HANDLE);
    EXPECT_STREQ(net_last_error(), "param is null");
}

TEST(Net, ClockCountsMillisecondsForward) {
    const uint64_t before = net_poll();
    usleep(30000);
    const uint64_t after = net_poll();
    EXPECT_GE(after - before, 25u);
    EXPECT_LT(after - before, 30000u);  // not microseconds
}

TEST(Net, AddressConversionsBothWays) {
    sockaddr_in addr;
    memset(&addr, 0xab, sizeof(addr));
    ASSERT_EQ(net_ip_to_addr("127.1.2.3", 4660, (sockaddr*)&addr), 0);
    EXPECT_EQ(addr.sin_family, AF_INET);
    EXPECT_EQ(addr.sin_port, htons(4660));
    EXPECT_EQ(addr.sin_addr.s_addr, inet_addr("127.1.2.3"));
    EXPECT_EQ(std::string((const char*)addr.sin_zero, 8), std::string(8, '\0'));
    char text[32];
    memset(text, 'Z', sizeof(text));
    unsigned port = 0;
    ASSERT_EQ(net_ip_to_addr("255.255.255.255", 4660, (sockaddr*)&addr), 0);
    ASSERT_EQ(net_addr_to_ip((sockaddr*)&addr, text, &port), 0);
    EXPECT_STREQ(text, "255.255.255.255");
    EXPECT_EQ(port, 4660u);
    EXPECT_EQ(text[16], 'Z') << "written past 16 bytes";
    for (const char* bad : {"", "abc", "256.1.1.1", "1.2.3", "::1", " 1.2.3.4"})
        EXPECT_LT(net_ip_to_addr(bad, 80, (sockaddr*)&addr), 0) << bad;
}

TEST(Net, InterfaceListMatchesLibuv) {
    const int count = net_interface_refresh();
    ASSERT_EQ(net_interface_refresh(), count);  // rebuilt, not grown
    uv_interface_address_t* list = nullptr;
    int expected = 0;
    ASSERT_EQ(uv_interface_addresses(&list, &expected), 0);
    ASSERT_EQ(count, expected);
    for (int i = 0; i < count; ++i) {
        const bool v4 = list[i].address.address4.sin_family == AF_INET;
        EXPECT_EQ(net_interface_is_ipv4(i), v4 ? 0 : -1) << list[i].name;
        if (v4) {
            ASSERT_NE(net_interface_netmask(i), nullptr);
            EXPECT_EQ(memcmp(net_interface_address(i), &list[i].address.address4, 16), 0);
            EXPECT_EQ(memcmp(net_interface_netmask(i), &list[i].netmask.netmask4, 16), 0);
        } else {
            EXPECT_EQ(net_interface_address(i), nullptr);
        }
    }
    uv_free_interface_addresses(list, expected);
    for (int outside : {-1, count})
        EXPECT_EQ(net_interface_address(outside), nullptr);
}

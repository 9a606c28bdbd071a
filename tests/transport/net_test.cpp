// The transport library frame: last error, clock, address helpers and the
// interface list (checked against libuv's own list, and in a private network
// namespace where loopback carries both an IPv4 and an IPv6 address).
#include <arpa/inet.h>
#include <net/if.h>
#include <sched.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <uv.h>

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "transport.h"

namespace {

std::string IpOf(const struct sockaddr* addr) {
    char text[16];
    if (addr == nullptr || net_addr_to_ip(addr, text, nullptr) != 0)
        return "";
    return text;
}

// Every record agrees with what libuv reports, in the same order.
void ExpectListMatchesLibuv(int count) {
    uv_interface_address_t* list = nullptr;
    int expected = 0;
    ASSERT_EQ(uv_interface_addresses(&list, &expected), 0);
    ASSERT_EQ(count, expected);
    for (int i = 0; i < count; ++i) {
        SCOPED_TRACE(list[i].name);
        if (list[i].address.address4.sin_family == AF_INET) {
            EXPECT_EQ(net_interface_is_ipv4(i), 0);
            ASSERT_NE(net_interface_address(i), nullptr);
            ASSERT_NE(net_interface_netmask(i), nullptr);
            EXPECT_EQ(memcmp(net_interface_address(i), &list[i].address.address4, 16), 0);
            EXPECT_EQ(memcmp(net_interface_netmask(i), &list[i].netmask.netmask4, 16), 0);
        } else {
            EXPECT_EQ(net_interface_is_ipv4(i), -1);
            EXPECT_EQ(net_interface_address(i), nullptr);
            EXPECT_EQ(net_interface_netmask(i), nullptr);
        }
    }
    uv_free_interface_addresses(list, expected);
}

bool LoopbackUp() {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return false;
    struct ifreq request;
    memset(&request, 0, sizeof(request));
    strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP;
    ok = ok && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    close(fd);
    return ok;
}

// Runs in a child inside a fresh user and network namespace; the exit code
// says which check failed (0: all passed, 77: namespaces unavailable).
int CheckPrivateLoopback() {
    if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0)
        return 77;
    if (!LoopbackUp())
        return 77;
    const int count = net_interface_refresh();
    if (count < 2)
        return 10;
    int v4 = -1, v6 = -1;
    for (int i = 0; i < count; ++i) {
        if (net_interface_is_ipv4(i) == 0)
            v4 = i;
        else
            v6 = i;
    }
    if (v4 < 0 || v6 < 0)
        return 11;
    if (IpOf(net_interface_address(v4)) != "127.0.0.1")
        return 12;
    if (IpOf(net_interface_netmask(v4)) != "255.0.0.0")
        return 13;
    if (net_interface_is_ipv4(v6) != -1)
        return 14;
    if (net_interface_address(v6) != nullptr || net_interface_netmask(v6) != nullptr)
        return 15;
    return 0;
}

}  // namespace

// Must stay the first test of this program: nothing has failed yet.
TEST(NetFrame, LastErrorStartsEmpty) {
    ASSERT_NE(net_last_error(), nullptr);
    EXPECT_STREQ(net_last_error(), "");
    // Successful calls never set it.
    char text[16];
    ASSERT_EQ(net_ip_to_addr("127.0.0.1", 80, net_shared_addr()), 0);
    ASSERT_EQ(net_addr_to_ip(net_shared_addr(), text, nullptr), 0);
    ASSERT_GE(net_interface_refresh(), 0);
    EXPECT_STREQ(net_last_error(), "");
}

TEST(NetFrame, ClockIsMonotonicMilliseconds) {
    uint64_t last = net_poll();
    for (int i = 0; i < 1000; ++i) {
        const uint64_t now = net_poll();
        ASSERT_GE(now, last);
        last = now;
    }
    const uint64_t before = net_poll();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const uint64_t after = net_poll();
    // The clock advances with real time and counts milliseconds, not seconds or microseconds.
    EXPECT_GE(after - before, 25u);
    EXPECT_LT(after - before, 30000u);
}

TEST(NetFrame, AddressConversions) {
    struct sockaddr* shared = net_shared_addr();
    ASSERT_NE(shared, nullptr);
    EXPECT_EQ(net_shared_addr(), shared);

    memset(shared, 0xab, 16);
    ASSERT_EQ(net_ip_to_addr("127.1.2.3", 4660, shared), 0);
    const struct sockaddr_in* in = (const struct sockaddr_in*)shared;
    EXPECT_EQ(in->sin_family, AF_INET);
    EXPECT_EQ(in->sin_port, htons(4660));
    EXPECT_EQ(in->sin_addr.s_addr, inet_addr("127.1.2.3"));
    for (unsigned char zero : in->sin_zero)
        EXPECT_EQ(zero, 0);

    // The text stops at 16 bytes; the port comes back in host order.
    char text[32];
    memset(text, 'Z', sizeof(text));
    unsigned port = 0;
    ASSERT_EQ(net_ip_to_addr("255.255.255.255", 65535, shared), 0);
    ASSERT_EQ(net_addr_to_ip(shared, text, &port), 0);
    EXPECT_STREQ(text, "255.255.255.255");
    EXPECT_EQ(port, 65535u);
    for (size_t i = 16; i < sizeof(text); ++i)
        EXPECT_EQ(text[i], 'Z') << "written past 16 bytes at " << i;

    ASSERT_EQ(net_ip_to_addr("10.0.0.1", 1, shared), 0);
    ASSERT_EQ(net_addr_to_ip(shared, text, &port), 0);
    EXPECT_STREQ(text, "10.0.0.1");
    EXPECT_EQ(port, 1u);
}

TEST(NetFrame, NullPortWritesTextOnly) {
    struct sockaddr_in addr;
    ASSERT_EQ(net_ip_to_addr("127.0.0.1", 8080, (struct sockaddr*)&addr), 0);
    char text[16] = {0};
    EXPECT_EQ(net_addr_to_ip((struct sockaddr*)&addr, text, nullptr), 0);
    EXPECT_STREQ(text, "127.0.0.1");
}

TEST(NetFrame, InvalidAddressTextIsRefused) {
    struct sockaddr_in addr;
    for (const char* bad : {"", "abc", "256.1.1.1", "1.2.3", "1.2.3.4.5", "::1", " 1.2.3.4"}) {
        SCOPED_TRACE(bad);
        EXPECT_LT(net_ip_to_addr(bad, 80, (struct sockaddr*)&addr), 0);
    }
    EXPECT_STREQ(net_last_error(), "");
}

TEST(NetFrame, InterfaceListMatchesTheSystem) {
    const int count = net_interface_refresh();
    ASSERT_GE(count, 0);
    ExpectListMatchesLibuv(count);
    // A second refresh rebuilds the list instead of growing it.
    ASSERT_EQ(net_interface_refresh(), count);
    ExpectListMatchesLibuv(count);

    bool loopback = false;
    for (int i = 0; i < count; ++i) {
        if (IpOf(net_interface_address(i)) == "127.0.0.1") {
            loopback = true;
            EXPECT_EQ(IpOf(net_interface_netmask(i)), "255.0.0.0");
        }
    }
    EXPECT_TRUE(loopback) << "no 127.0.0.1 record";
}

TEST(NetFrame, IndexesOutsideTheList) {
    const int count = net_interface_refresh();
    ASSERT_GE(count, 0);
    for (int index : {-1, count, count + 1, -100000, 1 << 30}) {
        SCOPED_TRACE(index);
        EXPECT_EQ(net_interface_address(index), nullptr);
        EXPECT_EQ(net_interface_netmask(index), nullptr);
        EXPECT_EQ(net_interface_is_ipv4(index), 0);
    }
}

TEST(NetFrame, Ipv6RecordsAreNotIpv4) {
    fflush(nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        _exit(CheckPrivateLoopback());
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "user and network namespaces are not available";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "failed check " << WEXITSTATUS(status);
}

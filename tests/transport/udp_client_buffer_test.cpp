// The endpoint's receive buffer size: refused without a socket, and once
// enlarged it holds a burst far beyond the system's default while nobody reads.
#include <uv.h>

#include "transport/udp_test_support.h"

using namespace udptest;

namespace {

class UdpRecvBufferTest : public WatchdogTest {};

void count_recv(const char*, int64_t nread, const sockaddr*, void* user) {
    if (nread == MAX_UDP_PAYLOAD)
        ++*(int*)user;
}

TEST_F(UdpRecvBufferTest, NeedsAnOpenSocketAndAPositiveSize) {
    UDPCLIENT client = udp_client_create();
    EXPECT_EQ(udp_client_set_recv_buffer_size(client, 1 << 20), UV_EBADF);
    sockaddr_in lo = loopback(0);
    ASSERT_EQ(udp_client_start(client, sa(lo)), 0);
    EXPECT_EQ(udp_client_set_recv_buffer_size(client, 0), UV_EINVAL);
    EXPECT_EQ(udp_client_set_recv_buffer_size(client, 1 << 20), 0);
    udp_client_close(client);
    EXPECT_EQ(udp_client_set_recv_buffer_size(client, 1 << 20), UV_EBADF);
    EXPECT_EQ(udp_client_set_recv_buffer_size(nullptr, 1 << 20), NET_ERR_NULL_HANDLE);
    udp_client_destroy(client);
}

TEST_F(UdpRecvBufferTest, EnlargedBufferHoldsABurstUntilTheNextRun) {
    // About four times what the default buffer holds of full-size datagrams.
    const int burst = 400;
    UDPCLIENT client = udp_client_create();
    int received = 0;
    udp_client_set_recv_cb(client, count_recv);
    udp_client_set_user_data(client, &received);
    sockaddr_in lo = loopback(0);
    ASSERT_EQ(udp_client_start(client, sa(lo)), 0);
    ASSERT_EQ(udp_client_set_recv_buffer_size(client, 1 << 20), 0);

    Peer peer;
    ASSERT_TRUE(peer.bound());
    const std::string datagram(MAX_UDP_PAYLOAD, 'b');
    sockaddr_in to = loopback(port_of(client));
    for (int i = 0; i < burst; ++i)
        ASSERT_EQ(peer.send_to(datagram, to), (ssize_t)datagram.size());
    EXPECT_TRUE(wait_for([client] { udp_client_run(client, NET_RUN_NOWAIT); }, [&] { return received == burst; }));
    EXPECT_EQ(received, burst);
    udp_client_destroy(client);
}

}  // namespace

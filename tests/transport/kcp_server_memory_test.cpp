// The KCP server's bound on what all its peers hold together: raw loopback peers leave
// unfinished frames and out-of-order segments; the biggest holder is dropped, the rest stay.
#include <algorithm>

#include <gtest/gtest.h>

#include "support/Net.h"
#include "transport.h"

using namespace testnet;

namespace {

const int64_t kRead = 65536;  // the most one TCP read or one datagram brings

struct Server {
    Watchdog dog{60};
    KCPServer* s = kcp_server_create(0);
    uint16_t port = FreePort();
    int64_t limit, most = 0;  // most: the largest total seen after any run
    explicit Server(int64_t bytes) : limit(bytes) {
        kcp_server_set_held_limit(s, limit);
        EXPECT_EQ(0, kcp_server_start(s, Sa(Ipv4("127.0.0.1", port))));
    }
    ~Server() { kcp_server_destroy(s); }
    void Run() { kcp_server_run(s, NET_RUN_NOWAIT); most = std::max(most, kcp_server_held_bytes(s)); }
};

// A TCP connection that was told its UDP port, and a UDP socket to use it.
struct Peer {
    Server& server;
    int tcp;
    uint16_t udp_port = 0;
    UdpPeer udp;
    explicit Peer(Server& at) : server(at), tcp(Connect(at.port)) {
        std::string got;
        WaitUntil([&] { server.Run(); got += ReadSome(tcp); }, [&] { return got.size() >= 10; });
        udp_port = got.size() >= 10 && got[4] == 17 ? (uint16_t)((uint8_t)got[6] | (uint8_t)got[7] << 8) : 0;
    }
    ~Peer() { close(tcp); }
    bool Closed() {  // the server ended this peer's TCP connection
        bool closed = false;
        server.Run();
        ReadSome(tcp, &closed);
        return closed;
    }
    void Send(const std::string& datagram) { udp.SendTo(datagram, "127.0.0.1", udp_port); }
};

std::string Le32(uint32_t v) { return {(char)v, (char)(v >> 8), (char)(v >> 16), (char)(v >> 24)}; }

// count KCP data segments of length bytes, sequence numbers from first on.
std::string Segments(uint32_t first, int count, uint32_t length) {
    std::string out;
    for (uint32_t i = 0; i < (uint32_t)count; ++i)
        out += Le32(1) + std::string{81, 0, 0, 1} + Le32(0) + Le32(first + i) + Le32(0) + Le32(length) +
               std::string(length, 'x');
    return out;
}

TEST(KcpServerMemory, TheBiggestUnfinishedFrameIsDroppedAndTheServerGoesOn) {
    Server server(1 << 20);
    Peer small(server), big(server);
    const std::string header = Le32(16 << 20) + std::string{16, 0};  // announces 16 MiB
    ASSERT_TRUE(SendAll(small.tcp, header + std::string(100, 's')) && SendAll(big.tcp, header));
    const std::string chunk(kRead, 'b');
    EXPECT_TRUE(WaitUntil([&] { send(big.tcp, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT); },
                          [&] { return big.Closed(); }, 3000));
    EXPECT_LE(server.most, server.limit + kRead);
    EXPECT_FALSE(small.Closed());
    EXPECT_GE(kcp_server_held_bytes(server.s), 106);  // the small peer's frame
    EXPECT_NE(0, Peer(server).udp_port);              // still accepting
}

TEST(KcpServerMemory, SegmentsBeforeTheHandshakeCountAndTheBiggestHolderPays) {
    Server server(200 << 10);
    Peer flood(server), small(server), big(server);
    // Fragments over the MSS, and acknowledgements owed for old sequence numbers, are not held.
    for (uint32_t i = 0; i < 16; ++i, server.Run()) {
        flood.Send(Segments(1 + i, 1, 60000));
        flood.Send(Segments(0u - 4096, 2720, 0));
    }
    EXPECT_LT(server.most, 16 << 10);
    // Out-of-order segments of the MSS: 40 from one peer, then 120 from another.
    small.Send(Segments(1, 40, 1376));
    for (uint32_t i = 0; i < 120; i += 40, server.Run())
        big.Send(Segments(1 + i, 40, 1376));
    EXPECT_TRUE(WaitUntil([&] { server.Run(); }, [&] { return big.Closed(); }, 2000));
    EXPECT_FALSE(small.Closed() || flood.Closed());
    EXPECT_LE(server.most, server.limit + kRead);
}

}  // namespace

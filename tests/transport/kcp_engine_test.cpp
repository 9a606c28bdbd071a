// The KCP engine: two engines over a simulated lossy, jittery, duplicating
// link deliver every message once, in order and intact, in each mode (with
// sequence numbers and clock wrapping past 2^32 mid-stream at 10 % loss); and
// the header it writes, byte for byte.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "transport/kcp_sim.h"

class KcpSimulation : public ::testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(KcpSimulation, DeliversEveryMessageOnceInOrder) {
    kcpsim::Config config;
    config.preset = kcpsim::presets()[std::get<0>(GetParam())];
    config.loss = std::get<1>(GetParam());
    config.duplicate = 5;
    config.delay_max = 40;  // wide jitter reorders datagrams
    config.seed = 1000 + (uint64_t)std::get<0>(GetParam()) * 100 + (uint64_t)config.loss;
    config.messages = 150;
    config.size_max = 5000;  // up to four fragments, and empty messages
    const bool wrap = config.loss == 10;
    config.first_sequence = wrap ? 0xFFFFFFFFu - 60 : 0;
    config.clock_start = wrap ? 0xFFFFFFFFu - 100 : 0;
    kcpsim::Link link(config);
    EXPECT_TRUE(link.run()) << link.stream(0).error << link.stream(1).error << " after ms " << link.elapsed();
    // With loss something was sent again; with wrap both counters crossed zero.
    EXPECT_TRUE(config.loss == 0 || link.stream(0).data_segments_out > link.engine(0)->send_next - config.first_sequence);
    EXPECT_TRUE(!wrap || (link.engine(0)->send_next < 1000u && link.now() < 0x80000000u));
}

INSTANTIATE_TEST_SUITE_P(PresetsAndLoss, KcpSimulation,
                         ::testing::Combine(::testing::Values(0, 1, 2), ::testing::Values(0, 10, 30)),
                         [](const ::testing::TestParamInfo<std::tuple<int, int>>& info) {
                             return std::string(kcpsim::presets()[std::get<0>(info.param)].name) + "_loss" +
                                    std::to_string(std::get<1>(info.param));
                         });

// Both ends of the simulation share this engine: the header must also suit other KCP peers.
TEST(KcpWire, HeaderIsLittleEndianByteForByte) {
    std::vector<std::string> sent;
    KcpControl* kcp = kcp_create(0x11223344, &sent);
    kcp_set_output(kcp, [](const char* d, int n, KcpControl*, void* u) {
        ((std::vector<std::string>*)u)->emplace_back(d, (size_t)n);
        return 0;
    });
    kcp_set_nodelay(kcp, 0, 10, 0, 1);
    ASSERT_EQ(kcp_send(kcp, "abc", 3), 3);
    kcp_update(kcp, 0x0A0B0C0D);
    kcp_release(kcp);
    const char expected[] = "\x44\x33\x22\x11\x51\x00\x80\x00"  // conversation; command 81, fragment 0, window 128
                            "\x0D\x0C\x0B\x0A\x00\x00\x00\x00"  // timestamp, sequence
                            "\x00\x00\x00\x00\x03\x00\x00\x00"  // cumulative ack, length
                            "abc";
    EXPECT_EQ(sent, std::vector<std::string>{std::string(expected, sizeof expected - 1)});
}

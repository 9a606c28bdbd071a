// The KCP engine: two engines over a simulated lossy, jittery, duplicating
// link deliver every message once, in order and intact, in each mode; and the
// header, byte for byte.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "transport/kcp_sim.h"

namespace {

using kcpsim::Config;
using kcpsim::Link;

class KcpSimulation : public ::testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(KcpSimulation, DeliversEveryMessageOnceInOrder) {
    Config config;
    config.preset = kcpsim::presets()[std::get<0>(GetParam())];
    config.loss = std::get<1>(GetParam());
    config.duplicate = 5;
    config.delay_max = 40;  // wide jitter reorders datagrams
    config.seed = 1000 + (uint64_t)std::get<0>(GetParam()) * 100 + (uint64_t)config.loss;
    config.messages = 150;
    config.size_max = 5000;  // up to four fragments, and empty messages
    Link link(config);
    EXPECT_TRUE(link.run()) << "virtual ms elapsed: " << link.elapsed();
    EXPECT_EQ(link.stream(0).error + link.stream(1).error, "");
    if (config.loss > 0) {  // something must have been sent again
        EXPECT_GT(link.stream(0).data_segments_out, (uint64_t)link.engine(0)->send_next);
    }
}

INSTANTIATE_TEST_SUITE_P(PresetsAndLoss, KcpSimulation,
                         ::testing::Combine(::testing::Values(0, 1, 2), ::testing::Values(0, 10, 30)),
                         [](const ::testing::TestParamInfo<std::tuple<int, int>>& info) {
                             return std::string(kcpsim::presets()[std::get<0>(info.param)].name) + "_loss" +
                                    std::to_string(std::get<1>(info.param));
                         });

TEST(KcpSimulationWrap, SequenceAndClockWrapMidStream) {
    Config config;
    config.preset = kcpsim::presets()[2];
    config.loss = 10;
    config.duplicate = 5;
    config.seed = 77;
    config.messages = 120;
    config.size_max = 3000;
    config.first_sequence = 0xFFFFFFFFu - 60;
    config.clock_start = 0xFFFFFFFFu - 100;
    Link link(config);
    EXPECT_TRUE(link.run()) << link.stream(0).error << link.stream(1).error;
    EXPECT_LT(link.engine(0)->send_next, 1000u);  // both counters really crossed zero
    EXPECT_LT(link.now(), 0x80000000u);
}

}  // namespace

// Both ends of the simulation share the engine; the header must also suit other KCP peers.
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
    ASSERT_EQ(sent.size(), 1u);
    const char expected[] = "\x44\x33\x22\x11"  // conversation
                            "\x51\x00\x80\x00"  // command 81, fragment 0, window 128
                            "\x0D\x0C\x0B\x0A"  // timestamp
                            "\x00\x00\x00\x00\x00\x00\x00\x00"  // sequence, cumulative ack
                            "\x03\x00\x00\x00"  // length
                            "abc";
    EXPECT_EQ(sent[0], std::string(expected, sizeof expected - 1));
}

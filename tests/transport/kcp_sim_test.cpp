// Two engines over a simulated lossy, jittery, duplicating link must deliver
// every message exactly once, in order and intact, in each connection mode.
#include <gtest/gtest.h>

#include <tuple>

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
    config.delay_min = 5;
    config.delay_max = 40;  // wide jitter reorders datagrams
    config.seed = 1000 + (uint64_t)std::get<0>(GetParam()) * 100 + (uint64_t)config.loss;
    config.messages = 150;
    config.size_max = 5000;  // up to four fragments, and empty messages
    Link link(config);
    bool ok = link.run();
    for (int side = 0; side < 2; ++side) {
        SCOPED_TRACE(side);
        EXPECT_EQ(link.stream(side).error, "");
        EXPECT_EQ(link.stream(side).delivered, config.messages);
        EXPECT_EQ(link.stream(side).data_segments_out >= link.engine(side)->send_next, true);
    }
    EXPECT_TRUE(ok) << "virtual ms elapsed: " << link.elapsed();
    // With loss, something must have been resent.
    if (config.loss > 0) {
        EXPECT_GT(link.stream(0).data_segments_out, (uint64_t)link.engine(0)->send_next);
    }
}

INSTANTIATE_TEST_SUITE_P(PresetsAndLoss, KcpSimulation,
                         ::testing::Combine(::testing::Values(0, 1, 2), ::testing::Values(0, 10, 30)),
                         [](const ::testing::TestParamInfo<std::tuple<int, int>>& info) {
                             return std::string(kcpsim::presets()[std::get<0>(info.param)].name) + "_loss" +
                                    std::to_string(std::get<1>(info.param));
                         });

// Sequence numbers and the clock both wrap past 2^32 in the middle of the run.
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
    EXPECT_TRUE(link.run());
    EXPECT_EQ(link.stream(0).error, "");
    EXPECT_EQ(link.stream(1).error, "");
    // Both counters really crossed zero.
    EXPECT_LT(link.engine(0)->send_next, 1000u);
    EXPECT_LT(link.engine(1)->recv_next, 1000u);
    EXPECT_LT(link.now(), 0x80000000u) << "elapsed " << link.elapsed();
}

}  // namespace

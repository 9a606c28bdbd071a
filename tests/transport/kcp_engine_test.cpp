// The KCP engine: two engines over a simulated lossy, jittery, duplicating
// link deliver every message once, in order and intact, in each mode; and the
// wire format and input checks, byte for byte, against hand-built datagrams.
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
    for (int side = 0; side < 2; ++side) {
        EXPECT_EQ(link.stream(side).error, "") << side;
        EXPECT_EQ(link.stream(side).delivered, config.messages) << side;
    }
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

// One engine whose datagrams are recorded.
struct Engine {
    KcpControl* kcp;
    std::vector<std::string> sent;
    explicit Engine(uint32_t conv = 1) : kcp(kcp_create(conv, this)) {
        kcp_set_output(kcp, [](const char* d, int n, KcpControl*, void* u) {
            ((Engine*)u)->sent.emplace_back(d, (size_t)n);
            return 0;
        });
    }
    ~Engine() { kcp_release(kcp); }
    int Input(const std::string& d) { return kcp_input(kcp, d.data(), (long)d.size()); }
};

// A segment header as the wire carries it, little-endian, then the payload.
std::string Segment(uint32_t conv, uint8_t cmd, uint16_t wnd, uint32_t sn, const std::string& payload,
                    uint32_t len = UINT32_MAX) {
    std::string out;
    for (uint32_t field : {conv, (uint32_t)cmd | (uint32_t)wnd << 16, 0u, sn, 0u,
                           len == UINT32_MAX ? (uint32_t)payload.size() : len})
        for (int i = 0; i < 4; ++i)
            out.push_back((char)(field >> (8 * i)));
    return out + payload;
}

}  // namespace

TEST(KcpWire, HeaderIsLittleEndianByteForByte) {
    Engine e(0x11223344);
    kcp_set_nodelay(e.kcp, 0, 10, 0, 1);
    ASSERT_EQ(kcp_send(e.kcp, "abc", 3), 3);
    kcp_update(e.kcp, 0x0A0B0C0D);
    ASSERT_EQ(e.sent.size(), 1u);
    const char expected[] = "\x44\x33\x22\x11"  // conversation
                            "\x51\x00\x80\x00"  // command 81, fragment 0, window 128
                            "\x0D\x0C\x0B\x0A"  // timestamp
                            "\x00\x00\x00\x00\x00\x00\x00\x00"  // sequence, cumulative ack
                            "\x03\x00\x00\x00"  // length
                            "abc";
    EXPECT_EQ(e.sent[0], std::string(expected, sizeof expected - 1));
}

TEST(KcpWire, MalformedDatagramsAreRefusedAfterTheSegmentsBefore) {
    Engine e;
    const std::string tell = Segment(1, KCP_CMD_WINDOW_TELL, 77, 0, "");
    EXPECT_EQ(kcp_input(e.kcp, tell.data(), 23), -1);  // shorter than a header
    EXPECT_EQ(e.Input(Segment(2, KCP_CMD_WINDOW_TELL, 5, 0, "")), -1);  // another conversation
    EXPECT_EQ(e.kcp->remote_window, 128u);
    EXPECT_EQ(e.Input(tell + Segment(2, KCP_CMD_WINDOW_TELL, 5, 0, "")), -1);
    EXPECT_EQ(e.kcp->remote_window, 77u);
    EXPECT_EQ(e.Input(Segment(1, KCP_CMD_DATA, 128, 0, "first") + Segment(1, KCP_CMD_DATA, 128, 1, "99", 100)), -2);
    EXPECT_EQ(e.Input(Segment(1, KCP_CMD_DATA, 128, 1, "", 0x80000000u)), -2);
    EXPECT_EQ(e.Input(Segment(1, 85, 128, 0, "")), -3);
    char buffer[16];
    EXPECT_EQ(kcp_recv(e.kcp, buffer, sizeof buffer), 5);
    EXPECT_EQ(std::string(buffer, 5), "first");
    EXPECT_EQ(kcp_recv(e.kcp, buffer, sizeof buffer), -1);
}

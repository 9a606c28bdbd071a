// The KCP engine seen from the wire: every test drives a real engine with
// hand-built datagrams and decodes what its output callback transmits.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>
#include <vector>

#include "kcp.h"

namespace {

struct Seg {
    uint32_t conv = 1;
    uint8_t cmd = KCP_CMD_DATA;
    uint8_t frg = 0;
    uint16_t wnd = 128;
    uint32_t ts = 0, sn = 0, una = 0;
    std::string payload;
    uint32_t len = UINT32_MAX;  // UINT32_MAX: the payload's size
};

void put(std::string& out, uint32_t v, int width) {
    for (int i = 0; i < width; ++i)
        out.push_back((char)((v >> (8 * i)) & 0xff));
}
uint32_t get(const std::string& in, size_t at, int width) {
    uint32_t v = 0;
    for (int i = width - 1; i >= 0; --i)
        v = (v << 8) | (uint8_t)in[at + (size_t)i];
    return v;
}

std::string encode(const Seg& s) {
    std::string out;
    put(out, s.conv, 4);
    put(out, s.cmd, 1);
    put(out, s.frg, 1);
    put(out, s.wnd, 2);
    put(out, s.ts, 4);
    put(out, s.sn, 4);
    put(out, s.una, 4);
    put(out, s.len == UINT32_MAX ? (uint32_t)s.payload.size() : s.len, 4);
    return out + s.payload;
}

std::vector<Seg> decode(const std::string& d) {
    std::vector<Seg> out;
    for (size_t at = 0; at + KCP_HEADER_SIZE <= d.size();) {
        Seg s;
        s.conv = get(d, at, 4);
        s.cmd = (uint8_t)get(d, at + 4, 1);
        s.frg = (uint8_t)get(d, at + 5, 1);
        s.wnd = (uint16_t)get(d, at + 6, 2);
        s.ts = get(d, at + 8, 4);
        s.sn = get(d, at + 12, 4);
        s.una = get(d, at + 16, 4);
        s.len = get(d, at + 20, 4);
        s.payload = d.substr(at + KCP_HEADER_SIZE, s.len);
        out.push_back(s);
        at += KCP_HEADER_SIZE + s.len;
    }
    return out;
}

Seg data(uint32_t sn, const std::string& payload, uint8_t frg = 0, uint32_t ts = 0) {
    Seg s;
    s.sn = sn;
    s.payload = payload;
    s.frg = frg;
    s.ts = ts;
    return s;
}
Seg control(uint8_t cmd, uint32_t sn = 0, uint32_t ts = 0, uint16_t wnd = 128, uint32_t una = 0) {
    Seg s;
    s.cmd = cmd;
    s.sn = sn;
    s.ts = ts;
    s.wnd = wnd;
    s.una = una;
    return s;
}

// One engine with its transmitted datagrams recorded.
struct Engine {
    KcpControl* kcp;
    std::vector<std::string> sent;
    std::vector<uint32_t> sent_at;  // engine time of each datagram
    bool within_mtu = true;         // every datagram must fit the MTU

    explicit Engine(uint32_t conv = 1) : kcp(kcp_create(conv, this)) { kcp_set_output(kcp, &Engine::output); }
    ~Engine() { kcp_release(kcp); }
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    static int output(const char* data, int length, KcpControl* kcp, void* user) {
        Engine* e = static_cast<Engine*>(user);
        EXPECT_EQ(kcp, e->kcp);
        if (e->within_mtu) {
            EXPECT_LE((uint32_t)length, kcp->mtu);
        }
        e->sent.emplace_back(data, (size_t)length);
        e->sent_at.push_back(kcp->now);
        return 0;
    }
    int input(const std::vector<Seg>& segs) {
        std::string d;
        for (const Seg& s : segs)
            d += encode(s);
        return kcp_input(kcp, d.data(), (long)d.size());
    }
    // Every segment sent so far (or since index from), optionally of one command.
    std::vector<Seg> segments(int cmd = 0, size_t from = 0) const {
        std::vector<Seg> out;
        for (size_t i = from; i < sent.size(); ++i)
            for (const Seg& s : decode(sent[i]))
                if (cmd == 0 || s.cmd == cmd)
                    out.push_back(s);
        return out;
    }
    std::string recv() {
        std::string buf(300000, '\0');
        int n = kcp_recv(kcp, &buf[0], (int)buf.size());
        return n < 0 ? "<" + std::to_string(n) + ">" : buf.substr(0, (size_t)n);
    }
};

// Moves every datagram a has sent since *cursor into b.
void carry(Engine& a, Engine& b, size_t* cursor) {
    for (; *cursor < a.sent.size(); ++*cursor)
        ASSERT_EQ(kcp_input(b.kcp, a.sent[*cursor].data(), (long)a.sent[*cursor].size()), 0);
}

std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = (char)(i * 7 + i / 251);
    return s;
}

TEST(KcpWire, HeaderIsLittleEndianByteForByte) {
    Engine e(0x11223344);
    kcp_set_nodelay(e.kcp, 0, 10, 0, 1);
    ASSERT_EQ(kcp_send(e.kcp, "abc", 3), 3);
    kcp_update(e.kcp, 0x0A0B0C0D);  // nothing moves before the first update
    ASSERT_EQ(e.sent.size(), 1u);
    const char expected[] = "\x44\x33\x22\x11"  // conversation
                            "\x51\x00"          // command 81, fragment 0
                            "\x80\x00"          // free window 128
                            "\x0D\x0C\x0B\x0A"  // timestamp
                            "\x00\x00\x00\x00"  // sequence
                            "\x00\x00\x00\x00"  // cum_ack
                            "\x03\x00\x00\x00"  // length
                            "abc";
    EXPECT_EQ(e.sent[0], std::string(expected, sizeof expected - 1));
}

TEST(KcpWire, NothingSentBeforeFirstUpdateAndCongestionStartsAtOne) {
    Engine e;
    ASSERT_EQ(kcp_send(e.kcp, "x", 1), 1);
    ASSERT_EQ(kcp_send(e.kcp, "y", 1), 1);
    kcp_flush(e.kcp);
    EXPECT_TRUE(e.sent.empty());
    kcp_update(e.kcp, 1000);  // congestion window is 0 on the first flush
    EXPECT_TRUE(e.segments(KCP_CMD_DATA).empty());
    EXPECT_EQ(e.kcp->cwnd, 1u);
    kcp_update(e.kcp, 1100);
    ASSERT_EQ(e.segments(KCP_CMD_DATA).size(), 1u);
    EXPECT_EQ(e.segments(KCP_CMD_DATA)[0].payload, "x");
}

TEST(KcpWire, SegmentsArePackedUpToTheMtu) {
    Engine e;
    kcp_set_nodelay(e.kcp, 1, 10, 0, 1);
    kcp_set_window(e.kcp, 256, 256);
    std::vector<Seg> batch;
    for (uint32_t sn = 0; sn < 200; ++sn)
        batch.push_back(data(sn, ""));
    ASSERT_EQ(e.input(batch), 0);
    EXPECT_EQ(e.kcp->ack_count, 200u);
    kcp_update(e.kcp, 50);
    // 58 headers of 24 bytes fit in 1400 bytes: 58 + 58 + 58 + 26.
    ASSERT_EQ(e.sent.size(), 4u);
    EXPECT_EQ(e.sent[0].size(), 58u * 24);
    EXPECT_EQ(e.sent[3].size(), 26u * 24);
    std::vector<Seg> acks = e.segments(KCP_CMD_ACK);
    ASSERT_EQ(acks.size(), 200u);
    for (uint32_t sn = 0; sn < 200; ++sn)
        EXPECT_EQ(acks[sn].sn, sn);
    EXPECT_EQ(e.kcp->ack_count, 0u);

    // Five headers fill an MTU of 120 exactly.
    Engine small;
    kcp_set_mtu(small.kcp, 120);
    ASSERT_EQ(small.input({data(0, ""), data(1, ""), data(2, ""), data(3, ""), data(4, ""), data(5, "")}), 0);
    kcp_update(small.kcp, 0);
    ASSERT_EQ(small.sent.size(), 2u);
    EXPECT_EQ(small.sent[0].size(), 120u);
    EXPECT_EQ(small.sent[1].size(), 24u);
}

TEST(KcpInput, MalformedDatagramsKeepEarlierSegments) {
    Engine e;
    std::string tell = encode(control(KCP_CMD_WINDOW_TELL, 0, 0, 77));
    EXPECT_EQ(kcp_input(e.kcp, tell.data(), 23), -1);
    EXPECT_EQ(kcp_input(e.kcp, nullptr, 24), -1);
    EXPECT_EQ(e.kcp->remote_window, 128u);

    Seg foreign = control(KCP_CMD_WINDOW_TELL, 0, 0, 5);
    foreign.conv = 2;
    EXPECT_EQ(e.input({foreign}), -1);
    EXPECT_EQ(e.kcp->remote_window, 128u);
    EXPECT_EQ(e.input({control(KCP_CMD_WINDOW_TELL, 0, 0, 77), foreign}), -1);
    EXPECT_EQ(e.kcp->remote_window, 77u);

    // 100 bytes announced, 99 present.
    Seg shortpay = data(1, std::string(99, 'z'));
    shortpay.len = 100;
    EXPECT_EQ(e.input({data(0, "first"), shortpay}), -2);
    EXPECT_EQ(e.recv(), "first");
    Seg negative = data(1, "");
    negative.len = 0x80000000u;
    EXPECT_EQ(e.input({control(KCP_CMD_WINDOW_TELL, 0, 0, 60), negative}), -2);
    EXPECT_EQ(e.kcp->remote_window, 60u);

    for (uint8_t bad : {80, 85}) {
        Seg unknown = control(bad);
        EXPECT_EQ(e.input({control(KCP_CMD_WINDOW_TELL, 0, 0, bad), unknown}), -3);
        EXPECT_EQ(e.kcp->remote_window, bad);
    }
    EXPECT_EQ(e.kcp->ack_count, 1u);  // only "first" was ever acknowledged
}

TEST(KcpInput, ReceiveWindowEdge) {
    Engine e;
    e.kcp->recv_next = 1000;
    e.kcp->recv_window = 128;
    EXPECT_EQ(e.input({data(1000 + 128, "out")}), 0);
    EXPECT_EQ(e.kcp->ack_count, 0u);
    EXPECT_EQ(e.kcp->recv_buffer_count, 0u);
    EXPECT_EQ(e.input({data(1000 + 127, "in")}), 0);
    EXPECT_EQ(e.kcp->ack_count, 1u);
    EXPECT_EQ(e.kcp->recv_buffer_count, 1u);
    kcp_update(e.kcp, 10);
    std::vector<Seg> acks = e.segments(KCP_CMD_ACK);
    ASSERT_EQ(acks.size(), 1u);
    EXPECT_EQ(acks[0].sn, 1127u);
    EXPECT_EQ(acks[0].una, 1000u);
}

TEST(KcpInput, DuplicatesAreAcknowledgedEachTimeButStoredOnce) {
    Engine e;
    EXPECT_EQ(e.input({data(3, "three", 0, 33), data(3, "three", 0, 34)}), 0);
    EXPECT_EQ(e.kcp->recv_buffer_count, 1u);
    EXPECT_EQ(e.input({data(1, "one"), data(0, "zero"), data(2, "two"), data(0, "zero")}), 0);
    EXPECT_EQ(e.kcp->recv_buffer_count, 0u);
    EXPECT_EQ(e.kcp->recv_queue_count, 4u);
    EXPECT_EQ(e.kcp->recv_next, 4u);
    EXPECT_EQ(e.input({data(2, "two", 0, 99)}), 0);  // already received: acknowledged again only
    EXPECT_EQ(e.kcp->recv_queue_count, 4u);
    for (const char* m : {"zero", "one", "two", "three"})
        EXPECT_EQ(e.recv(), m);
    EXPECT_EQ(e.recv(), "<-1>");
    kcp_update(e.kcp, 0);
    std::vector<Seg> acks = e.segments(KCP_CMD_ACK);
    ASSERT_EQ(acks.size(), 7u);
    EXPECT_EQ(acks[1].ts, 34u);
    EXPECT_EQ(acks[6].sn, 2u);
    EXPECT_EQ(acks[6].ts, 99u);
}

// Puts count one-byte messages in flight with the congestion window off.
void in_flight(Engine& e, int count, int nodelay, int resend) {
    kcp_set_nodelay(e.kcp, nodelay, 10, resend, 1);
    for (int i = 0; i < count; ++i)
        kcp_send(e.kcp, "m", 1);
    kcp_update(e.kcp, 0);
    ASSERT_EQ(e.kcp->send_buffer_count, (uint32_t)count);
}

TEST(KcpInput, CumulativeAndSelectiveAcksFreeSentSegments) {
    Engine e;
    in_flight(e, 6, 0, 0);
    EXPECT_EQ(e.input({control(KCP_CMD_ACK, 4, 0, 128, 0)}), 0);
    EXPECT_EQ(e.kcp->send_buffer_count, 5u);
    EXPECT_EQ(e.kcp->send_unacked, 0u);
    EXPECT_EQ(e.input({control(KCP_CMD_WINDOW_TELL, 0, 0, 128, 3)}), 0);
    EXPECT_EQ(e.kcp->send_buffer_count, 2u);  // 3 and 5 remain
    EXPECT_EQ(e.kcp->send_unacked, 3u);
    EXPECT_EQ(e.input({control(KCP_CMD_ACK, 3), control(KCP_CMD_ACK, 5)}), 0);
    EXPECT_EQ(e.kcp->send_buffer_count, 0u);
    EXPECT_EQ(e.kcp->send_unacked, 6u);
}

TEST(KcpInput, WindowAskIsAnsweredWithATell) {
    Engine e;
    e.input({data(0, "a"), data(1, "b")});
    ASSERT_EQ(e.input({control(KCP_CMD_WINDOW_ASK)}), 0);
    kcp_update(e.kcp, 500);
    std::vector<Seg> tells = e.segments(KCP_CMD_WINDOW_TELL);
    ASSERT_EQ(tells.size(), 1u);
    EXPECT_EQ(tells[0].wnd, 126);  // two messages wait in the queue
    EXPECT_EQ(tells[0].una, 2u);
    EXPECT_EQ(tells[0].sn, 1u);  // the last acknowledgement written before it
    kcp_update(e.kcp, 600);
    EXPECT_EQ(e.segments(KCP_CMD_WINDOW_TELL).size(), 1u);
}

TEST(KcpMessages, SizesAtTheFragmentLimit) {
    Engine a, b;
    kcp_set_nodelay(a.kcp, 1, 10, 0, 1);
    kcp_set_window(a.kcp, 256, 256);
    EXPECT_EQ(kcp_send(a.kcp, "x", -1), -1);
    EXPECT_EQ(kcp_send(a.kcp, nullptr, 174753), -2);
    EXPECT_EQ(a.kcp->send_queue_count, 0u);
    EXPECT_EQ(kcp_send(a.kcp, "", 0), 0);
    EXPECT_EQ(a.kcp->send_queue_count, 1u);
    std::string big = pattern(174752);
    EXPECT_EQ(kcp_send(a.kcp, big.data(), (int)big.size()), 174752);
    EXPECT_EQ(a.kcp->send_queue_count, 128u);

    size_t cursor = 0;
    kcp_update(a.kcp, 0);
    carry(a, b, &cursor);
    std::vector<Seg> segs = a.segments(KCP_CMD_DATA);
    ASSERT_EQ(segs.size(), 128u);
    EXPECT_EQ(segs[0].len, 0u);
    for (int i = 0; i < 127; ++i) {
        EXPECT_EQ(segs[(size_t)i + 1].frg, 126 - i);
        EXPECT_EQ(segs[(size_t)i + 1].len, i < 126 ? 1376u : 174752u - 126 * 1376);
    }
    EXPECT_EQ(b.recv(), "");
    EXPECT_EQ(b.recv(), big);
    EXPECT_EQ(b.recv(), "<-1>");
}

TEST(KcpMessages, RecvBufferTooSmallPeekAndMissingFragment) {
    Engine e;
    e.input({data(0, "hello")});
    char buf[16];
    EXPECT_EQ(kcp_recv(e.kcp, buf, 4), -3);
    EXPECT_EQ(kcp_recv(e.kcp, buf, -4), -3);
    EXPECT_EQ(kcp_recv(e.kcp, buf, -5), 5);  // peek
    EXPECT_EQ(std::string(buf, 5), "hello");
    EXPECT_EQ(e.kcp->recv_queue_count, 1u);
    EXPECT_EQ(kcp_recv(e.kcp, nullptr, -5), 5);
    EXPECT_EQ(kcp_recv(e.kcp, buf, 5), 5);
    EXPECT_EQ(kcp_recv(e.kcp, buf, 5), -1);

    // Fragments 2 and 1 are in order; fragment 0 is still missing.
    e.input({data(1, "AA", 2), data(2, "BB", 1)});
    EXPECT_EQ(kcp_recv(e.kcp, buf, sizeof buf), -2);
    e.input({data(3, "C", 0)});
    EXPECT_EQ(kcp_recv(e.kcp, buf, 4), -3);
    EXPECT_EQ(kcp_recv(e.kcp, buf, 5), 5);
    EXPECT_EQ(std::string(buf, 5), "AABBC");
    EXPECT_EQ(e.kcp->recv_queue_count, 0u);
}

TEST(KcpMessages, FullQueueHoldsSegmentsAndReopensTheWindow) {
    Engine e;
    std::vector<Seg> batch;
    for (uint32_t sn = 0; sn < 130; ++sn)
        batch.push_back(data(sn, std::string(1, (char)sn)));
    ASSERT_EQ(e.input(batch), 0);
    EXPECT_EQ(e.kcp->recv_queue_count, 128u);
    EXPECT_EQ(e.kcp->recv_buffer_count, 2u);  // in order, but the queue is full
    EXPECT_EQ(e.kcp->recv_next, 128u);
    EXPECT_EQ(e.input({data(256, "edge")}), 0);
    EXPECT_EQ(e.kcp->ack_count, 130u);
    kcp_update(e.kcp, 0);
    EXPECT_EQ(e.segments(KCP_CMD_ACK).back().wnd, 0);
    size_t mark = e.sent.size();
    EXPECT_EQ(e.recv(), std::string(1, '\0'));
    EXPECT_EQ(e.recv(), std::string(1, '\1'));  // each take lets a held segment in
    EXPECT_EQ(e.kcp->recv_next, 130u);
    EXPECT_EQ(e.kcp->probe_flags & PROBE_TELL, 0u);
    EXPECT_EQ(e.recv(), std::string(1, '\2'));
    EXPECT_EQ(e.kcp->probe_flags & PROBE_TELL, (uint32_t)PROBE_TELL);
    kcp_update(e.kcp, 100);
    std::vector<Seg> tells = e.segments(KCP_CMD_WINDOW_TELL, mark);
    ASSERT_EQ(tells.size(), 1u);
    EXPECT_EQ(tells[0].wnd, 1);
}

TEST(KcpClock, UpdateSchedule) {
    Engine e;
    kcp_set_nodelay(e.kcp, 0, 100, 0, 0);
    kcp_update(e.kcp, 50000);
    EXPECT_EQ(e.kcp->next_flush, 50100u);
    auto pending_ack = [&] { e.input({data(e.kcp->recv_next, "")}); return e.kcp->ack_count; };
    struct Case {
        int32_t offset;  // from next_flush
        bool flushes;
    } cases[] = {{-1, false}, {-10000, false}, {9999, true}, {10000, true}, {-10001, true}, {0, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.offset);
        ASSERT_GT(pending_ack(), 0u);
        uint32_t before = e.kcp->next_flush;
        uint32_t t = before + (uint32_t)c.offset;
        kcp_update(e.kcp, t);
        EXPECT_EQ(e.kcp->now, t);
        if (c.flushes) {
            EXPECT_EQ(e.kcp->ack_count, 0u);
            EXPECT_EQ(e.kcp->next_flush, c.offset == 0 ? before + 100 : t + 100);
        } else {
            EXPECT_GT(e.kcp->ack_count, 0u);
            EXPECT_EQ(e.kcp->next_flush, before);
        }
    }
    // Interval 0: every update flushes.
    kcp_set_nodelay(e.kcp, -1, 0, -1, -1);
    uint32_t t = e.kcp->next_flush;
    for (int i = 0; i < 3; ++i) {
        ASSERT_GT(pending_ack(), 0u);
        kcp_update(e.kcp, t);
        EXPECT_EQ(e.kcp->ack_count, 0u);
    }
}

TEST(KcpSetters, Edges) {
    Engine e;
    kcp_set_nodelay(e.kcp, 1, 20, 3, 1);
    EXPECT_EQ(e.kcp->min_rto, 30);
    EXPECT_EQ(kcp_set_nodelay(e.kcp, -1, -1, -1, -1), 0);
    EXPECT_EQ(e.kcp->nodelay, 1u);
    EXPECT_EQ(e.kcp->interval, 20u);
    EXPECT_EQ(e.kcp->fast_resend, 3);
    EXPECT_EQ(e.kcp->no_cwnd, 1);
    kcp_set_nodelay(e.kcp, 0, 6000, -1, -1);
    EXPECT_EQ(e.kcp->min_rto, 100);
    EXPECT_EQ(e.kcp->interval, 5000u);
    kcp_set_nodelay(e.kcp, -1, 0, -1, -1);
    EXPECT_EQ(e.kcp->interval, 0u);

    EXPECT_EQ(kcp_set_window(e.kcp, 0, 50), 0);
    EXPECT_EQ(e.kcp->send_window, 32u);
    EXPECT_EQ(e.kcp->recv_window, 128u);
    kcp_set_window(e.kcp, 64, 300);
    kcp_set_window(e.kcp, -5, 0);
    EXPECT_EQ(e.kcp->send_window, 64u);
    EXPECT_EQ(e.kcp->recv_window, 300u);
    EXPECT_EQ(kcp_set_window(nullptr, 1, 1), 0);

    EXPECT_EQ(kcp_set_mtu(e.kcp, 49), -1);
    EXPECT_EQ(e.kcp->mtu, 1400u);
    EXPECT_EQ(kcp_set_mtu(e.kcp, 50), 0);
    EXPECT_EQ(e.kcp->mss, 26u);
    // A small MTU cuts messages into small fragments and datagrams.
    kcp_set_nodelay(e.kcp, 1, 10, 0, 1);
    std::string msg = pattern(100);
    EXPECT_EQ(kcp_send(e.kcp, msg.data(), 100), 100);
    kcp_update(e.kcp, 0);
    std::vector<Seg> segs = e.segments(KCP_CMD_DATA);
    ASSERT_EQ(segs.size(), 4u);
    EXPECT_EQ(segs[0].frg, 3);
    EXPECT_EQ(segs[3].len, 100u - 3 * 26);
    EXPECT_EQ(e.sent.size(), 4u);
}

TEST(KcpSetters, LoweringTheMtuKeepsQueuedSegmentsWhole) {
    Engine a, b;
    a.within_mtu = false;
    kcp_set_nodelay(a.kcp, 1, 10, 0, 1);
    std::string msg = pattern(3000);
    ASSERT_EQ(kcp_send(a.kcp, msg.data(), 3000), 3000);
    ASSERT_EQ(kcp_set_mtu(a.kcp, 100), 0);
    ASSERT_EQ(kcp_send(a.kcp, msg.data(), 200), 200);  // cut to the new MTU
    kcp_update(a.kcp, 0);
    size_t cursor = 0;
    carry(a, b, &cursor);
    EXPECT_EQ(b.recv(), msg);
    EXPECT_EQ(b.recv(), msg.substr(0, 200));
    std::vector<Seg> segs = a.segments(KCP_CMD_DATA);
    ASSERT_EQ(segs.size(), 6u);
    EXPECT_EQ(segs[0].len, 1376u);
    EXPECT_EQ(segs[3].len, 76u);
}

// Acknowledges sn at engine time now with an echo of the send timestamp ts.
void ack(Engine& e, uint32_t sn, uint32_t ts, uint32_t una = 0) {
    ASSERT_EQ(e.input({control(KCP_CMD_ACK, sn, ts, 128, una)}), 0);
}

TEST(KcpTiming, EstimatorAndBackOffPerStyle) {
    struct Style {
        int nodelay;
        std::vector<uint32_t> gaps;  // between successive sends of one lost segment
    } styles[] = {
        {0, {340, 600, 1200, 2400}},  // first gap holds rto + rto/8, on the 10 ms grid
        {1, {300, 450, 680, 1020}},   // 300, 450, 675 (+grid), 1012 (+grid)
        {2, {300, 450, 600, 750}},
    };
    for (const Style& style : styles) {
        SCOPED_TRACE(style.nodelay);
        Engine e;
        kcp_set_nodelay(e.kcp, style.nodelay, 10, 0, 1);
        kcp_send(e.kcp, "probe", 5);
        kcp_update(e.kcp, 1000);
        kcp_update(e.kcp, 1100);
        ack(e, 0, 1000);
        EXPECT_EQ(e.kcp->srtt, 100);
        EXPECT_EQ(e.kcp->rtt_var, 50);
        EXPECT_EQ(e.kcp->rto, 300);

        kcp_send(e.kcp, "lost", 4);
        std::vector<uint32_t> times;
        for (uint32_t t = 1110; t < 8000; t += 10) {
            size_t mark = e.sent.size();
            kcp_update(e.kcp, t);
            for (const Seg& s : e.segments(KCP_CMD_DATA, mark))
                if (s.sn == 1)
                    times.push_back(t);
        }
        ASSERT_GE(times.size(), style.gaps.size() + 1);
        for (size_t i = 0; i < style.gaps.size(); ++i)
            EXPECT_EQ(times[i + 1] - times[i], style.gaps[i]) << "gap " << i;
        EXPECT_EQ(e.kcp->cwnd, 1u);  // every time-out collapses the window
    }
    // A later, steadier sample moves the estimate by the smoothing rules.
    Engine e;
    kcp_set_nodelay(e.kcp, 0, 10, 0, 1);
    kcp_update(e.kcp, 0);
    kcp_update(e.kcp, 100);
    ack(e, 0, 0);
    kcp_update(e.kcp, 180);
    ack(e, 0, 100);  // rtt 80: delta 20
    EXPECT_EQ(e.kcp->rtt_var, (3 * 50 + 20) / 4);
    EXPECT_EQ(e.kcp->srtt, (7 * 100 + 80) / 8);
    EXPECT_EQ(e.kcp->rto, 97 + 4 * 42);
}

TEST(KcpTiming, FastResendOnSkippedSegments) {
    Engine e;
    in_flight(e, 5, 1, 2);
    ack(e, 2, 0);
    ack(e, 3, 0);  // 0 and 1 were skipped twice
    EXPECT_EQ(e.kcp->send_buffer_count, 3u);
    size_t mark = e.sent.size();
    kcp_update(e.kcp, 10);  // long before any time-out
    std::vector<Seg> resent = e.segments(KCP_CMD_DATA, mark);
    ASSERT_EQ(resent.size(), 2u);
    EXPECT_EQ(resent[0].sn, 0u);
    EXPECT_EQ(resent[1].sn, 1u);
    EXPECT_EQ(e.kcp->ssthresh, 2u);  // (5 - 0) / 2
    EXPECT_EQ(e.kcp->cwnd, 4u);      // ssthresh + resend threshold
    EXPECT_EQ(e.kcp->timeout_retransmits, 0u);
    mark = e.sent.size();
    kcp_update(e.kcp, 20);  // the count starts over after a fast resend
    EXPECT_TRUE(e.segments(KCP_CMD_DATA, mark).empty());
}

TEST(KcpTiming, SlowStartStopsAtTheRemoteWindow) {
    Engine e;
    kcp_set_nodelay(e.kcp, 1, 10, 0, 0);
    e.kcp->ssthresh = 100;
    for (int i = 0; i < 8; ++i)
        kcp_send(e.kcp, "w", 1);
    kcp_update(e.kcp, 0);  // cwnd 0 -> 1
    uint32_t t = 10;
    uint32_t expected[] = {2, 3, 3};
    for (uint32_t round = 0; round < 3; ++round, t += 10) {
        kcp_update(e.kcp, t);
        ASSERT_EQ(e.input({control(KCP_CMD_ACK, e.kcp->send_unacked, t, 3, e.kcp->send_unacked)}), 0);
        EXPECT_EQ(e.kcp->cwnd, expected[round]);
    }
    EXPECT_EQ(e.kcp->cwnd_bytes, 3 * e.kcp->mss);
}

TEST(KcpTiming, DeadLinkAfterTwentySends) {
    Engine e;
    kcp_set_nodelay(e.kcp, 2, 10, 0, 1);
    kcp_send(e.kcp, "x", 1);
    KcpSegment* seg = nullptr;
    for (uint32_t t = 0; t < 200000; t += 10) {
        kcp_update(e.kcp, t);
        seg = reinterpret_cast<KcpSegment*>(e.kcp->send_buffer.next);
        ASSERT_EQ(e.kcp->state, seg->transmits >= 20 ? UINT32_MAX : 0u);
        if (seg->transmits == 21)
            break;
    }
    EXPECT_EQ(seg->transmits, 21u);  // the engine keeps sending
    EXPECT_EQ(e.segments(KCP_CMD_DATA).size(), 21u);
}

TEST(KcpTiming, WindowProbeBackOff) {
    Engine e;
    kcp_set_nodelay(e.kcp, 0, 0, 0, 1);  // interval 0: every update flushes
    uint32_t t = 1000;
    kcp_update(e.kcp, t);
    ASSERT_EQ(e.input({control(KCP_CMD_WINDOW_TELL, 0, 0, 0)}), 0);
    kcp_send(e.kcp, "held", 4);
    std::vector<uint32_t> asks;
    auto run_until = [&](uint32_t end) {
        for (; t < end; ++t) {
            size_t before = e.sent.size();
            kcp_update(e.kcp, t);
            if (!e.segments(KCP_CMD_WINDOW_ASK, before).empty())
                asks.push_back(t);
        }
    };
    uint32_t seen_at = ++t;
    run_until(seen_at + 470000);
    EXPECT_EQ(e.kcp->send_buffer_count, 0u);  // nothing admitted into a closed window
    EXPECT_TRUE(e.segments(KCP_CMD_DATA).empty());
    uint32_t gaps[] = {7000, 10500, 15750, 23625, 35437, 53155, 79732, 119598, 120000};
    ASSERT_EQ(asks.size(), 9u);
    uint32_t prev = seen_at;
    for (size_t i = 0; i < 9; ++i) {
        EXPECT_EQ(asks[i] - prev, gaps[i]) << "ask " << i;
        prev = asks[i];
    }
    // The window reopens: data flows, the back-off is reset and starts over when it closes again.
    ASSERT_EQ(e.input({control(KCP_CMD_WINDOW_TELL, 0, 0, 4)}), 0);
    run_until(t + 1);
    EXPECT_EQ(e.kcp->probe_wait, 0u);
    EXPECT_EQ(e.segments(KCP_CMD_DATA).size(), 1u);
    ASSERT_EQ(e.input({control(KCP_CMD_WINDOW_TELL, 0, 0, 0)}), 0);
    seen_at = t;
    asks.clear();
    run_until(seen_at + 7001);
    ASSERT_EQ(asks.size(), 1u);
    EXPECT_EQ(asks[0], seen_at + 7000);
}

// Fails every allocation once armed; counts what is live so leaks show.
struct FailingHeap {
    static int countdown;  // allocations left before failing; negative: never fail
    static long live;
    static void* allocate(size_t n) {
        if (countdown == 0)
            return nullptr;
        if (countdown > 0)
            --countdown;
        ++live;
        return malloc(n);
    }
    static void release(void* p) {
        if (p != nullptr)
            --live;
        free(p);
    }
    FailingHeap() {
        countdown = -1;
        live = 0;
        kcp_set_allocator(allocate, release);
    }
    ~FailingHeap() { kcp_set_allocator(nullptr, nullptr); }
};
int FailingHeap::countdown = -1;
long FailingHeap::live = 0;

TEST(KcpMemory, CreateFailsCleanly) {
    FailingHeap heap;
    for (int n = 0; n < 2; ++n) {
        FailingHeap::countdown = n;
        EXPECT_EQ(kcp_create(1, nullptr), nullptr);
        EXPECT_EQ(FailingHeap::live, 0);
    }
    FailingHeap::countdown = -1;
    KcpControl* kcp = kcp_create(1, nullptr);
    ASSERT_NE(kcp, nullptr);
    kcp_send(kcp, "abc", 3);
    FailingHeap::countdown = 0;
    EXPECT_EQ(kcp_set_mtu(kcp, 500), -2);
    EXPECT_EQ(kcp->mtu, 1400u);
    EXPECT_EQ(kcp->mss, 1376u);
    std::string three = pattern(3000);
    FailingHeap::countdown = 1;
    EXPECT_EQ(kcp_send(kcp, three.data(), 3000), -2);
    EXPECT_EQ(kcp->send_queue_count, 2u);  // the first fragment stays queued
    FailingHeap::countdown = -1;
    kcp_release(kcp);
    EXPECT_EQ(FailingHeap::live, 0);
}

TEST(KcpMemory, ReceivedSegmentsWithoutMemoryAreDroppedUnacknowledged) {
    FailingHeap heap;
    Engine e;
    FailingHeap::countdown = 0;
    EXPECT_EQ(e.input({data(0, "lost for now"), data(1, "x")}), 0);
    EXPECT_EQ(e.kcp->ack_count, 0u);  // the peer will resend them
    EXPECT_EQ(e.kcp->recv_buffer_count + e.kcp->recv_queue_count, 0u);
    FailingHeap::countdown = -1;
    EXPECT_EQ(e.input({data(0, "lost for now")}), 0);  // one ack list allocation, one copy
    EXPECT_EQ(e.kcp->ack_count, 1u);

    // The ack list cannot grow past 8: the 9th segment is stored but not acknowledged.
    std::vector<Seg> more;
    for (uint32_t sn = 1; sn <= 8; ++sn)
        more.push_back(data(sn, std::to_string(sn)));
    FailingHeap::countdown = 8;  // eight copies succeed, the list growth fails
    EXPECT_EQ(e.input(more), 0);
    EXPECT_EQ(e.kcp->ack_count, 8u);
    EXPECT_EQ(e.kcp->recv_next, 9u);
    FailingHeap::countdown = -1;
    EXPECT_EQ(e.input({data(8, "8")}), 0);  // the resend is acknowledged
    EXPECT_EQ(e.kcp->ack_count, 9u);
    EXPECT_EQ(e.recv(), "lost for now");
    for (int sn = 1; sn <= 8; ++sn)
        EXPECT_EQ(e.recv(), std::to_string(sn));
    kcp_update(e.kcp, 0);
    std::vector<Seg> acks = e.segments(KCP_CMD_ACK);
    ASSERT_EQ(acks.size(), 9u);
    EXPECT_EQ(acks.back().sn, 8u);
}

TEST(KcpDiagnostics, OnlyEnabledKindsReachTheWriter) {
    Engine e;
    e.kcp->log_writer = [](const char* line, KcpControl* kcp, void* user) {
        EXPECT_EQ(static_cast<Engine*>(user)->kcp, kcp);
        static_cast<Engine*>(user)->sent.push_back(std::string("log:") + line);
    };
    e.input({data(0, "a", 0, 5)});  // mask 0: nothing
    e.kcp->log_mask = KCP_LOG_OUTPUT | KCP_LOG_IN_DATA | KCP_LOG_RECV | KCP_LOG_IN_ACK;
    e.input({data(1, "b", 0, 6), control(KCP_CMD_WINDOW_ASK)});
    e.recv();
    kcp_update(e.kcp, 20);
    std::vector<std::string> logs;
    for (const std::string& s : e.sent)
        if (s.rfind("log:", 0) == 0)
            logs.push_back(s.substr(4));
    std::vector<std::string> expected = {"input psh: sn=1 ts=6", "recv sn=0", "[RO] 72 bytes"};
    EXPECT_EQ(logs, expected);
}

}  // namespace

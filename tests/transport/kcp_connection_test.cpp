// The KCP connection beyond the shared stream battery: our server and our
// client against one hand-made peer (loopback sockets and an engine, so a test
// sends what our objects never send and reads what they put on the wire), and
// the control-frame reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "kcp.h"
#include "kcp_frame.h"
#include "kcp_session.h"
#include "support/Net.h"
#include "transport.h"

using namespace testnet;

namespace {

std::string Le(uint32_t v, int bytes) { return std::string((const char*)&v, (size_t)bytes); }  // the host is little-endian
uint32_t U(const std::string& s, size_t at, int bytes) {
    uint32_t v = 0;
    memcpy(&v, s.data() + at, (size_t)bytes);
    return v;
}
// A control frame as the wire carries it: u32 length of type and payload, u16 type, payload.
std::string Frame(unsigned type, const std::string& payload) { return Le((uint32_t)payload.size() + 2, 4) + Le(type, 2) + payload; }

struct Item {
    unsigned type;
    std::string bytes;
};
size_t Count(const std::vector<Item>& items, unsigned type) {
    return (size_t)std::count_if(items.begin(), items.end(), [&](const Item& i) { return i.type == type; });
}

struct HandPeer {
    int tcp = -1, listener = -1;
    UdpPeer udp;
    uint16_t to = 0;  // the other side's UDP port: announced to us, or its first datagram's
    bool closed = false, talks = true;  // closed: the other side ended TCP; talks false: KCP falls silent
    std::vector<Item> frames, messages;
    std::vector<std::string> raw;
    std::string stream;
    KcpControl* kcp = kcp_create(KCP_CONVERSATION, this);

    HandPeer() {
        kcp_set_output(kcp, [](const char* d, int n, KcpControl*, void* u) { return ((HandPeer*)u)->Datagram(std::string(d, (size_t)n)); });
        kcp_set_nodelay(kcp, 1, KCP_INTERVAL_MS, 2, 1);
    }
    ~HandPeer() {
        kcp_release(kcp);
        close(tcp);
        close(listener);
    }
    void Send(const std::string& bytes) { SendAll(tcp, bytes); }
    int Datagram(const std::string& d) { return udp.SendTo(d, "127.0.0.1", to); }
    void Bare(const std::string& m) { kcp_send(kcp, m.data(), (int)m.size()); }
    void Message(unsigned type, const std::string& payload) { Bare(Le(type, 2) + payload); }
    void Pump() {
        if (tcp < 0 && listener >= 0)
            tcp = Accept(listener);
        if (tcp >= 0 && !closed)
            stream += ReadSome(tcp, &closed);
        for (size_t n; stream.size() >= 6 && stream.size() >= 4 + (n = U(stream, 0, 4)); stream.erase(0, 4 + n)) {
            frames.push_back({U(stream, 4, 2), stream.substr(6, n - 2)});
            to = frames.back().type == FRAME_UDP_PORT ? (uint16_t)U(stream, 6, 4) : to;
        }
        char buf[2048];
        sockaddr_in from;
        socklen_t length = sizeof(from);
        for (ssize_t n; talks && (n = recvfrom(udp.Fd(), buf, sizeof buf, 0, (sockaddr*)&from, &length)) > 0;) {
            if (kcp_input(kcp, buf, n) < 0)
                raw.emplace_back(buf, (size_t)n);
            else if (to == 0)
                to = ntohs(from.sin_port);
        }
        kcp_update(kcp, (uint32_t)net_poll());
        std::string m(KCP_RECV_BUFFER_SIZE + 8, '\0');
        for (int n; talks && (n = kcp_recv(kcp, &m[0], (int)m.size())) >= 2;)
            messages.push_back({U(m, 0, 2), m.substr(2, (size_t)n - 2)});
    }
};

// What one owner saw: 'c'onnect results, 'r'eceived data, 'd'isconnects.
struct Ev {
    char kind;
    void* who;
    int code;  // connect code or channel
    std::string data;
};
struct Log {
    std::vector<Ev> ev;
    KCPServer* server = nullptr;
    KCPCLIENT client = nullptr;
    char react = 0;  // on data: 'p' stop that peer, 's' stop the server, 'x' destroy it, 'q' stop our client
    size_t Count(char kind) const {
        return (size_t)std::count_if(ev.begin(), ev.end(), [&](const Ev& e) { return e.kind == kind; });
    }
    std::string Seen() const {  // "kind code data," per event
        std::string all;
        for (const Ev& e : ev)
            all += std::string(1, e.kind) + std::to_string(e.code) + e.data + ",";
        return all;
    }
};
void Got(void* user, void* who, const char* d, int n, int channel) {
    Log* log = (Log*)user;
    log->ev.push_back({'r', who, channel, std::string(d, (size_t)n)});
    if (log->react == 'p' || log->react == 'q')
        kcp_client_stop(log->react == 'p' ? (KCPCLIENT)who : log->client);
    if (log->react == 's')
        kcp_server_stop(log->server);
    if (log->react == 'x') {
        kcp_server_destroy(log->server);
        log->server = nullptr;
    }
}

class Kcp : public ::testing::Test {
protected:
    Watchdog watchdog{60};
    sockaddr_in at = Ipv4("127.0.0.1", FreePort());
    Log log;  // our server's owner
    std::deque<HandPeer> peers;
    std::deque<Log> owners;  // our clients' owners

    Kcp() { Serve(); }
    ~Kcp() {
        kcp_server_destroy(log.server);
        for (Log& o : owners)
            kcp_client_destroy(o.client);
    }
    void Serve() {  // a new server of ours at at
        kcp_server_destroy(log.server);
        log = Log();
        log.server = kcp_server_create(1);
        kcp_server_set_user_data(log.server, &log);
        kcp_server_set_connect_cb(log.server, [](KCPCLIENT p, void* u) { ((Log*)u)->ev.push_back({'c', p, 0, ""}); });
        kcp_server_set_disconnect_cb(log.server, [](KCPCLIENT p, void* u) { ((Log*)u)->ev.push_back({'d', p, 0, ""}); });
        kcp_server_set_recv_cb(log.server, [](KCPCLIENT p, const char* d, int n, int ch, void* u) { Got(u, p, d, n, ch); });
        EXPECT_EQ(kcp_server_start(log.server, Sa(at)), 0);
    }
    Log& Client(uint16_t port, Log* again = nullptr) {  // one of our clients towards port (or one started again)
        if (again == nullptr) {
            owners.emplace_back();
            again = &owners.back();
            again->client = kcp_client_create(1);
        }
        Log& o = *again;
        kcp_client_set_user_data(o.client, &o);
        kcp_client_set_connect_cb(o.client, [](int code, const char* t, void* u) { ((Log*)u)->ev.push_back({'c', nullptr, code, t}); });
        kcp_client_set_disconnect_cb(o.client, [](void* u) { ((Log*)u)->ev.push_back({'d', nullptr, 0, ""}); });
        kcp_client_set_recv_cb(o.client, [](const char* d, int n, int ch, void* u) { Got(u, nullptr, d, n, ch); });
        sockaddr_in to = Ipv4("127.0.0.1", port);
        kcp_client_start(o.client, Sa(to), 5000);
        return o;
    }
    bool Until(const std::function<bool()>& done, int ms = 5000) {
        return WaitUntil([this] {
            kcp_server_run(log.server, NET_RUN_NOWAIT);
            for (Log& o : owners)
                kcp_client_run(o.client, NET_RUN_NOWAIT);
            for (HandPeer& p : peers)
                p.Pump();
        }, done, ms);
    }
    void For(int ms) { Until([] { return false; }, ms); }
    HandPeer& Joined(bool hello) {  // a hand-made client of our server, through the port frame (and hello)
        peers.emplace_back();
        HandPeer& p = peers.back();
        p.tcp = Connect(ntohs(at.sin_port));
        EXPECT_TRUE(Until([&] { return p.to != 0; }));
        size_t before = log.Count('c');
        if (hello)
            p.Message(MSG_HELLO, "");
        EXPECT_TRUE(!hello || Until([&] { return log.Count('c') > before; }));
        return p;
    }
    HandPeer& Announced(Log* again = nullptr) {  // a hand-made server that heard our client's hello
        peers.emplace_back();
        HandPeer& s = peers.back();
        uint16_t port = 0;
        s.listener = Listen(&port);
        Client(port, again);
        EXPECT_TRUE(Until([&] { return s.tcp >= 0; }));
        s.Send(Frame(FRAME_UDP_PORT, Le(s.udp.Port(), 4)));
        EXPECT_TRUE(Until([&] { return Count(s.messages, MSG_HELLO) > 0; }));
        return s;
    }
};

}  // namespace

TEST_F(Kcp, ServerHandshakeByHand) {
    HandPeer& p = Joined(false);
    EXPECT_NE(p.to, Joined(false).to);  // a UDP port per peer
    // Channel 0 and raw datagrams reach the owner before the handshake; keepalives and unknown types do not.
    p.Send(Frame(FRAME_DATA, "early frame") + Frame(FRAME_KEEPALIVE, "") + Frame(77, "unknown"));
    ASSERT_TRUE(Until([&] { return log.Count('r') == 1; }));
    p.Datagram("early raw");
    ASSERT_TRUE(Until([&] { return log.Count('r') == 2; }));
    // The first message is the handshake whatever it says; the rest is channel 1.
    p.Message(MSG_DATA, "taken as hello");
    p.Message(MSG_KEEPALIVE, "");
    p.Message(MSG_DATA, "real data");
    ASSERT_TRUE(Until([&] { return log.Count('r') == 3 && Count(p.messages, MSG_WELCOME) > 0; }));
    close(p.tcp);
    ASSERT_TRUE(Until([&] { return log.Count('d') > 0; }));
    For(50);
    EXPECT_EQ(log.Seen(), "r0early frame,r2early raw,c0,r1real data,d0,");
    EXPECT_EQ(log.ev[2].who, log.ev[4].who);
    EXPECT_EQ(Count(p.messages, MSG_WELCOME), 1u);
}

TEST_F(Kcp, ServerIgnoresAUdpPortFrameFromItsClient) {
    HandPeer& p = Joined(true);
    KCPCLIENT handle = (KCPCLIENT)log.ev.back().who;
    UdpPeer decoy;
    p.Send(Frame(FRAME_UDP_PORT, Le(decoy.Port(), 4)));
    For(50);
    std::string largest(65536, 'm');
    EXPECT_EQ(kcp_client_send(handle, largest.data(), 65536, 1), -1);
    EXPECT_EQ(kcp_client_send(handle, largest.data(), 65535, 1), 65537);
    EXPECT_EQ(kcp_client_send(handle, largest.data(), 1401, 2), -1);
    EXPECT_EQ(kcp_client_send(handle, "raw", 3, 2), 3);
    ASSERT_TRUE(Until([&] { return Count(p.messages, MSG_DATA) == 1 && p.raw.size() == 1; }));
    bool got = true;
    decoy.Receive(&got, 50);
    EXPECT_FALSE(got);
    EXPECT_EQ(log.Seen(), "c0,");  // no data for the owner, and no fault
    EXPECT_FALSE(p.closed);
}

TEST_F(Kcp, ServerDropsBrokenPeersAndReportsThemOnlyOnceConnected) {
    HandPeer& early = Joined(false);
    early.Send(Le(1, 4) + Le(FRAME_DATA, 2));  // length 1: hostile
    for (int variant = 0; variant < 3; ++variant) {
        HandPeer& p = Joined(true);
        if (variant == 0)
            p.Send(Le(0xffffffffu, 4) + Le(FRAME_DATA, 2) + std::string(100, 'x'));
        if (variant == 1)
            p.Bare("");  // a message without its type
        if (variant == 2)
            p.Message(MSG_DATA, std::string(KCP_RECV_BUFFER_SIZE, 'x'));  // 2 bytes too many
        ASSERT_TRUE(Until([&] { return p.closed && early.closed; })) << variant;
        For(30);
        EXPECT_EQ(log.ev.back().who, log.ev[log.ev.size() - 2].who);
    }
    EXPECT_EQ(log.Seen(), "c0,d0,c0,d0,c0,d0,");
}

TEST_F(Kcp, ServerDropsSilentPeersAndKeepsLiveOnes) {
    HandPeer& mute = Joined(false);  // never handshakes: closed unreported
    HandPeer& silent = Joined(true);  // falls silent after the handshake: reported
    silent.talks = false;
    Log& alive = Client(ntohs(at.sin_port));  // its keepalives keep it in
    ASSERT_TRUE(Until([&] { return mute.closed; }, KCP_HANDSHAKE_TIMEOUT_MS + 2000));
    EXPECT_EQ(log.Count('d'), 0u);
    ASSERT_TRUE(Until([&] { return silent.closed; }, 4 * KCP_KEEPALIVE_MS + 2000));
    For(100);
    EXPECT_EQ(log.Seen(), "c0,c0,d0,");
    EXPECT_EQ(log.ev.back().who, log.ev[0].who);
    EXPECT_EQ(alive.Seen(), "c0no error,");
}

TEST_F(Kcp, ServerOwnerMayStopAPeerOrTheServerInsideACallback) {
    HandPeer& p = Joined(false);
    log.react = 'p';  // the rest of the read goes with the peer
    p.Send(Frame(FRAME_DATA, "a") + Frame(FRAME_DATA, "b") + Frame(FRAME_DATA, "c"));
    ASSERT_TRUE(Until([&] { return p.closed; }));
    EXPECT_EQ(log.Seen(), "r0a,");
    for (char react : {'s', 'x'})
        for (int channel : {0, 1}) {
            Serve();
            Log& a = Client(ntohs(at.sin_port));
            Log& b = Client(ntohs(at.sin_port));
            ASSERT_TRUE(Until([&] { return log.Count('c') == 2 && a.Count('c') == 1 && b.Count('c') == 1; }));
            log.react = react;
            kcp_client_send(a.client, "bye", 3, channel);
            kcp_client_send(b.client, "bye", 3, channel);
            ASSERT_TRUE(Until([&] { return a.Count('d') == 1 && b.Count('d') == 1; })) << react << channel;
            EXPECT_EQ(log.Seen(), "c0,c0,r" + std::to_string(channel) + "bye,");
        }
}

TEST_F(Kcp, ClientHoldsEarlyDataUntilTheConnectResultInArrivalOrder) {
    HandPeer& server = Announced();
    Log& o = owners.back();
    const std::string first = Frame(FRAME_DATA, "frame-1");
    for (const std::string& item : {first.substr(0, 8), first.substr(8), std::string("raw-1"), Frame(FRAME_DATA, "frame-2")}) {
        if (item[0] == 'r')
            server.Datagram(item);
        else
            server.Send(item);  // the first frame is completed by the next read
        For(20);
    }
    for (int channel = 0; channel < 3; ++channel)
        EXPECT_EQ(kcp_client_send(o.client, "x", 1, channel), -1);
    EXPECT_TRUE(o.ev.empty());
    server.Message(MSG_WELCOME, "");
    server.Message(MSG_DATA, "after");
    ASSERT_TRUE(Until([&] { return o.ev.size() >= 5; }));
    For(30);
    EXPECT_EQ(o.Seen(), "c0no error,r0frame-1,r2raw-1,r0frame-2,r1after,");
}

// Empty frames are nothing to hold or show; a held entry counts what it costs,
// so a flood of tiny frames meets the bound as surely as big ones.
TEST_F(Kcp, ClientHoldsNoEmptyFrameAndCountsEachHeldEntry) {
    HandPeer& server = Announced();
    Log& o = owners.back();
    For(30);
    const int64_t before = kcp_client_held_bytes(o.client);
    std::string empty, tiny;
    for (int i = 0; i < 2000; ++i)
        empty += Frame(FRAME_DATA, "");
    for (int i = 0; i < 100; ++i)
        tiny += Frame(FRAME_DATA, "t");
    server.Send(empty);
    For(50);
    EXPECT_EQ(kcp_client_held_bytes(o.client), before);
    server.Send(tiny);
    For(50);
    EXPECT_EQ(kcp_client_held_bytes(o.client), before + 100 * (1 + KCP_PENDING_ENTRY_COST));
    server.Message(MSG_WELCOME, "");
    ASSERT_TRUE(Until([&] { return o.ev.size() == 101; }));
    For(30);
    EXPECT_EQ(o.ev.size(), 101u);
}

TEST_F(Kcp, ClientDropsAServerThatBreaksTheProtocol) {
    for (bool welcomed : {false, true}) {
        HandPeer& server = Announced();
        Log& o = owners.back();
        if (welcomed)
            server.Message(MSG_WELCOME, "");
        ASSERT_TRUE(!welcomed || Until([&] { return o.Count('c') == 1; }));
        server.Send(Frame(FRAME_DATA, "before") + Le(0x7fffffffu, 4) + Le(FRAME_DATA, 2) + std::string(4096, 'h'));
        ASSERT_TRUE(Until([&] { return server.closed; }));
        For(30);
        // Before the welcome it is a connection that ended early, its early data dropped.
        EXPECT_EQ(o.Seen(), welcomed ? "c0no error,r0before,d0," : "c-3connect exception,");
    }
}

TEST_F(Kcp, ClientOwnerMayStopInsideItsCallbacksAndStartAgain) {
    HandPeer& server = Announced();
    Log& o = owners.back();
    server.Message(MSG_WELCOME, "");
    ASSERT_TRUE(Until([&] { return o.Count('c') == 1; }));
    o.react = 'q';  // stops on the first data, while a read holds more frames behind a partial one
    const std::string frames = Frame(FRAME_DATA, "a") + Frame(FRAME_DATA, "b") + Frame(FRAME_DATA, "c");
    server.Send(frames.substr(0, 3));
    For(30);
    server.Send(frames.substr(3));
    ASSERT_TRUE(Until([&] { return server.closed; }));
    // Started again, while data that beat the welcome waits: the stop ends that handover too.
    HandPeer& again = Announced(&o);
    again.Send(Frame(FRAME_DATA, "one") + Frame(FRAME_DATA, "two"));
    For(30);
    again.Message(MSG_WELCOME, "");
    ASSERT_TRUE(Until([&] { return again.closed; }));
    For(30);
    EXPECT_EQ(o.Seen(), "c0no error,r0a,c0no error,r0one,");
}

// With almost no time to spend, every run hands over a little and leaves the
// rest, in order, to the next: held data, a read full of frames, on both sides.
TEST_F(Kcp, BudgetedRunsCarryTheRestOverInOrder) {
    auto burst = [](char tag) {
        std::string frames;
        for (int i = 0; i < 200; ++i)
            frames += Frame(FRAME_DATA, tag + std::to_string(i));
        return frames;
    };
    auto expected = [](const std::string& tags) {
        std::string all;
        for (char tag : tags)
            for (int i = 0; i < 200; ++i)
                all += std::string("r0") + tag + std::to_string(i) + ",";
        return all;
    };
    size_t most = 0;  // events one run handed over
    auto step = [&](Log& seen, const std::function<void()>& run) {
        const size_t before = seen.ev.size();
        net_run_budget(1);  // a round of one microsecond
        run();
        net_run_budget(0);
        most = std::max(most, seen.ev.size() - before);
    };
    HandPeer& server = Announced();
    Log& o = owners.back();
    server.Send(burst('a'));  // before the welcome: held
    ASSERT_TRUE(Until([&] { return kcp_client_held_bytes(o.client) >= 200 * KCP_PENDING_ENTRY_COST; }));
    server.Message(MSG_WELCOME, "");
    server.Pump();
    server.Send(burst('b'));  // after it: one read of frames
    auto client = [&](size_t events) {
        return WaitUntil([&] { step(o, [&] { kcp_client_run(o.client, NET_RUN_NOWAIT); }); server.Pump(); },
                         [&] { return o.ev.size() == events; });
    };
    ASSERT_TRUE(client(401));
    server.Send(Frame(FRAME_DATA, "later"));  // reading resumed after the paused read
    ASSERT_TRUE(client(402));
    EXPECT_EQ(o.Seen(), "c0no error," + expected("ab") + "r0later,");
    HandPeer& peer = Joined(true);
    peer.Send(burst('c'));
    ASSERT_TRUE(WaitUntil([&] { step(log, [&] { kcp_server_run(log.server, NET_RUN_NOWAIT); }); peer.Pump(); },
                          [&] { return log.ev.size() == 201; }));
    EXPECT_EQ(log.Seen(), "c0," + expected("c"));
    EXPECT_LT(most, 100u);  // of 200 in one read, or held
}

// The control-frame reader alone: any split, hostile lengths refused before anything is kept.
TEST(KcpFrames, SplitAnywhereEachFrameOnceAndHostileLengthsRefused) {
    std::vector<Item> got;
    auto feed = [&](StreamBuffer* buffer, const std::string& bytes) {
        return net__kcp_frames_feed(buffer, bytes.data(), bytes.size(), [](void* c, unsigned type, const char* d, uint32_t n) {
            ((std::vector<Item>*)c)->push_back({type, std::string(d, n)});
            return true;
        }, &got);
    };
    const std::string big(70000, 'b'), stream = Frame(FRAME_DATA, "first") + Frame(FRAME_KEEPALIVE, "") + Frame(FRAME_DATA, big);
    for (size_t chunk : {(size_t)1, (size_t)5, (size_t)7, (size_t)4096, stream.size()}) {
        StreamBuffer buffer;
        net__stream_buffer_init(&buffer);
        got.clear();
        for (size_t at = 0; at < stream.size(); at += chunk)
            ASSERT_EQ(feed(&buffer, stream.substr(at, chunk)), KCP_FEED_OK);
        ASSERT_EQ(got.size(), 3u) << chunk;
        EXPECT_EQ(got[0].bytes + std::to_string(got[1].type) + got[1].bytes, "first" + std::to_string(FRAME_KEEPALIVE));
        EXPECT_EQ(got[2].bytes, big);
        EXPECT_EQ(buffer.size, 0u);
        net__stream_buffer_release(&buffer);
    }
    for (uint32_t length : {0u, 1u, 0x80000000u, (uint32_t)KCP_MAX_FRAME_LENGTH + 1}) {
        StreamBuffer buffer;
        net__stream_buffer_init(&buffer);
        const std::string bad = Le(length, 4) + "zz";
        net__kcp_feed_result result = KCP_FEED_OK;
        for (size_t i = 0; i < bad.size() && result == KCP_FEED_OK; ++i)
            result = feed(&buffer, bad.substr(i, 1));
        EXPECT_EQ(result, KCP_FEED_BROKEN) << length;
        EXPECT_LE(buffer.capacity, 8u);
        net__stream_buffer_release(&buffer);
    }
}

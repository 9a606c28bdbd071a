// The KCP connection beyond the shared stream battery: our server and our
// client against one hand-made peer (plain loopback sockets and an engine, so
// a test sends what our objects never send and reads what they put on the
// wire), real clients on all three channels, and the control-frame reader.
#include <uv.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "kcp.h"
#include "kcp_frame.h"
#include "support/Net.h"
#include "transport.h"

using namespace testnet;

namespace {

std::string Le(uint32_t v, int bytes) {
    std::string s;
    for (int i = 0; i < bytes; ++i)
        s.push_back((char)(v >> (8 * i)));
    return s;
}
uint32_t U(const std::string& s, size_t at, int bytes) {
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = v << 8 | (unsigned char)s[at + (size_t)i];
    return v;
}
// A control frame as the wire carries it: u32 length of type and payload, u16 type, payload.
std::string Frame(unsigned type, const std::string& payload) {
    return Le((uint32_t)payload.size() + 2, 4) + Le(type, 2) + payload;
}

struct Item {
    unsigned type;
    std::string bytes;
};

class HandPeer {
public:
    int tcp = -1, listener = -1;
    UdpPeer udp;
    uint16_t to = 0;  // the other side's UDP port: announced to us, or its first datagram's
    bool closed = false, talks = true;  // closed: the other side ended TCP; talks false: KCP falls silent
    std::vector<Item> frames, messages;
    std::vector<std::string> raw;
    KcpControl* kcp = kcp_create(KCP_CONVERSATION, this);

    HandPeer() {
        kcp_set_output(kcp, [](const char* d, int n, KcpControl*, void* u) {
            ((HandPeer*)u)->Datagram(std::string(d, (size_t)n));
            return n;
        });
        kcp_set_nodelay(kcp, 1, KCP_INTERVAL_MS, 2, 1);
    }
    ~HandPeer() {
        kcp_release(kcp);
        Hang();
        close(listener);
    }
    uint16_t Listen() {
        uint16_t port = 0;
        listener = testnet::Listen(&port);
        return port;
    }
    void Hang() {
        close(tcp);
        tcp = -1;
    }
    void Send(const std::string& bytes) { SendAll(tcp, bytes); }
    void Datagram(const std::string& d) { udp.SendTo(d, "127.0.0.1", to); }
    void Bare(const std::string& m) { kcp_send(kcp, m.data(), (int)m.size()); }
    void Message(unsigned type, const std::string& payload) { Bare(Le(type, 2) + payload); }
    static size_t Count(const std::vector<Item>& items, unsigned type) {
        return (size_t)std::count_if(items.begin(), items.end(), [&](const Item& i) { return i.type == type; });
    }
    void Pump() {
        if (tcp < 0 && listener >= 0)
            tcp = Accept(listener);
        if (tcp >= 0 && !closed)
            stream_ += ReadSome(tcp, &closed);
        for (size_t n; stream_.size() >= 6 && stream_.size() >= 4 + (n = U(stream_, 0, 4)); stream_.erase(0, 4 + n)) {
            frames.push_back({U(stream_, 4, 2), stream_.substr(6, n - 2)});
            if (frames.back().type == FRAME_UDP_PORT)
                to = (uint16_t)U(stream_, 6, 4);
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

private:
    std::string stream_;
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
    void Got(void* who, const char* d, int n, int channel) {
        ev.push_back({'r', who, channel, std::string(d, (size_t)n)});
        if (react == 'p')
            kcp_client_stop((KCPCLIENT)who);
        if (react == 's')
            kcp_server_stop(server);
        if (react == 'x') {
            kcp_server_destroy(server);
            server = nullptr;
        }
        if (react == 'q')
            kcp_client_stop(client);
    }
};

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
    // Our server at at, reporting to log (a new one each time).
    void Serve() {
        kcp_server_destroy(log.server);
        log = Log();
        log.server = kcp_server_create(1);
        kcp_server_set_user_data(log.server, &log);
        kcp_server_set_connect_cb(log.server, [](KCPCLIENT p, void* u) { ((Log*)u)->ev.push_back({'c', p, 0, ""}); });
        kcp_server_set_disconnect_cb(log.server, [](KCPCLIENT p, void* u) { ((Log*)u)->ev.push_back({'d', p, 0, ""}); });
        kcp_server_set_recv_cb(log.server, [](KCPCLIENT p, const char* d, int n, int ch, void* u) { ((Log*)u)->Got(p, d, n, ch); });
        EXPECT_EQ(kcp_server_start(log.server, Sa(at)), 0);
    }
    // Our client towards port, with its owner.
    Log& Client(uint16_t port) {
        owners.emplace_back();
        Log& o = owners.back();
        o.client = kcp_client_create(1);
        kcp_client_set_user_data(o.client, &o);
        kcp_client_set_connect_cb(o.client, [](int code, const char* t, void* u) { ((Log*)u)->ev.push_back({'c', nullptr, code, t}); });
        kcp_client_set_disconnect_cb(o.client, [](void* u) { ((Log*)u)->ev.push_back({'d', nullptr, 0, ""}); });
        kcp_client_set_recv_cb(o.client, [](const char* d, int n, int ch, void* u) { ((Log*)u)->Got(nullptr, d, n, ch); });
        sockaddr_in to = Ipv4("127.0.0.1", port);
        kcp_client_start(o.client, Sa(to), 5000);
        return o;
    }
    void Step() {
        kcp_server_run(log.server, NET_RUN_NOWAIT);
        for (Log& o : owners)
            kcp_client_run(o.client, NET_RUN_NOWAIT);
        for (HandPeer& p : peers)
            p.Pump();
    }
    bool Until(const std::function<bool()>& done, int ms = 5000) { return WaitUntil([this] { Step(); }, done, ms); }
    void For(int ms) { RunFor([this] { Step(); }, ms); }
    // A hand-made client of our server, through the port frame and, with hello, the handshake.
    HandPeer& Joined(bool hello) {
        peers.emplace_back();
        HandPeer& p = peers.back();
        p.tcp = Connect(ntohs(at.sin_port));
        EXPECT_TRUE(Until([&] { return p.to != 0; }));
        size_t before = log.Count('c');
        if (hello) {
            p.Message(MSG_HELLO, "");
            EXPECT_TRUE(Until([&] { return log.Count('c') > before; }));
        }
        return p;
    }
    // Our client against a hand-made server that has announced its port and heard the hello.
    Log& Announced(HandPeer** server) {
        peers.emplace_back();
        *server = &peers.back();
        Log& o = Client((*server)->Listen());
        EXPECT_TRUE(Until([&] { return (*server)->tcp >= 0; }));
        (*server)->Send(Frame(FRAME_UDP_PORT, Le((*server)->udp.Port(), 4)));
        EXPECT_TRUE(Until([&] { return HandPeer::Count((*server)->messages, MSG_HELLO) > 0; }));
        return o;
    }
};

}  // namespace

TEST_F(Kcp, ServerHandshakeByHand) {
    HandPeer& p = Joined(false);
    HandPeer& q = Joined(false);
    ASSERT_EQ(p.frames[0].bytes.size(), 4u);
    EXPECT_NE(p.to, q.to);  // a UDP port per peer
    // Channel 0 and raw datagrams reach the owner before the handshake; keepalives and unknown types do not.
    p.Send(Frame(FRAME_DATA, "early frame") + Frame(FRAME_KEEPALIVE, "") + Frame(77, "unknown"));
    ASSERT_TRUE(Until([&] { return log.Count('r') == 1; }));
    p.Datagram("early raw");
    ASSERT_TRUE(Until([&] { return log.Count('r') == 2; }));
    // The first message is the handshake whatever it says; the rest is channel 1.
    p.Message(MSG_DATA, "taken as hello");
    p.Message(MSG_KEEPALIVE, "");
    p.Message(MSG_DATA, "real data");
    ASSERT_TRUE(Until([&] { return log.Count('r') == 3; }));
    For(50);
    EXPECT_EQ(HandPeer::Count(p.messages, MSG_WELCOME), 1u);
    ASSERT_EQ(log.ev.size(), 4u);
    const Ev expected[] = {{'r', nullptr, 0, "early frame"}, {'r', nullptr, 2, "early raw"}, {'c', nullptr, 0, ""},
                           {'r', nullptr, 1, "real data"}};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(log.ev[i].kind, expected[i].kind) << i;
        EXPECT_EQ(log.ev[i].code, expected[i].code) << i;
        EXPECT_EQ(log.ev[i].data, expected[i].data) << i;
    }
    p.Hang();
    ASSERT_TRUE(Until([&] { return log.Count('d') > 0; }));
    For(50);
    EXPECT_EQ(log.Count('d'), 1u);
    EXPECT_EQ(log.ev.back().who, log.ev[2].who);
}

TEST_F(Kcp, ServerIgnoresAUdpPortFrameFromItsClient) {
    HandPeer& p = Joined(true);
    KCPCLIENT handle = (KCPCLIENT)log.ev.back().who;
    UdpPeer decoy;
    p.Send(Frame(FRAME_UDP_PORT, Le(decoy.Port(), 4)));
    For(50);
    EXPECT_EQ(kcp_client_send(handle, "after", 5, 1), 7);
    EXPECT_EQ(kcp_client_send(handle, "raw", 3, 2), 3);
    ASSERT_TRUE(Until([&] { return HandPeer::Count(p.messages, MSG_DATA) == 1 && p.raw.size() == 1; }));
    EXPECT_EQ(p.messages.back().bytes, "after");
    EXPECT_EQ(p.raw[0], "raw");
    bool ok = true;
    decoy.Receive(&ok, 50);
    EXPECT_FALSE(ok);
    EXPECT_EQ(log.ev.size(), 1u);  // the frame is no data for the owner, and no fault
    EXPECT_FALSE(p.closed);
}

TEST_F(Kcp, ServerDropsBrokenPeersAndReportsThemOnlyOnceConnected) {
    HandPeer& early = Joined(false);
    early.Send(Le(1, 4) + Le(FRAME_DATA, 2));  // length 1: hostile
    ASSERT_TRUE(Until([&] { return early.closed; }));
    EXPECT_TRUE(log.ev.empty());
    for (int variant = 0; variant < 3; ++variant) {
        HandPeer& p = Joined(true);
        size_t seen = log.ev.size();
        if (variant == 0)
            p.Send(Le(0xffffffffu, 4) + Le(FRAME_DATA, 2) + std::string(100, 'x'));
        if (variant == 1)
            p.Bare("");  // a message without its type
        if (variant == 2)
            p.Message(MSG_DATA, std::string(KCP_RECV_BUFFER_SIZE, 'x'));  // 2 bytes too many
        ASSERT_TRUE(Until([&] { return p.closed; })) << variant;
        For(30);
        ASSERT_EQ(log.ev.size(), seen + 1) << variant;
        EXPECT_EQ(log.ev.back().kind, 'd');
        EXPECT_EQ(log.ev.back().who, log.ev[seen - 1].who);
    }
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
    ASSERT_EQ(log.Count('d'), 1u);
    EXPECT_EQ(log.ev.back().who, log.ev[0].who);
    EXPECT_EQ(alive.Count('d'), 0u);
}

TEST_F(Kcp, RealPeersUseAllThreeChannelsWithTheirOwnHandles) {
    Log& one = Client(ntohs(at.sin_port));
    Log& two = Client(ntohs(at.sin_port));
    ASSERT_TRUE(Until([&] { return log.Count('c') == 2 && one.Count('c') == 1 && two.Count('c') == 1; }));
    std::string largest(65535, 'm');
    EXPECT_EQ(kcp_client_send(one.client, "frame", 5, 0), 5 + 6);
    EXPECT_EQ(kcp_client_send(one.client, largest.data(), 65535, 1), 65537);
    EXPECT_EQ(kcp_client_send(two.client, largest.data(), 1400, 2), 1400);
    EXPECT_EQ(kcp_client_send(one.client, largest.data(), 65536, 1), -1);
    EXPECT_EQ(kcp_client_send(one.client, largest.data(), 1401, 2), -1);
    EXPECT_EQ(kcp_client_send(one.client, "x", 1, 3), NET_ERR_ALLOC_CONTEXT);
    ASSERT_TRUE(Until([&] { return log.Count('r') == 3; }));
    void* of[3] = {};
    for (const Ev& e : log.ev)
        if (e.kind == 'r')
            of[e.code] = e.who;
    EXPECT_EQ(of[0], of[1]);
    EXPECT_NE(of[1], of[2]);
    EXPECT_EQ(kcp_client_send((KCPCLIENT)of[2], "hello", 5, 1), 7);  // reaches that client only
    ASSERT_TRUE(Until([&] { return two.Count('r') == 1; }));
    For(50);
    EXPECT_EQ(one.Count('r'), 0u);
    // The owner stopping one peer, or restarting the server, ends peers unreported.
    kcp_client_stop((KCPCLIENT)of[2]);
    ASSERT_TRUE(Until([&] { return two.Count('d') == 1; }));
    ASSERT_EQ(kcp_server_start(log.server, Sa(at)), 0);
    ASSERT_TRUE(Until([&] { return one.Count('d') == 1; }));
    EXPECT_EQ(log.Count('d'), 0u);
}

TEST_F(Kcp, ServerOwnerMayStopAPeerOrTheServerInsideACallback) {
    HandPeer& p = Joined(false);
    log.react = 'p';  // the rest of the read is dropped with the peer
    p.Send(Frame(FRAME_DATA, "a") + Frame(FRAME_DATA, "b") + Frame(FRAME_DATA, "c"));
    ASSERT_TRUE(Until([&] { return p.closed; }));
    EXPECT_EQ(log.ev.size(), 1u);
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
            EXPECT_EQ(log.Count('r'), 1u);
            EXPECT_EQ(log.Count('d'), 0u);
        }
}

TEST_F(Kcp, ClientHoldsEarlyDataUntilTheConnectResultInArrivalOrder) {
    HandPeer* server = nullptr;
    Log& o = Announced(&server);
    const char* order[] = {"frame-1", "raw-1", "frame-2", "raw-2"};
    for (const char* item : order) {
        if (item[0] == 'f')
            server->Send(Frame(FRAME_DATA, item));
        else
            server->Datagram(item);
        For(30);
    }
    EXPECT_TRUE(o.ev.empty());
    for (int channel = 0; channel < 3; ++channel)
        EXPECT_EQ(kcp_client_send(o.client, "x", 1, channel), -1);
    server->Message(MSG_WELCOME, "");
    server->Message(MSG_DATA, "after");
    ASSERT_TRUE(Until([&] { return o.ev.size() >= 6; }));
    For(30);
    ASSERT_EQ(o.ev.size(), 6u);
    EXPECT_EQ(o.ev[0].kind, 'c');
    EXPECT_EQ(o.ev[0].code, 0);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(o.ev[i + 1].data, order[i]);
        EXPECT_EQ(o.ev[i + 1].code, order[i][0] == 'f' ? 0 : 2);
    }
    EXPECT_EQ(o.ev[5].data, "after");
    EXPECT_EQ(o.ev[5].code, 1);
}

TEST_F(Kcp, ClientDropsAServerThatBreaksTheProtocol) {
    for (int variant = 0; variant < 4; ++variant) {
        HandPeer* server = nullptr;
        Log& o = Announced(&server);
        if (variant > 0) {
            server->Message(MSG_WELCOME, "");
            ASSERT_TRUE(Until([&] { return o.Count('c') == 1; }));
        }
        server->Send(Frame(FRAME_DATA, "before"));
        if (variant < 2)
            server->Send(Le(0x7fffffffu, 4) + Le(FRAME_DATA, 2) + std::string(4096, 'h'));
        if (variant == 2)
            server->Bare("");
        if (variant == 3)
            server->Message(MSG_DATA, std::string(KCP_RECV_BUFFER_SIZE, 'w'));
        ASSERT_TRUE(Until([&] { return server->closed; })) << variant;
        For(30);
        if (variant == 0) {  // like a connection that closed before the handshake; its early data is dropped
            ASSERT_EQ(o.ev.size(), 1u);
            EXPECT_EQ(o.ev[0].code, -3);
            EXPECT_EQ(o.ev[0].data, "connect exception");
        } else {
            // An oversized message stays in the engine and is refused again at every later run,
            // each time as one more "connect exception": left as it is, so only the first three here.
            ASSERT_TRUE(variant == 3 ? o.ev.size() >= 3 : o.ev.size() == 3) << variant << " " << o.ev.size();
            EXPECT_EQ(o.ev[1].data, "before");
            EXPECT_EQ(o.ev[2].kind, 'd');
        }
    }
}

TEST_F(Kcp, ClientOwnerMayStopInsideItsCallbacksAndStartAgain) {
    HandPeer* server = nullptr;
    Log& o = Announced(&server);
    server->Message(MSG_WELCOME, "");
    ASSERT_TRUE(Until([&] { return o.Count('c') == 1; }));
    o.react = 'q';  // stops on the first data, while a read holds more frames behind a partial one
    std::string frames = Frame(FRAME_DATA, "a") + Frame(FRAME_DATA, "b") + Frame(FRAME_DATA, "c");
    server->Send(frames.substr(0, 3));
    For(30);
    server->Send(frames.substr(3));
    ASSERT_TRUE(Until([&] { return server->closed; }));
    EXPECT_EQ(o.Count('r'), 1u);
    EXPECT_EQ(o.Count('d'), 0u);
    // Started again, while data that beat the welcome waits: the stop ends the handover too.
    peers.emplace_back();
    HandPeer& again = peers.back();
    sockaddr_in to = Ipv4("127.0.0.1", again.Listen());
    kcp_client_start(o.client, Sa(to), 5000);
    ASSERT_TRUE(Until([&] { return again.tcp >= 0; }));
    again.Send(Frame(FRAME_UDP_PORT, Le(again.udp.Port(), 4)) + Frame(FRAME_DATA, "one") + Frame(FRAME_DATA, "two"));
    ASSERT_TRUE(Until([&] { return HandPeer::Count(again.messages, MSG_HELLO) > 0; }));
    again.Message(MSG_WELCOME, "");
    ASSERT_TRUE(Until([&] { return again.closed; }));
    For(30);
    EXPECT_EQ(o.Count('c'), 2u);
    EXPECT_EQ(o.Count('r'), 2u);
}

/* ---- The control-frame reader ------------------------------------------- */

struct Frames {
    std::vector<Item> got;
    size_t stop_after = 0;
    net__kcp_feed_result Feed(StreamBuffer* buffer, const std::string& bytes) {
        return net__kcp_frames_feed(buffer, bytes.data(), bytes.size(), [](void* c, unsigned type, const char* d, uint32_t n) {
            Frames* f = (Frames*)c;
            f->got.push_back({type, std::string(d, n)});
            return f->got.size() != f->stop_after;
        }, this);
    }
};

TEST(KcpFrames, SplitAnywhereEachFrameIsHandledOnceInOrder) {
    std::string big(70000, 'x');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = (char)(i * 7);
    const std::string stream = Frame(FRAME_DATA, "first") + Frame(FRAME_KEEPALIVE, "") + Frame(FRAME_DATA, big) + Frame(99, "?");
    for (size_t chunk : {(size_t)1, (size_t)5, (size_t)7, (size_t)4096, stream.size()}) {
        StreamBuffer buffer;
        net__stream_buffer_init(&buffer);
        Frames f;
        for (size_t at = 0; at < stream.size(); at += chunk)
            ASSERT_EQ(f.Feed(&buffer, stream.substr(at, chunk)), KCP_FEED_OK);
        ASSERT_EQ(f.got.size(), 4u) << chunk;
        EXPECT_EQ(f.got[0].bytes, "first");
        EXPECT_EQ(f.got[1].type, (unsigned)FRAME_KEEPALIVE);
        EXPECT_EQ(f.got[2].bytes, big);
        EXPECT_EQ(f.got[3].type, 99u);
        EXPECT_EQ(buffer.size, 0u);
        net__stream_buffer_release(&buffer);
    }
}

TEST(KcpFrames, HostileLengthsAndStopsEndTheWalk) {
    for (uint32_t length : {0u, 1u, 0x80000000u, (uint32_t)KCP_MAX_FRAME_LENGTH + 1}) {
        StreamBuffer buffer;
        net__stream_buffer_init(&buffer);
        Frames f;
        // Behind a good frame, which is still handled; refused before anything more is kept.
        EXPECT_EQ(f.Feed(&buffer, Frame(FRAME_DATA, "ok") + Le(length, 4) + "zz"), KCP_FEED_BROKEN) << length;
        EXPECT_EQ(f.got.size(), 1u);
        net__stream_buffer_reset(&buffer);
        std::string bad = Le(length, 4);
        for (char c : bad)
            f.Feed(&buffer, std::string(1, c));
        EXPECT_EQ(f.Feed(&buffer, "z"), KCP_FEED_BROKEN);
        EXPECT_LE(buffer.capacity, 8u);
        net__stream_buffer_release(&buffer);
    }
    // A handler that says stop ends the walk, from fresh bytes and from held ones.
    const std::string stream = Frame(FRAME_DATA, "a") + Frame(FRAME_DATA, "b");
    for (size_t held : {0, 3}) {
        StreamBuffer buffer;
        net__stream_buffer_init(&buffer);
        Frames f;
        f.stop_after = 1;
        f.Feed(&buffer, stream.substr(0, held));
        EXPECT_EQ(f.Feed(&buffer, stream.substr(held)), KCP_FEED_STOPPED);
        EXPECT_EQ(f.got.size(), 1u);
        net__stream_buffer_release(&buffer);
    }
}

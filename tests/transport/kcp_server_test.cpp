// The KCP server: per-peer UDP sockets, the handshake as hand-made and real
// clients drive it, the handshake and liveness time-outs, and removal.
#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "transport/kcp_peer.h"

using namespace kcptest;

namespace {

struct Event {
    std::string kind;  // "connect", "recv", "disconnect"
    KCPCLIENT peer;
    int channel;
    std::string data;
    uint64_t at = net_poll();
};

struct Owner {
    KCPServer* server = nullptr;
    std::vector<Event> events;
    bool stop_peer_on_recv = false;
    bool stop_server_on_recv = false;
    bool destroy_server_on_recv = false;

    size_t count(const std::string& kind) const {
        size_t n = 0;
        for (const Event& e : events)
            n += e.kind == kind;
        return n;
    }
    KCPCLIENT last_connected() const {
        for (auto it = events.rbegin(); it != events.rend(); ++it)
            if (it->kind == "connect")
                return it->peer;
        return nullptr;
    }
};

void on_connect(KCPCLIENT peer, void* user) {
    ((Owner*)user)->events.push_back({"connect", peer, -1, ""});
}

void on_disconnect(KCPCLIENT peer, void* user) {
    ((Owner*)user)->events.push_back({"disconnect", peer, -1, ""});
}

void on_recv(KCPCLIENT peer, const char* data, int length, int channel, void* user) {
    Owner* o = (Owner*)user;
    o->events.push_back({"recv", peer, channel, std::string(data, (size_t)length)});
    if (o->stop_peer_on_recv)
        kcp_client_stop(peer);
    if (o->stop_server_on_recv)
        kcp_server_stop(o->server);
    if (o->destroy_server_on_recv) {
        kcp_server_destroy(o->server);
        o->server = nullptr;
    }
}

struct Server {
    Owner owner;
    uint16_t port = free_port();
    KCPServer* server = kcp_server_create(1);

    Server() {
        owner.server = server;
        kcp_server_set_user_data(server, &owner);
        kcp_server_set_connect_cb(server, on_connect);
        kcp_server_set_disconnect_cb(server, on_disconnect);
        kcp_server_set_recv_cb(server, on_recv);
        sockaddr_in addr = loopback(port);
        EXPECT_EQ(0, kcp_server_start(server, (const sockaddr*)&addr));
    }
    ~Server() { kcp_server_destroy(owner.server); }
    void run() {
        if (owner.server != nullptr)
            kcp_server_run(owner.server, 0);
    }
};

// A real client with the callbacks it needs to be watched.
struct Client {
    KCPCLIENT handle = kcp_client_create(1);
    int connects = 0;
    int disconnects = 0;
    std::vector<std::pair<int, std::string>> received;

    explicit Client(uint16_t port) {
        kcp_client_set_user_data(handle, this);
        kcp_client_set_connect_cb(handle, [](int code, const char*, void* u) { ((Client*)u)->connects += code == 0; });
        kcp_client_set_disconnect_cb(handle, [](void* u) { ((Client*)u)->disconnects++; });
        kcp_client_set_recv_cb(handle, [](const char* d, int n, int ch, void* u) {
            ((Client*)u)->received.push_back({ch, std::string(d, (size_t)n)});
        });
        sockaddr_in addr = loopback(port);
        kcp_client_start(handle, (const sockaddr*)&addr, 5000);
    }
    ~Client() { kcp_client_destroy(handle); }
};

// A hand-made client: connects, reads the port frame and aims its UDP side at it.
bool join(RawPeer& peer, Server& s) {
    if (!peer.connect_to(s.port) ||
        !drive([&] { s.run(); peer.pump(); }, [&] { return peer.frames_of(FRAME_UDP_PORT) > 0; }))
        return false;
    const Frame& f = peer.frames[0];
    EXPECT_EQ((unsigned)FRAME_UDP_PORT, f.type);
    EXPECT_EQ(4u, f.payload.size());
    peer.set_udp_peer((uint16_t)((unsigned char)f.payload[0] | (unsigned char)f.payload[1] << 8));
    return true;
}

// The same, through the whole handshake; the handle the owner was given.
KCPCLIENT handshake(RawPeer& peer, Server& s) {
    if (!join(peer, s))
        return nullptr;
    peer.send_message(MSG_HELLO, "");
    size_t before = s.owner.count("connect");
    if (!drive([&] { s.run(); peer.pump(); }, [&] { return s.owner.count("connect") > before; }))
        return nullptr;
    return s.owner.last_connected();
}

uint32_t announced_port(const RawPeer& peer) {
    const std::string& p = peer.frames.at(0).payload;
    return (uint32_t)(unsigned char)p[0] | (uint32_t)(unsigned char)p[1] << 8 | (uint32_t)(unsigned char)p[2] << 16 |
           (uint32_t)(unsigned char)p[3] << 24;
}

}  // namespace

TEST(KcpServer, EachPeerGetsItsOwnUdpPortAndHandle) {
    Server s;
    RawPeer a, b;
    ASSERT_TRUE(join(a, s));
    ASSERT_TRUE(join(b, s));
    EXPECT_NE(announced_port(a), announced_port(b));
    EXPECT_LT(announced_port(a), 65536u);
    EXPECT_TRUE(s.owner.events.empty()) << "nobody is reported before the handshake";

    // Real clients: their data arrives with their own handles.
    Client one(s.port), two(s.port);
    auto step = [&] { s.run(); kcp_client_run(one.handle, 0); kcp_client_run(two.handle, 0); };
    ASSERT_TRUE(drive(step, [&] { return one.connects && two.connects && s.owner.count("connect") == 2; }));
    std::map<std::string, KCPCLIENT> sender;
    kcp_client_send(one.handle, "from one", 8, 1);
    kcp_client_send(two.handle, "from two", 8, 1);
    kcp_client_send(one.handle, "raw one", 7, 2);
    ASSERT_TRUE(drive(step, [&] { return s.owner.count("recv") == 3; }));
    for (const Event& e : s.owner.events)
        if (e.kind == "recv")
            sender[e.data] = e.peer;
    ASSERT_EQ(3u, sender.size());
    EXPECT_EQ(sender["from one"], sender["raw one"]);
    EXPECT_NE(sender["from one"], sender["from two"]);
    // Answering through a handle reaches that client only.
    EXPECT_EQ(7, kcp_client_send(sender["from two"], "hello", 5, 1));
    ASSERT_TRUE(drive(step, [&] { return !two.received.empty(); }));
    drive_for(step, 50);
    EXPECT_TRUE(one.received.empty());
    EXPECT_EQ((std::pair<int, std::string>{1, "hello"}), two.received[0]);
}

TEST(KcpServer, HandshakeByHandDeliversEarlyChannelsAtOnceAndWelcomesOnce) {
    Server s;
    RawPeer peer;
    ASSERT_TRUE(join(peer, s));
    auto step = [&] { s.run(); peer.pump(); };
    // Channel 0 and raw datagrams reach the owner before the handshake.
    peer.send_frame(FRAME_DATA, "early frame");
    peer.send_frame(FRAME_KEEPALIVE, "");
    peer.send_frame(77, "ignored type");
    ASSERT_TRUE(drive(step, [&] { return s.owner.count("recv") == 1; }));
    peer.send_datagram("early raw");
    ASSERT_TRUE(drive(step, [&] { return s.owner.count("recv") == 2; }));
    EXPECT_EQ(0, s.owner.events[0].channel);
    EXPECT_EQ("early frame", s.owner.events[0].data);
    EXPECT_EQ(2, s.owner.events[1].channel);
    EXPECT_EQ("early raw", s.owner.events[1].data);
    EXPECT_EQ(0u, s.owner.count("connect"));

    // The first message is the handshake whatever it says; the rest is channel 1.
    peer.send_message(MSG_DATA, "taken as hello");
    peer.send_message(MSG_KEEPALIVE, "");
    peer.send_message(MSG_DATA, "real data");
    size_t welcomes = 0;
    ASSERT_TRUE(drive(step, [&] { return s.owner.count("recv") == 3 && peer.count_type(MSG_WELCOME, &welcomes); }));
    drive_for(step, 50);
    EXPECT_EQ(1u, welcomes);
    ASSERT_EQ(1u, s.owner.count("connect"));
    ASSERT_EQ(4u, s.owner.events.size());
    EXPECT_EQ("connect", s.owner.events[2].kind);
    EXPECT_EQ("real data", s.owner.events[3].data);
    EXPECT_EQ(1, s.owner.events[3].channel);

    // The peer closing its TCP connection is reported once.
    peer.close_tcp();
    ASSERT_TRUE(drive(step, [&] { return s.owner.count("disconnect") > 0; }));
    drive_for(step, 50);
    EXPECT_EQ(1u, s.owner.count("disconnect"));
    EXPECT_EQ(s.owner.events[2].peer, s.owner.events.back().peer);
}

TEST(KcpServer, SilentPeersAreDroppedAfterTheirTimeLimits) {
    // Three at once, to share the wait: one never handshakes (dropped at 5000
    // ms without a callback), one stops all KCP traffic after the handshake
    // (reported dead after 8000 ms), and one real client stays alive.
    Server s;
    RawPeer mute, silent;
    Client alive(s.port);
    ASSERT_TRUE(join(mute, s));
    ASSERT_TRUE(join(silent, s));
    silent.send_message(MSG_HELLO, "");
    bool silent_talks = true;
    auto step = [&] {
        s.run();
        mute.pump(false);
        silent.pump(silent_talks);
        kcp_client_run(alive.handle, 0);
    };
    ASSERT_TRUE(drive(step, [&] { return s.owner.count("connect") == 2 && alive.connects == 1; }));
    // Which handle is the silent peer's: tag each connection over channel 0.
    std::vector<KCPCLIENT> connected;
    for (const Event& e : s.owner.events)
        if (e.kind == "connect")
            connected.push_back(e.peer);
    for (size_t i = 0; i < connected.size(); ++i)
        kcp_client_send(connected[i], std::to_string(i).c_str(), 1, 0);
    ASSERT_TRUE(drive(step, [&] { return silent.frames_of(FRAME_DATA) > 0; }));
    KCPCLIENT silent_handle = connected.at((size_t)std::stoi(silent.frames.back().payload));
    ASSERT_NE(nullptr, silent_handle);
    // Its last message was the hello, taken when it was reported connected.
    uint64_t went_silent = 0;
    for (const Event& e : s.owner.events)
        if (e.kind == "connect" && e.peer == silent_handle)
            went_silent = e.at;
    silent_talks = false;

    ASSERT_TRUE(drive(step, [&] { return mute.tcp_closed; }, 7000));
    EXPECT_EQ(0u, s.owner.count("disconnect"));
    ASSERT_TRUE(drive(step, [&] { return s.owner.count("disconnect") > 0; }, 10000));
    uint64_t reported = net_poll();
    EXPECT_GE(reported - went_silent, (uint64_t)4 * KCP_KEEPALIVE_MS);
    EXPECT_EQ(silent_handle, s.owner.events.back().peer);
    ASSERT_TRUE(drive(step, [&] { return silent.tcp_closed; }));
    drive_for(step, 100);
    EXPECT_EQ(1u, s.owner.count("disconnect"));
    // The keepalives kept the real client in.
    EXPECT_EQ(0, alive.disconnects);
    EXPECT_EQ(0u, s.owner.count("recv"));
}

TEST(KcpServer, StoppingAPeerOrTheServerRemovesPeersWithoutCallbacks) {
    Server s;
    Client a(s.port), b(s.port);
    auto step = [&] { s.run(); kcp_client_run(a.handle, 0); kcp_client_run(b.handle, 0); };
    ASSERT_TRUE(drive(step, [&] { return s.owner.count("connect") == 2 && a.connects && b.connects; }));

    // The owner stops one peer between runs: it goes, silently.
    KCPCLIENT first = s.owner.events[0].peer;
    kcp_client_stop(first);
    ASSERT_TRUE(drive(step, [&] { return a.disconnects + b.disconnects == 1; }));
    drive_for(step, 50);
    EXPECT_EQ(0u, s.owner.count("disconnect"));

    // A restart drops the rest, silently, and listens anew.
    sockaddr_in addr = loopback(s.port);
    ASSERT_EQ(0, kcp_server_start(s.server, (const sockaddr*)&addr));
    ASSERT_TRUE(drive(step, [&] { return a.disconnects + b.disconnects == 2; }));
    EXPECT_EQ(0u, s.owner.count("disconnect"));
    Client c(s.port);
    ASSERT_TRUE(drive([&] { step(); kcp_client_run(c.handle, 0); }, [&] { return c.connects == 1; }));
    EXPECT_EQ(3u, s.owner.count("connect"));

    kcp_server_stop(s.server);
    ASSERT_TRUE(drive([&] { step(); kcp_client_run(c.handle, 0); }, [&] { return c.disconnects == 1; }));
    EXPECT_EQ(0u, s.owner.count("disconnect"));
}

TEST(KcpServer, BrokenPeersAreDroppedAndReportedOnlyOnceConnected) {
    // Hostile length before the handshake: closed, nothing reported.
    Server s;
    RawPeer early;
    ASSERT_TRUE(join(early, s));
    early.send_tcp(std::string("\x01\x00\x00\x00\x10\x00", 6));
    ASSERT_TRUE(drive([&] { s.run(); early.pump(); }, [&] { return early.tcp_closed; }));
    EXPECT_TRUE(s.owner.events.empty());

    // After the handshake: a hostile length, an empty message, an oversized one.
    for (int variant = 0; variant < 3; ++variant) {
        RawPeer peer;
        KCPCLIENT handle = handshake(peer, s);
        ASSERT_NE(nullptr, handle);
        auto step = [&] { s.run(); peer.pump(); };
        size_t seen = s.owner.events.size();
        if (variant == 0)
            peer.send_tcp(std::string("\xff\xff\xff\xff\x10\x00", 6) + std::string(100, 'x'));
        else if (variant == 1)
            peer.send_bare_message("");
        else
            peer.send_message(MSG_DATA, std::string(KCP_RECV_BUFFER_SIZE, 'x'));
        ASSERT_TRUE(drive(step, [&] { return peer.tcp_closed; })) << variant;
        drive_for(step, 30);
        ASSERT_EQ(seen + 1, s.owner.events.size()) << variant;
        EXPECT_EQ("disconnect", s.owner.events.back().kind);
        EXPECT_EQ(handle, s.owner.events.back().peer);
    }
    EXPECT_EQ(0u, s.owner.count("recv"));
}

// One KCP data segment written by hand: conversation, sequence, payload.
std::string segment(uint32_t conversation, uint32_t sequence, const std::string& payload) {
    std::string bytes(24, '\0');
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            bytes[at + (size_t)i] = (char)(v >> (8 * i));
    };
    put32(0, conversation);
    bytes[4] = (char)KCP_CMD_DATA;
    bytes[6] = (char)128;  // window
    put32(12, sequence);
    put32(20, (uint32_t)payload.size());
    return bytes + payload;
}

TEST(KcpServer, AMessageFromAnUnknownSenderIsDropped) {
    // A hello in a datagram the engine takes half of: the sender is never
    // recorded, so the message has nowhere to be answered and is dropped.
    Server s;
    RawPeer peer;
    ASSERT_TRUE(join(peer, s));
    std::string datagram = segment(KCP_CONVERSATION, 0, std::string("\x01\x00", 2)) + segment(7, 1, "");
    peer.send_datagram(datagram);
    auto step = [&] { s.run(); peer.pump(); };
    ASSERT_TRUE(drive(step, [&] { return s.owner.count("recv") > 0; }));
    drive_for(step, 100);
    ASSERT_EQ(1u, s.owner.events.size());
    EXPECT_EQ(2, s.owner.events[0].channel);
    EXPECT_EQ(datagram, s.owner.events[0].data);
    EXPECT_FALSE(peer.tcp_closed);
    size_t welcomes = 0;
    EXPECT_FALSE(peer.count_type(MSG_WELCOME, &welcomes));
}

TEST(KcpServer, OwnerMayStopAPeerOrTheServerFromInsideACallback) {
    // Stopping the peer whose frames are being read: the rest of the read is dropped.
    {
        Server s;
        RawPeer peer;
        ASSERT_TRUE(join(peer, s));
        s.owner.stop_peer_on_recv = true;
        peer.send_tcp(frame(FRAME_DATA, "a") + frame(FRAME_DATA, "b") + frame(FRAME_DATA, "c"));
        ASSERT_TRUE(drive([&] { s.run(); peer.pump(); }, [&] { return peer.tcp_closed; }));
        EXPECT_EQ(1u, s.owner.events.size());
    }
    // Stopping or destroying the whole server from a channel-1 and a channel-0 callback.
    for (int variant = 0; variant < 4; ++variant) {
        Server s;
        Client a(s.port), b(s.port);
        auto step = [&] { s.run(); kcp_client_run(a.handle, 0); kcp_client_run(b.handle, 0); };
        ASSERT_TRUE(drive(step, [&] { return s.owner.count("connect") == 2 && a.connects && b.connects; }));
        if (variant < 2)
            s.owner.stop_server_on_recv = true;
        else
            s.owner.destroy_server_on_recv = true;
        kcp_client_send(a.handle, "bye", 3, variant % 2);
        kcp_client_send(b.handle, "bye", 3, variant % 2);
        ASSERT_TRUE(drive(step, [&] { return a.disconnects == 1 && b.disconnects == 1; })) << variant;
        EXPECT_EQ(1u, s.owner.count("recv")) << variant;
        EXPECT_EQ(0u, s.owner.count("disconnect"));
    }
}

TEST(KcpServer, NullHandlesAndFailedStarts) {
    sockaddr_in addr = loopback(free_port());
    EXPECT_EQ(-101, kcp_server_start(nullptr, (const sockaddr*)&addr));
    kcp_server_stop(nullptr);
    kcp_server_run(nullptr, 0);
    kcp_server_destroy(nullptr);
    kcp_server_set_recv_cb(nullptr, on_recv);

    // A second server on a taken address gets the listener's code and text.
    Server s;
    KCPServer* second = kcp_server_create(0);
    sockaddr_in taken = loopback(s.port);
    int rc = kcp_server_start(second, (const sockaddr*)&taken);
    EXPECT_TRUE(rc == -104 || rc == -105) << rc;
    EXPECT_STREQ(uv_strerror(UV_EADDRINUSE), net_last_error());
    kcp_server_destroy(second);
}

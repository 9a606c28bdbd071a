// The KCP client: control framing, the handshake against our server and a
// hand-made one, send results, time-outs and owners that close from callbacks.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "transport/kcp_peer.h"

using namespace kcptest;

namespace {

struct Event {
    std::string kind;  // "connect", "recv", "disconnect"
    int code;          // connect code, or channel
    std::string text;  // message, or data
};

struct Owner {
    KCPCLIENT client = nullptr;
    std::vector<Event> events;
    // Reactions an owner may have inside a callback.
    bool destroy_on_connect = false;
    bool stop_on_recv = false;
    bool destroyed = false;

    size_t count(const std::string& kind) const {
        size_t n = 0;
        for (const Event& e : events)
            n += e.kind == kind;
        return n;
    }
    std::vector<Event> of(const std::string& kind) const {
        std::vector<Event> out;
        for (const Event& e : events)
            if (e.kind == kind)
                out.push_back(e);
        return out;
    }
};

void on_connect(int code, const char* message, void* user) {
    Owner* o = (Owner*)user;
    o->events.push_back({"connect", code, message});
    if (o->destroy_on_connect) {
        kcp_client_destroy(o->client);
        o->destroyed = true;
    }
}

void on_recv(const char* data, int length, int channel, void* user) {
    Owner* o = (Owner*)user;
    o->events.push_back({"recv", channel, std::string(data, (size_t)length)});
    if (o->stop_on_recv)
        kcp_client_stop(o->client);
}

void on_disconnect(void* user) {
    ((Owner*)user)->events.push_back({"disconnect", 0, ""});
}

KCPCLIENT make_client(Owner* owner, int mode = 0) {
    KCPCLIENT client = kcp_client_create(mode);
    owner->client = client;
    kcp_client_set_user_data(client, owner);
    kcp_client_set_connect_cb(client, on_connect);
    kcp_client_set_recv_cb(client, on_recv);
    kcp_client_set_disconnect_cb(client, on_disconnect);
    return client;
}

void start(KCPCLIENT client, uint16_t port, int timeout_ms = 5000) {
    sockaddr_in addr = loopback(port);
    kcp_client_start(client, (const sockaddr*)&addr, timeout_ms);
}

// What our server hands its owner.
struct ServerOwner {
    std::vector<KCPCLIENT> peers;
    std::vector<std::pair<int, std::string>> received;
};

void server_connected(KCPCLIENT client, void* user) {
    ((ServerOwner*)user)->peers.push_back(client);
}

void server_recv(KCPCLIENT, const char* data, int length, int channel, void* user) {
    ((ServerOwner*)user)->received.push_back({channel, std::string(data, (size_t)length)});
}

// A hand-made server that has accepted our client and announced its UDP port.
struct HandServer {
    RawPeer peer;
    uint16_t port = peer.listen_any();

    bool accept_and_announce(KCPCLIENT client) {
        if (!drive([&] { kcp_client_run(client, 0); peer.pump(); }, [&] { return peer.accepted(); }))
            return false;
        peer.send_frame(FRAME_UDP_PORT, port_payload(peer.udp_port()));
        // The hello tells where the client's UDP socket is.
        size_t hellos = 0;
        if (!drive([&] { kcp_client_run(client, 0); peer.pump(); }, [&] { return peer.count_type(MSG_HELLO, &hellos); }))
            return false;
        peer.set_udp_peer(ntohs(peer.udp_sender().sin_port));
        return true;
    }
};

// Our client against a hand-made server.
struct HandSession {
    HandServer hs;
    Owner owner;
    KCPCLIENT client = make_client(&owner);

    HandSession() { start(client, hs.port); }
    ~HandSession() {
        if (!owner.destroyed)
            kcp_client_destroy(client);
    }
    std::function<void()> step() {
        return [this] { kcp_client_run(client, 0); hs.peer.pump(); };
    }
    bool announce() { return hs.accept_and_announce(client); }
    bool welcome() {
        hs.peer.send_message(MSG_WELCOME, "");
        return drive(step(), [this] { return owner.count("connect") > 0; });
    }
};

}  // namespace

/* ---- Framing ------------------------------------------------------------ */

struct Collected {
    std::vector<Frame> frames;
    int stop_after = -1;
};

bool collect(void* context, unsigned type, const char* payload, uint32_t length) {
    Collected* c = (Collected*)context;
    c->frames.push_back({type, std::string(payload, length)});
    return (int)c->frames.size() != c->stop_after;
}

TEST(KcpFraming, SplitAndBatchedFramesAreEachHandledOnceInOrder) {
    std::string big(70000, 'x');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = (char)(i * 7);
    std::string stream = frame(FRAME_DATA, "first") + frame(FRAME_KEEPALIVE, "") + frame(FRAME_DATA, big) +
                         frame(99, "unknown type") + frame(FRAME_UDP_PORT, port_payload(4242));

    // Every split point and every chunk size give the same frames.
    for (size_t chunk : {(size_t)1, (size_t)5, (size_t)6, (size_t)7, (size_t)4096, stream.size()}) {
        StreamBuffer buffer;
        net__stream_buffer_init(&buffer);
        Collected got;
        for (size_t at = 0; at < stream.size(); at += chunk) {
            size_t n = std::min(chunk, stream.size() - at);
            ASSERT_EQ(KCP_FEED_OK, net__kcp_frames_feed(&buffer, stream.data() + at, n, collect, &got));
        }
        ASSERT_EQ(5u, got.frames.size()) << "chunk " << chunk;
        EXPECT_EQ("first", got.frames[0].payload);
        EXPECT_EQ((unsigned)FRAME_KEEPALIVE, got.frames[1].type);
        EXPECT_EQ("", got.frames[1].payload);
        EXPECT_EQ(big, got.frames[2].payload);
        EXPECT_EQ(99u, got.frames[3].type);
        EXPECT_EQ(port_payload(4242), got.frames[4].payload);
        EXPECT_EQ(0u, buffer.size);
        net__stream_buffer_release(&buffer);
    }
}

TEST(KcpFraming, HostileLengthFieldsAreRefusedWithoutBuffering) {
    const uint32_t lengths[] = {0, 1, 0x80000000u, 0xffffffffu, (uint32_t)KCP_MAX_FRAME_LENGTH + 1};
    for (uint32_t length : lengths) {
        std::string bytes(4, '\0');
        for (int i = 0; i < 4; ++i)
            bytes[(size_t)i] = (char)(length >> (8 * i));
        bytes += std::string(1000, 'z');
        StreamBuffer buffer;
        net__stream_buffer_init(&buffer);
        Collected got;
        // Behind a good frame that is still handled, and byte by byte from an empty buffer.
        std::string stream = frame(FRAME_DATA, "ok") + bytes;
        EXPECT_EQ(KCP_FEED_BROKEN, net__kcp_frames_feed(&buffer, stream.data(), stream.size(), collect, &got)) << length;
        EXPECT_EQ(1u, got.frames.size());
        net__stream_buffer_reset(&buffer);
        net__kcp_feed_result result = KCP_FEED_OK;
        for (size_t i = 0; i < bytes.size() && result == KCP_FEED_OK; ++i)
            result = net__kcp_frames_feed(&buffer, bytes.data() + i, 1, collect, &got);
        EXPECT_EQ(KCP_FEED_BROKEN, result);
        EXPECT_LE(buffer.capacity, 8u) << "refused at the fourth byte, before anything more was kept";
        net__stream_buffer_release(&buffer);
    }

    // The largest allowed length only ever holds what actually arrived.
    StreamBuffer buffer;
    net__stream_buffer_init(&buffer);
    Collected got;
    std::string header = frame(FRAME_DATA, "").substr(0, 0);
    char head[6] = {0};
    uint32_t max = KCP_MAX_FRAME_LENGTH;
    for (int i = 0; i < 4; ++i)
        head[i] = (char)(max >> (8 * i));
    head[4] = FRAME_DATA;
    ASSERT_EQ(KCP_FEED_OK, net__kcp_frames_feed(&buffer, head, sizeof(head), collect, &got));
    std::string chunk(1000, 'q');
    ASSERT_EQ(KCP_FEED_OK, net__kcp_frames_feed(&buffer, chunk.data(), chunk.size(), collect, &got));
    EXPECT_EQ(1006u, buffer.size);
    EXPECT_LE(buffer.capacity, 2048u);
    EXPECT_TRUE(got.frames.empty());
    net__stream_buffer_release(&buffer);
}

TEST(KcpFraming, AHandlerThatStopsEndsTheWalk) {
    std::string stream = frame(FRAME_DATA, "a") + frame(FRAME_DATA, "b") + frame(FRAME_DATA, "c");
    for (bool buffered : {false, true}) {
        StreamBuffer buffer;
        net__stream_buffer_init(&buffer);
        Collected got;
        got.stop_after = 1;
        if (buffered) {  // a partial frame already held back
            ASSERT_EQ(KCP_FEED_OK, net__kcp_frames_feed(&buffer, stream.data(), 3, collect, &got));
            EXPECT_EQ(KCP_FEED_STOPPED, net__kcp_frames_feed(&buffer, stream.data() + 3, stream.size() - 3, collect, &got));
        } else {
            EXPECT_EQ(KCP_FEED_STOPPED, net__kcp_frames_feed(&buffer, stream.data(), stream.size(), collect, &got));
        }
        ASSERT_EQ(1u, got.frames.size());
        EXPECT_EQ("a", got.frames[0].payload);
        net__stream_buffer_release(&buffer);
    }
}

TEST(KcpFraming, StreamBufferKeepsPowerOfTwoCapacity) {
    StreamBuffer buffer;
    net__stream_buffer_init(&buffer);
    EXPECT_EQ(2u, buffer.capacity);
    ASSERT_TRUE(net__stream_buffer_append(&buffer, "abcde", 5));
    EXPECT_EQ(8u, buffer.capacity);
    ASSERT_TRUE(net__stream_buffer_append(&buffer, "fghij", 5));
    EXPECT_EQ(16u, buffer.capacity);
    EXPECT_FALSE(net__stream_buffer_consume(&buffer, 11));
    EXPECT_EQ(10u, buffer.size);
    ASSERT_TRUE(net__stream_buffer_consume(&buffer, 3));
    EXPECT_EQ("defghij", std::string(buffer.data, buffer.size));
    net__stream_buffer_reset(&buffer);
    EXPECT_EQ(0u, buffer.size);
    EXPECT_EQ(2u, buffer.capacity);
    net__stream_buffer_release(&buffer);
}

/* ---- Against our server -------------------------------------------------- */

TEST(KcpClient, ConnectsToOurServerAndExchangesOnAllThreeChannels) {
    uint16_t port = free_port();
    KCPServer* server = kcp_server_create(2);
    ServerOwner so;
    kcp_server_set_user_data(server, &so);
    kcp_server_set_connect_cb(server, server_connected);
    kcp_server_set_recv_cb(server, server_recv);
    sockaddr_in listen_addr = loopback(port);
    ASSERT_EQ(0, kcp_server_start(server, (const sockaddr*)&listen_addr));

    Owner owner;
    KCPCLIENT client = make_client(&owner, 2);
    // Nothing is connected yet: every channel refuses.
    for (int mode = 0; mode < 3; ++mode)
        EXPECT_EQ(-1, kcp_client_send(client, "x", 1, mode)) << mode;
    start(client, port);
    auto step = [&] { kcp_client_run(client, 0); kcp_server_run(server, 0); };
    ASSERT_TRUE(drive(step, [&] { return owner.count("connect") > 0 && !so.peers.empty(); }));
    ASSERT_EQ(1u, owner.count("connect"));
    EXPECT_EQ(0, owner.events[0].code);
    EXPECT_EQ("no error", owner.events[0].text);
    ASSERT_EQ(1u, so.peers.size());

    sockaddr_in local, remote, peer_remote;
    ASSERT_EQ(0, kcp_client_local_addr(client, (sockaddr*)&local));
    ASSERT_EQ(0, kcp_client_remote_addr(client, (sockaddr*)&remote));
    ASSERT_EQ(0, kcp_client_remote_addr(so.peers[0], (sockaddr*)&peer_remote));
    EXPECT_EQ(htons(port), remote.sin_port);
    EXPECT_EQ(local.sin_port, peer_remote.sin_port);

    // Send results, then the data on each channel in both directions.
    EXPECT_EQ(16, kcp_client_send(client, "0123456789", 10, 0));
    std::string largest(65535, 'm');
    for (size_t i = 0; i < largest.size(); ++i)
        largest[i] = (char)(i % 251);
    EXPECT_EQ(65537, kcp_client_send(client, largest.data(), (int)largest.size(), 1));
    std::string too_large(65536, 'n');
    EXPECT_EQ(-1, kcp_client_send(client, too_large.data(), (int)too_large.size(), 1));
    std::string datagram(1400, 'd');
    EXPECT_EQ(1400, kcp_client_send(client, datagram.data(), 1400, 2));
    std::string oversized(1401, 'o');
    EXPECT_EQ(-1, kcp_client_send(client, oversized.data(), 1401, 2));
    EXPECT_EQ(-102, kcp_client_send(client, "x", 1, 3));
    // A frame our server would refuse as hostile, and negative lengths, are not sent.
    std::string huge((size_t)KCP_MAX_FRAME_LENGTH - 1, 'h');
    EXPECT_EQ(-1, kcp_client_send(client, huge.data(), (int)huge.size(), 0));
    for (int mode = 0; mode < 3; ++mode)
        EXPECT_EQ(-1, kcp_client_send(client, "x", -1, mode)) << mode;
    EXPECT_EQ(-101, kcp_client_send(nullptr, "x", 1, 0));
    ASSERT_TRUE(drive(step, [&] { return so.received.size() >= 3; }));
    ASSERT_EQ(3u, so.received.size());
    std::vector<std::pair<int, std::string>> expected = {{0, "0123456789"}, {1, largest}, {2, datagram}};
    for (const auto& item : expected)
        EXPECT_NE(so.received.end(), std::find(so.received.begin(), so.received.end(), item)) << item.first;

    EXPECT_EQ(6, kcp_client_send(so.peers[0], "", 0, 0));
    EXPECT_EQ(5, kcp_client_send(so.peers[0], "one", 3, 1));
    EXPECT_EQ(3, kcp_client_send(so.peers[0], "two", 3, 2));
    ASSERT_TRUE(drive(step, [&] { return owner.count("recv") >= 3; }));
    std::vector<Event> got = owner.of("recv");
    ASSERT_EQ(3u, got.size());
    for (const Event& e : got)
        EXPECT_EQ(e.code == 0 ? "" : e.code == 1 ? "one" : "two", e.text);

    // The server going away ends the client's connection once.
    kcp_server_destroy(server);
    ASSERT_TRUE(drive([&] { kcp_client_run(client, 0); }, [&] { return owner.count("disconnect") > 0; }));
    drive_for([&] { kcp_client_run(client, 0); }, 50);
    EXPECT_EQ(1u, owner.count("disconnect"));
    EXPECT_EQ(-1, kcp_client_send(client, "x", 1, 1));
    kcp_client_destroy(client);
}

TEST(KcpClient, BindsItsUdpSocketAfterTheServerAddress) {
    // Towards 127.0.0.1 the socket is bound there; towards another address on
    // any interface. The port is always the system's choice.
    for (const char* ip : {"127.0.0.1", "127.0.0.2"}) {
        Owner owner;
        KCPCLIENT client = make_client(&owner);
        sockaddr_in addr = loopback(free_port(SOCK_STREAM, ip), ip);
        kcp_client_start(client, (const sockaddr*)&addr, 1000);
        const sockaddr_in& bound = client->udp_local;
        EXPECT_EQ(std::string(ip) == "127.0.0.1" ? htonl(INADDR_LOOPBACK) : htonl(INADDR_ANY), bound.sin_addr.s_addr) << ip;
        EXPECT_NE(0, bound.sin_port);
        kcp_client_destroy(client);
    }
}

/* ---- Against a hand-made server ----------------------------------------- */

TEST(KcpClient, EarlyDataIsHandedOverInArrivalOrderRightAfterTheConnectResult) {
    HandSession h;
    ASSERT_TRUE(h.announce());
    // Channel 0 and raw datagrams arrive between the port and the welcome.
    const char* order[] = {"frame-1", "raw-1", "frame-2", "raw-2"};
    for (const char* item : order) {
        if (item[0] == 'f')
            h.hs.peer.send_frame(FRAME_DATA, item);
        else
            h.hs.peer.send_datagram(item);
        drive_for(h.step(), 30);
    }
    EXPECT_TRUE(h.owner.events.empty());
    for (int mode = 0; mode < 3; ++mode)
        EXPECT_EQ(-1, kcp_client_send(h.client, "x", 1, mode));

    h.hs.peer.send_message(MSG_WELCOME, "");
    h.hs.peer.send_message(MSG_DATA, "after");
    const std::vector<Event>& events = h.owner.events;
    ASSERT_TRUE(drive(h.step(), [&] { return events.size() >= 6; }));
    ASSERT_EQ(6u, events.size());
    EXPECT_EQ("connect", events[0].kind);
    EXPECT_EQ(0, events[0].code);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ("recv", events[i + 1].kind);
        EXPECT_EQ(order[i], events[i + 1].text);
        EXPECT_EQ(order[i][0] == 'f' ? 0 : 2, events[i + 1].code);
    }
    EXPECT_EQ("after", events[5].text);
    EXPECT_EQ(1, events[5].code);
}

TEST(KcpClient, KeepsBothChannelsAliveEveryTwoSeconds) {
    HandSession h;
    ASSERT_TRUE(h.announce());
    ASSERT_TRUE(h.welcome());
    // Sending on channel 0 every 500 ms postpones only that channel's keepalive.
    uint64_t start_ms = net_poll();
    uint64_t last_send = start_ms;
    size_t kcp_keepalives = 0;
    drive(
        [&] {
            h.step()();
            if (net_poll() - last_send >= 500) {
                last_send = net_poll();
                kcp_client_send(h.client, "d", 1, 0);
            }
        },
        [&] { return net_poll() - start_ms > 2600; }, 4000);
    h.hs.peer.count_type(MSG_KEEPALIVE, &kcp_keepalives);
    EXPECT_EQ(1u, kcp_keepalives);
    EXPECT_EQ(0u, h.hs.peer.frames_of(FRAME_KEEPALIVE));
    EXPECT_GE(h.hs.peer.frames_of(FRAME_DATA), 4u);

    // Silence on channel 0 brings its keepalive frame too.
    ASSERT_TRUE(drive(h.step(), [&] { return h.hs.peer.frames_of(FRAME_KEEPALIVE) > 0; }, 3000));
    EXPECT_EQ(1u, h.hs.peer.frames_of(FRAME_KEEPALIVE));
    // Keepalives are never delivered to the owner.
    EXPECT_EQ(0u, h.owner.count("recv"));
}

TEST(KcpClient, HostileFrameLengthDropsTheConnection) {
    for (bool connected : {false, true}) {
        HandSession h;
        ASSERT_TRUE(h.announce());
        if (connected) {
            ASSERT_TRUE(h.welcome());
        }
        h.hs.peer.send_frame(FRAME_DATA, "before");
        h.hs.peer.send_tcp(std::string("\xff\xff\xff\x7f\x10\x00", 6) + std::string(4096, 'h'));
        ASSERT_TRUE(drive(h.step(), [&] { return h.hs.peer.tcp_closed; })) << connected;
        const std::vector<Event>& events = h.owner.events;
        if (connected) {
            ASSERT_EQ(3u, events.size());
            EXPECT_EQ("before", events[1].text);
            EXPECT_EQ("disconnect", events[2].kind);
        } else {
            // Reported like a connection that closed before the handshake; the
            // early data it had sent is not handed over.
            ASSERT_EQ(1u, events.size());
            EXPECT_EQ(-3, events[0].code);
            EXPECT_EQ("connect exception", events[0].text);
        }
    }
}

TEST(KcpClient, OversizedOrEmptyMessagesEndTheConversation) {
    for (int variant = 0; variant < 2; ++variant) {
        HandSession h;
        ASSERT_TRUE(h.announce());
        ASSERT_TRUE(h.welcome());
        if (variant == 0)
            h.hs.peer.send_message(MSG_DATA, std::string(KCP_RECV_BUFFER_SIZE, 'w'));  // 2 bytes too many
        else
            h.hs.peer.send_bare_message("");
        ASSERT_TRUE(drive(h.step(), [&] { return h.hs.peer.tcp_closed; })) << variant;
        EXPECT_EQ(1u, h.owner.count("disconnect"));
        EXPECT_EQ(0u, h.owner.count("recv"));
    }
}

/* ---- Connect results ---------------------------------------------------- */

TEST(KcpClient, RefusedConnectReportsTheTcpErrorThenTheTimeOut) {
    Owner owner;
    KCPCLIENT client = make_client(&owner);
    start(client, free_port(), 300);
    ASSERT_TRUE(drive([&] { kcp_client_run(client, 0); }, [&] { return owner.events.size() >= 2; }, 3000));
    drive_for([&] { kcp_client_run(client, 0); }, 100);
    ASSERT_EQ(2u, owner.events.size());
    EXPECT_EQ(-2, owner.events[0].code);
    EXPECT_EQ(uv_strerror(UV_ECONNREFUSED), owner.events[0].text);
    EXPECT_EQ(-1, owner.events[1].code);
    EXPECT_EQ("connect timeout", owner.events[1].text);

    // An owner that stops after the refusal hears nothing more.
    owner.events.clear();
    start(client, free_port(), 300);
    ASSERT_TRUE(drive([&] { kcp_client_run(client, 0); }, [&] { return !owner.events.empty(); }, 3000));
    kcp_client_stop(client);
    drive_for([&] { kcp_client_run(client, 0); }, 500);
    EXPECT_EQ(1u, owner.events.size());
    kcp_client_destroy(client);
}

TEST(KcpClient, ServerThatNeverAnswersTimesOutOnceAndClosingBeforeTheWelcomeIsAnException) {
    // Time-out 0: the first run after the clock moves reports it.
    {
        HandSession h;
        start(h.client, h.hs.port, 0);
        uint64_t t0 = net_poll();
        ASSERT_TRUE(drive(h.step(), [&] { return !h.owner.events.empty(); }, 2000));
        EXPECT_GE(net_poll(), t0 + 1);
        drive_for(h.step(), 100);
        ASSERT_EQ(1u, h.owner.events.size());
        EXPECT_EQ(-1, h.owner.events[0].code);
        EXPECT_EQ("connect timeout", h.owner.events[0].text);
    }
    // The server closing its side after the port frame, before the welcome.
    HandSession h;
    ASSERT_TRUE(h.announce());
    h.hs.peer.close_tcp();
    ASSERT_TRUE(drive(h.step(), [&] { return !h.owner.events.empty(); }));
    drive_for(h.step(), 50);
    ASSERT_EQ(1u, h.owner.events.size());
    EXPECT_EQ(-3, h.owner.events[0].code);
    EXPECT_EQ("connect exception", h.owner.events[0].text);
}

TEST(KcpClient, AUdpSocketThatCannotStartIsReportedAtTheNextRunOnly) {
    Owner owner;
    KCPCLIENT client = make_client(&owner);
    uint16_t port = free_port();
    {
        udptest::FdExhaustion no_descriptors;
        start(client, port);
    }
    EXPECT_TRUE(owner.events.empty());
    kcp_client_run(client, 0);
    ASSERT_EQ(1u, owner.events.size());
    EXPECT_EQ(-102, owner.events[0].code);
    EXPECT_NE("", owner.events[0].text);
    // It stays idle: no time-out follows.
    drive_for([&] { kcp_client_run(client, 0); }, 100);
    EXPECT_EQ(1u, owner.events.size());

    // A negative time-out waits 2147483647 ms.
    start(client, port, -1);
    EXPECT_GE(client->deadline - (int64_t)net_poll(), 2147483647 - 1000);
    kcp_client_destroy(client);
}

TEST(KcpClient, NullHandlesAreHarmless) {
    sockaddr_in addr = loopback(1);
    kcp_client_start(nullptr, (const sockaddr*)&addr, 10);
    kcp_client_stop(nullptr);
    kcp_client_run(nullptr, 0);
    kcp_client_destroy(nullptr);
    kcp_client_set_connect_cb(nullptr, on_connect);
    EXPECT_EQ(-101, kcp_client_local_addr(nullptr, (sockaddr*)&addr));
    EXPECT_STREQ("param is null", net_last_error());
    EXPECT_EQ(-101, kcp_client_remote_addr(nullptr, (sockaddr*)&addr));

    // An idle client has no addresses.
    Owner owner;
    KCPCLIENT client = make_client(&owner);
    memset(&addr, 0xab, sizeof(addr));
    EXPECT_EQ(0, kcp_client_local_addr(client, (sockaddr*)&addr));
    EXPECT_EQ(0u, addr.sin_port);
    EXPECT_EQ(0u, addr.sin_addr.s_addr);
    kcp_client_destroy(client);
}

/* ---- Owners that close from inside callbacks ---------------------------- */

TEST(KcpClient, OwnerMayStopOrDestroyFromInsideItsCallbacks) {
    // Stop while a read holds several frames: the rest are not delivered.
    {
        HandSession h;
        ASSERT_TRUE(h.announce());
        ASSERT_TRUE(h.welcome());
        h.owner.stop_on_recv = true;
        // A partial frame first, so the rest is walked inside the buffer the stop frees.
        std::string frames = frame(FRAME_DATA, "a") + frame(FRAME_DATA, "b") + frame(FRAME_DATA, "c");
        h.hs.peer.send_tcp(frames.substr(0, 3));
        drive_for(h.step(), 30);
        h.hs.peer.send_tcp(frames.substr(3));
        ASSERT_TRUE(drive(h.step(), [&] { return h.hs.peer.tcp_closed; }));
        EXPECT_EQ(1u, h.owner.count("recv"));
        EXPECT_EQ(0u, h.owner.count("disconnect"));
        // Stopped, then started again: it works as before.
        h.owner.stop_on_recv = false;
        HandServer again;
        start(h.client, again.port);
        ASSERT_TRUE(again.accept_and_announce(h.client));
        again.peer.send_message(MSG_WELCOME, "");
        auto step = [&] { kcp_client_run(h.client, 0); again.peer.pump(); };
        ASSERT_TRUE(drive(step, [&] { return h.owner.count("connect") == 2; }));
        // Nothing of the stopped connection's read survives into the new one.
        drive_for(step, 30);
        EXPECT_EQ(1u, h.owner.count("recv"));
    }
    // Stop while the pending deliveries are being handed over.
    {
        HandSession h;
        ASSERT_TRUE(h.announce());
        h.hs.peer.send_frame(FRAME_DATA, "one");
        h.hs.peer.send_frame(FRAME_DATA, "two");
        drive_for(h.step(), 30);
        h.owner.stop_on_recv = true;
        h.hs.peer.send_message(MSG_WELCOME, "");
        h.hs.peer.send_message(MSG_DATA, "three");
        ASSERT_TRUE(drive(h.step(), [&] { return h.hs.peer.tcp_closed; }));
        EXPECT_EQ(1u, h.owner.count("recv"));
    }
    // Destroy inside the connect result: of a refusal, of a time-out, of success.
    for (int variant = 0; variant < 3; ++variant) {
        HandSession h;
        h.owner.destroy_on_connect = true;
        if (variant == 0)
            start(h.client, free_port());
        if (variant == 1)
            start(h.client, h.hs.port, 0);
        if (variant == 2) {
            ASSERT_TRUE(h.announce());
            h.hs.peer.send_frame(FRAME_DATA, "pending");
            drive_for(h.step(), 30);
            h.hs.peer.send_message(MSG_WELCOME, "");
        }
        ASSERT_TRUE(drive(h.step(), [&] { return h.owner.destroyed; })) << variant;
        EXPECT_EQ(1u, h.owner.events.size());
        if (variant == 2) {
            EXPECT_TRUE(drive([&] { h.hs.peer.pump(); }, [&] { return h.hs.peer.tcp_closed; }));
        }
    }
}

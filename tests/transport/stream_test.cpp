// One battery for the two stream clients, each against our own server of its
// kind on loopback: the TCP client and the KCP client (KCP messages, with the
// TCP control channel for bulk). What only one kind does is tested in its file.
#include <uv.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/Net.h"
#include "transport.h"

using namespace testnet;

namespace {

// What the client's owner saw; it may destroy the client from a callback.
struct Seen {
    std::vector<int> codes;
    std::vector<std::string> texts;
    std::string data;
    int disconnects = 0;
    void* client = nullptr;
    char destroy_on = 0;  // 'c' connect result, 'r' data
    bool destroyed = false;
};

// What our server's owner saw.
struct Far {
    std::vector<void*> peers;
    std::string data;
    int disconnects = 0;
};

template <typename K>
void Maybe(Seen* s, char event) {
    if (s->destroy_on == event) {
        K::Destroy((typename K::Client)s->client);
        s->destroyed = true;
    }
}

template <typename K>
void OnConnect(int code, const char* text, void* user) {
    Seen* s = (Seen*)user;
    s->codes.push_back(code);
    s->texts.push_back(text);
    Maybe<K>(s, 'c');
}

template <typename K>
void OnData(const char* data, int length, void* user) {
    ((Seen*)user)->data.append(data, (size_t)length);
    Maybe<K>((Seen*)user, 'r');
}

void OnGone(void* user) { ((Seen*)user)->disconnects++; }
void OnPeer(void* peer, void* user) { ((Far*)user)->peers.push_back(peer); }
void OnPeerData(const char* data, int length, void* user) { ((Far*)user)->data.append(data, (size_t)length); }
void OnPeerGone(void* user) { ((Far*)user)->disconnects++; }

struct Tcp {
    using Client = TCPCLIENT;
    using Server = TCPSERVER;
    static constexpr int kRefused = UV_ECONNREFUSED;
    static constexpr int kQueueFillers = 2;  // a connect must stay pending, not be accepted by the kernel
    static Client Create(Seen* s) {
        Client c = tcp_client_create();
        tcp_client_set_user_data(c, s);
        tcp_client_set_connect_cb(c, OnConnect<Tcp>);
        tcp_client_set_recv_cb(c, [](const char* d, int64_t n, void* u) { OnData<Tcp>(d, (int)n, u); });
        tcp_client_set_disconnect_cb(c, OnGone);
        return c;
    }
    static void Start(Client c, const sockaddr* to, int ms) { tcp_client_start(c, to, ms); }
    static void Run(Client c) { tcp_client_run(c, NET_RUN_NOWAIT); }
    static int Send(Client c, const std::string& d) { return tcp_client_send(c, d.data(), (int)d.size()); }
    static int SendBulk(Client c, const std::string& d) { return Send(c, d); }
    static void Close(Client c) { tcp_client_close(c); }
    static void Destroy(Client c) { tcp_client_destroy(c); }
    static int Address(Client c, bool local, sockaddr_in* out) {
        return (local ? tcp_client_local_addr : tcp_client_remote_addr)(c, (sockaddr*)out);
    }
    static Server Listen(const sockaddr* at, Far* far) {
        Server s = tcp_server_create();
        tcp_server_set_user_data(s, far);
        tcp_server_set_connect_cb(s, [](TCPCLIENT p, void* u) { OnPeer(p, u); });
        tcp_server_set_recv_cb(s, [](TCPCLIENT, const char* d, int n, void* u) { OnPeerData(d, n, u); });
        tcp_server_set_disconnect_cb(s, [](TCPCLIENT, void* u) { OnPeerGone(u); });
        EXPECT_EQ(tcp_server_start(s, at), 0);
        return s;
    }
    static void ServerRun(Server s) { tcp_server_run(s, NET_RUN_NOWAIT); }
    static void ServerDestroy(Server s) { tcp_server_destroy(s); }
};

struct Kcp {
    using Client = KCPCLIENT;
    using Server = KCPServer*;
    static constexpr int kRefused = -2;
    static constexpr int kQueueFillers = 0;  // the TCP connect completes; nobody announces a port
    static Client Create(Seen* s) {
        Client c = kcp_client_create(2);
        kcp_client_set_user_data(c, s);
        kcp_client_set_connect_cb(c, OnConnect<Kcp>);
        kcp_client_set_recv_cb(c, [](const char* d, int n, int, void* u) { OnData<Kcp>(d, n, u); });
        kcp_client_set_disconnect_cb(c, OnGone);
        return c;
    }
    static void Start(Client c, const sockaddr* to, int ms) { kcp_client_start(c, to, ms); }
    static void Run(Client c) { kcp_client_run(c, NET_RUN_NOWAIT); }
    static int Send(Client c, const std::string& d) { return kcp_client_send(c, d.data(), (int)d.size(), 1); }
    static int SendBulk(Client c, const std::string& d) { return kcp_client_send(c, d.data(), (int)d.size(), 0); }
    static void Close(Client c) { kcp_client_stop(c); }
    static void Destroy(Client c) { kcp_client_destroy(c); }
    static int Address(Client c, bool local, sockaddr_in* out) {
        return (local ? kcp_client_local_addr : kcp_client_remote_addr)(c, (sockaddr*)out);
    }
    static Server Listen(const sockaddr* at, Far* far) {
        Server s = kcp_server_create(2);
        kcp_server_set_user_data(s, far);
        kcp_server_set_connect_cb(s, [](KCPCLIENT p, void* u) { OnPeer(p, u); });
        kcp_server_set_recv_cb(s, [](KCPCLIENT, const char* d, int n, int, void* u) { OnPeerData(d, n, u); });
        kcp_server_set_disconnect_cb(s, [](KCPCLIENT, void* u) { OnPeerGone(u); });
        EXPECT_EQ(kcp_server_start(s, at), 0);
        return s;
    }
    static void ServerRun(Server s) { kcp_server_run(s, NET_RUN_NOWAIT); }
    static void ServerDestroy(Server s) { kcp_server_destroy(s); }
};

template <typename K>
class Stream : public ::testing::Test {
protected:
    using C = typename K::Client;
    Watchdog watchdog{60};
    sockaddr_in at = Ipv4("127.0.0.1", FreePort());
    Far far;
    typename K::Server server = K::Listen(Sa(at), &far);
    Seen seen;
    C client = K::Create(&seen);

    Stream() { seen.client = client; }
    ~Stream() {
        if (!seen.destroyed)
            K::Destroy(client);
        K::ServerDestroy(server);
    }
    void Step() {
        if (!seen.destroyed)
            K::Run(client);
        K::ServerRun(server);
    }
    bool Until(const std::function<bool()>& done, int ms = 5000) { return WaitUntil([this] { Step(); }, done, ms); }
    void For(int ms) { RunFor([this] { Step(); }, ms); }
    C Peer(size_t i = 0) { return (C)far.peers.at(i); }
    bool Connect() {
        size_t peers = far.peers.size(), codes = seen.codes.size();
        K::Start(client, Sa(at), 5000);
        return Until([&] { return seen.codes.size() > codes && far.peers.size() > peers; });
    }
};

using Kinds = ::testing::Types<Tcp, Kcp>;
TYPED_TEST_SUITE(Stream, Kinds);

}  // namespace

TYPED_TEST(Stream, ConnectsAndExchangesBothWays) {
    using K = TypeParam;
    EXPECT_LT(K::Send(this->client, "early"), 0);
    ASSERT_TRUE(this->Connect());
    EXPECT_EQ(this->seen.codes, std::vector<int>{0});
    EXPECT_EQ(this->seen.texts[0], "no error");
    sockaddr_in remote, local, peer_remote;
    ASSERT_EQ(K::Address(this->client, false, &remote), 0);
    ASSERT_EQ(K::Address(this->client, true, &local), 0);
    ASSERT_EQ(K::Address(this->Peer(), false, &peer_remote), 0);
    EXPECT_EQ(remote.sin_port, this->at.sin_port);
    EXPECT_EQ(local.sin_port, peer_remote.sin_port);

    std::string big(60000, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = (char)(i * 7 + i / 251);
    EXPECT_GT(K::Send(this->client, big), 0);
    ASSERT_TRUE(this->Until([&] { return this->far.data.size() >= big.size(); }));
    EXPECT_EQ(this->far.data, big);
    EXPECT_GT(K::Send(this->Peer(), "pong"), 0);
    ASSERT_TRUE(this->Until([&] { return this->seen.data == "pong"; }));
}

TYPED_TEST(Stream, EitherSideClosingIsReportedOnceToTheOtherOnly) {
    using K = TypeParam;
    ASSERT_TRUE(this->Connect());
    K::Close(this->Peer());
    ASSERT_TRUE(this->Until([&] { return this->seen.disconnects > 0; }));
    // Writing into the closed connection fails; it never kills the process (SIGPIPE).
    int last = 0;
    for (int i = 0; i < 3; ++i, this->For(20))
        last = K::SendBulk(this->client, "x");
    EXPECT_LT(last, 0);
    EXPECT_EQ(this->seen.disconnects, 1);
    EXPECT_EQ(this->far.disconnects, 0);

    // Started again it connects anew; its own close is the server's disconnect.
    ASSERT_TRUE(this->Connect());
    EXPECT_EQ(this->seen.codes, std::vector<int>({0, 0}));
    K::Close(this->client);
    EXPECT_LT(K::Send(this->client, "after close"), 0);
    ASSERT_TRUE(this->Until([&] { return this->far.disconnects > 0; }));
    this->For(50);
    EXPECT_EQ(this->far.disconnects, 1);
    EXPECT_EQ(this->seen.disconnects, 1);
}

TYPED_TEST(Stream, RefusedConnectIsReportedOnce) {
    using K = TypeParam;
    sockaddr_in nobody = Ipv4("127.0.0.1", FreePort());
    K::Start(this->client, Sa(nobody), 300);
    ASSERT_TRUE(this->Until([&] { return !this->seen.codes.empty(); }));
    this->For(500);
    EXPECT_EQ(this->seen.codes[0], K::kRefused);
    EXPECT_EQ(this->seen.texts[0], uv_strerror(UV_ECONNREFUSED));
    EXPECT_EQ(std::count(this->seen.codes.begin(), this->seen.codes.end(), K::kRefused), 1);
}

TYPED_TEST(Stream, TimeOutIsReportedOnceAndTheLateResultNever) {
    using K = TypeParam;
    uint16_t port = 0;
    int hole = Listen(&port, 0);
    std::vector<int> fillers;
    for (int i = 0; i < K::kQueueFillers; ++i)
        fillers.push_back(Connect(port));
    usleep(50000);
    sockaddr_in to = Ipv4("127.0.0.1", port);
    K::Start(this->client, Sa(to), 200);
    ASSERT_TRUE(this->Until([&] { return !this->seen.codes.empty(); }));
    // The listener goes: the next retransmitted SYN is refused, after the time-out.
    close(hole);
    this->For(1500);
    EXPECT_EQ(this->seen.codes, std::vector<int>{-1});
    EXPECT_EQ(this->seen.texts[0], "connect timeout");
    for (int fd : fillers)
        close(fd);
}

TYPED_TEST(Stream, CallbacksMayDestroyTheirClient) {
    using K = TypeParam;
    sockaddr_in nobody = Ipv4("127.0.0.1", FreePort());
    for (char on : {'c', 'C', 'r'}) {
        SCOPED_TRACE(on);
        Seen seen;
        seen.destroy_on = on == 'r' ? 'r' : 'c';
        seen.client = K::Create(&seen);
        K::Start((typename K::Client)seen.client, on == 'c' ? Sa(nobody) : Sa(this->at), 5000);
        size_t peers = this->far.peers.size();
        auto step = [&] {
            if (!seen.destroyed)
                K::Run((typename K::Client)seen.client);
            K::ServerRun(this->server);
        };
        if (on == 'r') {
            ASSERT_TRUE(WaitUntil(step, [&] { return this->far.peers.size() > peers; }));
            K::Send(this->Peer(peers), "last words");
        }
        ASSERT_TRUE(WaitUntil(step, [&] { return seen.destroyed; }));
        EXPECT_EQ(seen.codes.size(), 1u);
        if (on != 'c') {  // the peer sees the connection end
            EXPECT_TRUE(WaitUntil(step, [&] { return this->far.disconnects == (on == 'C' ? 1 : 2); }));
        }
    }
}

TYPED_TEST(Stream, DestroyDoesNotWaitForAPeerThatStoppedReading) {
    using K = TypeParam;
    ASSERT_TRUE(this->Connect());
    std::string chunk(1 << 20, 'z');
    for (int i = 0; i < 32; ++i)
        ASSERT_GT(K::SendBulk(this->client, chunk), 0);
    K::Run(this->client);
    K::Destroy(this->client);  // a graceful close would wait for the server to read 32 MiB
    this->seen.destroyed = true;
    EXPECT_TRUE(this->Until([&] { return this->far.disconnects == 1; }, 20000));
}

// One battery for the two stream clients, each against our own server of its
// kind on loopback: the TCP client, and the KCP client (KCP messages, the TCP
// control channel for bulk). What one kind alone does is tested in its file.
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
};
// What our server's owner saw.
struct Far {
    std::vector<void*> peers;
    std::string data;
    int disconnects = 0;
};

template <typename K>
void OnEvent(void* user, char event, int code, const char* text, int length) {
    Seen* s = (Seen*)user;
    if (event == 'c')
        s->codes.push_back(code), s->texts.push_back(text);
    else
        s->data.append(text, (size_t)length);
    if (s->destroy_on == event) {
        K::Destroy((typename K::Client)s->client);
        s->client = nullptr;
    }
}
void OnGone(void* user) { ((Seen*)user)->disconnects++; }

struct Tcp {
    using Client = TCPCLIENT;
    using Server = TCPSERVER;
    static constexpr int kRefused = UV_ECONNREFUSED;
    static constexpr int kQueueFillers = 2;  // the connect must stay pending, unaccepted by the kernel
    static Client Create(Seen* s) {
        Client c = tcp_client_create();
        tcp_client_set_user_data(c, s);
        tcp_client_set_connect_cb(c, [](int code, const char* t, void* u) { OnEvent<Tcp>(u, 'c', code, t, 0); });
        tcp_client_set_recv_cb(c, [](const char* d, int64_t n, void* u) { OnEvent<Tcp>(u, 'r', 0, d, (int)n); });
        tcp_client_set_disconnect_cb(c, OnGone);
        return c;
    }
    static constexpr auto Start = tcp_client_start;
    static void Run(Client c) { tcp_client_run(c, NET_RUN_NOWAIT); }
    static int Send(Client c, const std::string& d) { return tcp_client_send(c, d.data(), (int)d.size()); }
    static int SendBulk(Client c, const std::string& d) { return Send(c, d); }
    static constexpr auto Close = tcp_client_close;
    static constexpr auto Destroy = tcp_client_destroy;
    static Server Listen(const sockaddr* at, Far* far) {
        Server s = tcp_server_create();
        tcp_server_set_user_data(s, far);
        tcp_server_set_connect_cb(s, [](TCPCLIENT p, void* u) { ((Far*)u)->peers.push_back(p); });
        tcp_server_set_recv_cb(s, [](TCPCLIENT, const char* d, int n, void* u) { ((Far*)u)->data.append(d, (size_t)n); });
        tcp_server_set_disconnect_cb(s, [](TCPCLIENT, void* u) { ((Far*)u)->disconnects++; });
        EXPECT_EQ(tcp_server_start(s, at), 0);
        return s;
    }
    static void ServerRun(Server s) { tcp_server_run(s, NET_RUN_NOWAIT); }
    static constexpr auto ServerDestroy = tcp_server_destroy;
};

struct Kcp {
    using Client = KCPCLIENT;
    using Server = KCPServer*;
    static constexpr int kRefused = -2;
    static constexpr int kQueueFillers = 0;  // the TCP connect completes; nobody announces a port
    static Client Create(Seen* s) {
        Client c = kcp_client_create(2);
        kcp_client_set_user_data(c, s);
        kcp_client_set_connect_cb(c, [](int code, const char* t, void* u) { OnEvent<Kcp>(u, 'c', code, t, 0); });
        kcp_client_set_recv_cb(c, [](const char* d, int n, int, void* u) { OnEvent<Kcp>(u, 'r', 0, d, n); });
        kcp_client_set_disconnect_cb(c, OnGone);
        return c;
    }
    static constexpr auto Start = kcp_client_start;
    static void Run(Client c) { kcp_client_run(c, NET_RUN_NOWAIT); }
    static int Send(Client c, const std::string& d) { return kcp_client_send(c, d.data(), (int)d.size(), 1); }
    static int SendBulk(Client c, const std::string& d) { return kcp_client_send(c, d.data(), (int)d.size(), 0); }
    static constexpr auto Close = kcp_client_stop;
    static constexpr auto Destroy = kcp_client_destroy;
    static Server Listen(const sockaddr* at, Far* far) {
        Server s = kcp_server_create(2);
        kcp_server_set_user_data(s, far);
        kcp_server_set_connect_cb(s, [](KCPCLIENT p, void* u) { ((Far*)u)->peers.push_back(p); });
        kcp_server_set_recv_cb(s, [](KCPCLIENT, const char* d, int n, int, void* u) { ((Far*)u)->data.append(d, (size_t)n); });
        kcp_server_set_disconnect_cb(s, [](KCPCLIENT, void* u) { ((Far*)u)->disconnects++; });
        EXPECT_EQ(kcp_server_start(s, at), 0);
        return s;
    }
    static void ServerRun(Server s) { kcp_server_run(s, NET_RUN_NOWAIT); }
    static constexpr auto ServerDestroy = kcp_server_destroy;
};

template <typename K>
class Stream : public ::testing::Test {
protected:
    using C = typename K::Client;
    Watchdog watchdog{60};
    sockaddr_in at = Ipv4("127.0.0.1", FreePort()), nobody = Ipv4("127.0.0.1", FreePort());
    Far far;
    typename K::Server server = K::Listen(Sa(at), &far);
    Seen seen;

    Stream() { seen.client = K::Create(&seen); }
    ~Stream() {
        K::Destroy(Client());
        K::ServerDestroy(server);
    }
    C Client() { return (C)seen.client; }
    C Peer() { return (C)far.peers.back(); }
    bool Until(const std::function<bool()>& done, int ms = 5000) {
        return WaitUntil([&] {
            if (seen.client != nullptr)
                K::Run(Client());
            K::ServerRun(server);
        }, done, ms);
    }
    void For(int ms) { Until([] { return false; }, ms); }
    bool Connect(const sockaddr_in& to) {
        size_t peers = far.peers.size(), codes = seen.codes.size();
        K::Start(Client(), Sa(to), 5000);
        return Until([&] { return seen.codes.size() > codes && (&to != &at || far.peers.size() > peers); });
    }
};

using Kinds = ::testing::Types<Tcp, Kcp>;
TYPED_TEST_SUITE(Stream, Kinds);

}  // namespace

TYPED_TEST(Stream, ConnectsAndExchangesBothWays) {
    using K = TypeParam;
    EXPECT_LT(K::Send(this->Client(), "early"), 0);
    ASSERT_TRUE(this->Connect(this->at));
    EXPECT_EQ(this->seen.codes, std::vector<int>{0});
    EXPECT_EQ(this->seen.texts[0], "no error");
    std::string big(60000, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = (char)(i * 7 + i / 251);
    EXPECT_GT(K::Send(this->Client(), big), 0);
    ASSERT_TRUE(this->Until([&] { return this->far.data.size() >= big.size(); }));
    EXPECT_EQ(this->far.data, big);
    EXPECT_GT(K::Send(this->Peer(), "pong"), 0);
    ASSERT_TRUE(this->Until([&] { return this->seen.data == "pong"; }));
}

TYPED_TEST(Stream, EitherSideClosingIsReportedOnceToTheOtherOnly) {
    using K = TypeParam;
    ASSERT_TRUE(this->Connect(this->at));
    K::Close(this->Peer());
    ASSERT_TRUE(this->Until([&] { return this->seen.disconnects > 0; }));
    int last = 0;  // writing into the closed connection fails, and never kills the process (SIGPIPE)
    for (int i = 0; i < 3; ++i, this->For(20))
        last = K::SendBulk(this->Client(), "x");
    EXPECT_LT(last, 0);
    EXPECT_EQ(this->far.disconnects, 0);
    // Started again it connects anew; its own close is the server's disconnect.
    ASSERT_TRUE(this->Connect(this->at));
    K::Close(this->Client());
    EXPECT_LT(K::Send(this->Client(), "after close"), 0);
    ASSERT_TRUE(this->Until([&] { return this->far.disconnects > 0; }));
    this->For(50);
    EXPECT_EQ(this->seen.codes, std::vector<int>({0, 0}));
    EXPECT_EQ(this->far.disconnects + this->seen.disconnects, 2);
}

TYPED_TEST(Stream, RefusedConnectIsReportedOnce) {
    using K = TypeParam;
    K::Start(this->Client(), Sa(this->nobody), 300);
    this->For(600);  // the KCP client then reports its time-out too
    ASSERT_FALSE(this->seen.codes.empty());
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
    K::Start(this->Client(), Sa(to), 200);
    ASSERT_TRUE(this->Until([&] { return !this->seen.codes.empty(); }));
    close(hole);  // the next retransmitted SYN is refused, after the time-out
    this->For(1500);
    EXPECT_EQ(this->seen.codes, std::vector<int>{-1});
    EXPECT_EQ(this->seen.texts[0], "connect timeout");
    for (int fd : fillers)
        close(fd);
}

TYPED_TEST(Stream, CallbacksMayDestroyTheirClient) {
    using K = TypeParam;
    for (char on : {'c', 'C', 'r'}) {  // a refusal, a success, data
        this->seen.destroy_on = on == 'r' ? 'r' : 'c';
        if (this->seen.client == nullptr)
            this->seen.client = K::Create(&this->seen);
        ASSERT_TRUE(this->Connect(on == 'c' ? this->nobody : this->at)) << on;
        if (on == 'r')
            K::Send(this->Peer(), "last words");
        ASSERT_TRUE(this->Until([&] { return this->seen.client == nullptr; })) << on;
    }
    EXPECT_EQ(this->seen.codes, std::vector<int>({K::kRefused, 0, 0}));
    EXPECT_TRUE(this->Until([&] { return this->far.disconnects == 2; }));  // each peer saw its end
}

TYPED_TEST(Stream, DestroyDoesNotWaitForAPeerThatStoppedReading) {
    using K = TypeParam;
    ASSERT_TRUE(this->Connect(this->at));
    std::string chunk(1 << 20, 'z');
    for (int i = 0; i < 32; ++i)
        ASSERT_GT(K::SendBulk(this->Client(), chunk), 0);
    K::Run(this->Client());
    K::Destroy(this->Client());  // a graceful close would wait for the server to read 32 MiB
    this->seen.client = nullptr;
    EXPECT_TRUE(this->Until([&] { return this->far.disconnects == 1; }, 20000));
}

// KCP server: a TCP listener for the peers' control connections and one UDP
// socket per peer, all members of one UDP group, so one run drives them all.
#include <string.h>

#include <new>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "byte_order.h"
#include "kcp_frame.h"
#include "kcp_session.h"
#include "udp_group.h"

struct KCPServer {
    virtual ~KCPServer();

    kcp_server_connect_cb on_connect = nullptr;
    kcp_server_disconnect_cb on_disconnect = nullptr;
    kcp_server_recv_cb on_recv = nullptr;
    void* user = nullptr;
    TCPSERVER listener = nullptr;
    std::unordered_set<KCPCLIENT> connections;
    struct sockaddr_in udp_bind;
    UDPGROUP group = nullptr;
    uint32_t mode = 0;
    // What the connections hold for their peers, as last counted, and its bound.
    int64_t held = 0;
    int64_t held_limit = KCP_SERVER_MAX_HELD_BYTES;

    // Which connection a group member serves (the datagram router's lookup).
    std::unordered_map<UDPCLIENT, KCPCLIENT> by_endpoint;
    // Connections as they were when a run began: callbacks may close others meanwhile.
    std::vector<KCPCLIENT> walk;
    // Stop or destroy asked for from inside a callback: done when the run returns.
    int depth = 0;
    bool stop_requested = false;
    bool destroy_requested = false;
};

namespace {

// No callback: the owner either stopped this peer itself or is stopping the server.
void remove_connection(KCPServer* server, KCPCLIENT k) {
    UDPCLIENT endpoint = k->udp;
    server->held -= k->counted;
    server->connections.erase(k);
    server->by_endpoint.erase(endpoint);
    net__udp_group_remove(server->group, endpoint);
    udp_client_destroy(endpoint);
    kcp_client_destroy(k);
}

void remove_closed(KCPServer* server) {
    for (auto it = server->connections.begin(); it != server->connections.end();) {
        KCPCLIENT k = *it++;
        if (k->state == KCP_CLOSED)
            remove_connection(server, k);
    }
}

void stop(KCPServer* server) {
    while (!server->connections.empty())
        remove_connection(server, *server->connections.begin());
    tcp_server_close(server->listener);
    net__udp_group_stop(server->group);
}

// Silent close of every peer, so nothing reaches the owner any more; the
// sockets and memory go when the run that fired the callback returns.
void close_all(KCPServer* server) {
    for (KCPCLIENT k : server->connections)
        net__kcp_session_close(k);
}

bool send_udp_port(TCPCLIENT tcp, UDPCLIENT endpoint) {
    struct sockaddr_in local;
    char ip[16];
    unsigned port = 0;
    udp_client_local_addr(endpoint, (struct sockaddr*)&local);
    net_addr_to_ip((const struct sockaddr*)&local, ip, &port);
    char payload[4];
    net__write_u32(payload, port);
    StreamBuffer frame;
    net__stream_buffer_init(&frame);
    bool built = net__kcp_frame_build(&frame, FRAME_UDP_PORT, payload, sizeof(payload));
    int sent = built ? tcp_client_send(tcp, frame.data, (int)frame.size) : -1;
    net__stream_buffer_release(&frame);
    return sent > 0;
}

void on_accept(TCPCLIENT tcp, void* user) {
    KCPServer* server = (KCPServer*)user;
    if (server->stop_requested) {
        tcp_client_close(tcp);
        return;
    }
    UDPCLIENT endpoint = udp_client_create();
    KCPCLIENT k = endpoint != nullptr ? kcp_client_create((int)server->mode) : nullptr;
    if (k == nullptr) {
        udp_client_destroy(endpoint);
        tcp_client_close(tcp);
        return;
    }
    // The accepted connection's own callbacks are unused, so its user value
    // can lead straight to the connection object.
    tcp_client_set_user_data(tcp, k);
    udp_client_set_user_data(endpoint, k);
    net__kcp_session_attach(k, server, tcp, endpoint);
    server->connections.insert(k);
    server->by_endpoint[endpoint] = k;
    if (net__udp_group_add(server->group, endpoint, (const struct sockaddr*)&server->udp_bind) != 0 ||
        !send_udp_port(tcp, endpoint))
        net__kcp_session_close(k);
}

KCPCLIENT connection_of(TCPCLIENT tcp) {
    KCPCLIENT k = (KCPCLIENT)tcp_client_user_data(tcp);
    return k != nullptr && k->state != KCP_CLOSED ? k : nullptr;
}

/* ---- The bound on what all peers hold together --------------------------- */

// Brings k's share of the total up to date (cheap: the counts are kept as memory comes and goes).
void recount(KCPServer* server, KCPCLIENT k) {
    int64_t now = kcp_client_held_bytes(k);
    server->held += now - k->counted;
    k->counted = now;
}

// The open connection holding the most, with extra added to k's share.
KCPCLIENT biggest_holder(KCPServer* server, KCPCLIENT k, int64_t extra) {
    KCPCLIENT biggest = nullptr;
    int64_t most = 0;
    for (KCPCLIENT c : server->connections) {
        int64_t share = c->counted + (c == k ? extra : 0);
        if (c->state != KCP_CLOSED && share > most) {
            biggest = c;
            most = share;
        }
    }
    return biggest;
}

// Frees what a connection holds at once rather than at its removal.
void release_held(KCPServer* server, KCPCLIENT k) {
    kcp_client_stop(k);
    recount(server, k);
}

// Drops the biggest holders until the total plus extra (what k is about to
// take) fits; false when k itself was dropped. A victim goes the way a peer
// that broke the protocol goes (its owner hears of it when it had been
// reported connected), and its memory is freed at once so the total is true.
bool make_room(KCPServer* server, KCPCLIENT k, int64_t extra) {
    if (server->held + extra <= server->held_limit)
        return true;
    // Queues drained and peers stopped since their last count; peers already
    // closed (broken, timed out) give their memory back before anyone pays.
    for (KCPCLIENT c : server->connections) {
        if (c->state == KCP_CLOSED)
            release_held(server, c);
        else
            recount(server, c);
    }
    while (server->held + extra > server->held_limit) {
        KCPCLIENT victim = biggest_holder(server, k, extra);
        if (victim == nullptr)
            break;
        net__kcp_server_peer_lost(server, victim);
        release_held(server, victim);
        if (victim == k)
            return false;
    }
    return true;
}

void on_tcp_closed(TCPCLIENT tcp, void* user) {
    KCPCLIENT k = connection_of(tcp);
    if (k != nullptr)
        net__kcp_server_peer_lost((KCPServer*)user, k);
}

void on_tcp_data(TCPCLIENT tcp, const char* data, int length, void* user) {
    KCPServer* server = (KCPServer*)user;
    KCPCLIENT k = connection_of(tcp);
    if (k == nullptr || length <= 0)
        return;
    // Room is made first: one read may double the frame buffer.
    int64_t growth = (int64_t)(net__stream_buffer_capacity_after(&k->stream, (size_t)length) - k->stream.capacity);
    if (!make_room(server, k, growth))
        return;
    net__kcp_session_tcp_data(k, data, length);
    recount(server, k);
    make_room(server, k, 0);
}

void on_datagram(UDPCLIENT member, const char* data, int length, const struct sockaddr* sender, void* user) {
    KCPServer* server = (KCPServer*)user;
    auto it = server->by_endpoint.find(member);
    if (it == server->by_endpoint.end() || it->second->state == KCP_CLOSED)
        return;
    KCPCLIENT k = it->second;
    // One datagram adds at most a few dozen segments: checked after it.
    net__kcp_session_datagram(k, data, length, sender);
    recount(server, k);
    make_room(server, k, 0);
}

void run(KCPServer* server, int mode) {
    tcp_server_run(server->listener, mode);
    net__udp_group_run(server->group, mode);
    server->walk.assign(server->connections.begin(), server->connections.end());
    for (KCPCLIENT k : server->walk) {
        if (k->state == KCP_CLOSED) {
            remove_connection(server, k);
            continue;
        }
        kcp_client_run(k, mode);
        recount(server, k);  // messages taken, acknowledgements sent
    }
    // Connections closed by the walk itself (time-outs, the owner's stops).
    remove_closed(server);
}

}  // namespace

KCPServer::~KCPServer() {
    stop(this);
    tcp_server_destroy(listener);
    net__udp_group_destroy(group);
}

void net__kcp_server_notify_connected(struct KCPServer* server, KCPCLIENT k) {
    if (server->on_connect != nullptr)
        server->on_connect(k, server->user);
}

void net__kcp_server_notify_recv(struct KCPServer* server, KCPCLIENT k, const char* data, int length, int channel) {
    if (server->on_recv != nullptr)
        server->on_recv(k, data, length, channel, server->user);
}

void net__kcp_server_peer_lost(struct KCPServer* server, KCPCLIENT k) {
    if (k->state == KCP_CLOSED)
        return;
    if (k->state == KCP_CONNECTED && server->on_disconnect != nullptr) {
        // Reported once: a stop by the owner inside the callback closes it too.
        k->state = KCP_DISCONNECTED;
        server->on_disconnect(k, server->user);
    }
    net__kcp_session_close(k);
}

struct KCPServer* kcp_server_create(int mode) {
    KCPServer* server = new (std::nothrow) KCPServer();
    if (server == nullptr)
        return nullptr;
    server->mode = (uint32_t)mode;
    memset(&server->udp_bind, 0, sizeof(server->udp_bind));
    server->listener = tcp_server_create();
    server->group = net__udp_group_create();
    if (server->listener == nullptr || server->group == nullptr) {
        delete server;
        return nullptr;
    }
    tcp_server_set_user_data(server->listener, server);
    tcp_server_set_connect_cb(server->listener, on_accept);
    tcp_server_set_disconnect_cb(server->listener, on_tcp_closed);
    tcp_server_set_recv_cb(server->listener, on_tcp_data);
    net__udp_group_set_user_data(server->group, server);
    net__udp_group_set_recv_cb(server->group, on_datagram);
    return server;
}

void kcp_server_destroy(struct KCPServer* server) {
    if (server == nullptr)
        return;
    if (server->depth > 0) {
        close_all(server);
        server->stop_requested = server->destroy_requested = true;
        return;
    }
    delete server;
}

int kcp_server_start(struct KCPServer* server, const struct sockaddr* listen_addr) {
    if (server == nullptr)
        return NET_ERR_NULL_HANDLE;
    if (listen_addr == nullptr)
        return net__fail(NET_ERR_NULL_HANDLE, "param is null");
    if (server->depth > 0)  // a restart from a callback would free what the run is walking
        return net__fail(-1, "kcp server is running");
    stop(server);
    memcpy(&server->udp_bind, listen_addr, sizeof(server->udp_bind));
    server->udp_bind.sin_port = 0;
    net__udp_group_start(server->group);
    return tcp_server_start(server->listener, listen_addr);
}

void kcp_server_stop(struct KCPServer* server) {
    if (server == nullptr)
        return;
    if (server->depth > 0) {
        close_all(server);
        server->stop_requested = true;
        return;
    }
    stop(server);
}

void kcp_server_run(struct KCPServer* server, int mode) {
    if (server == nullptr || server->stop_requested)
        return;
    net__budget_enter();
    server->depth++;
    run(server, mode);
    net__budget_leave();
    if (--server->depth > 0)
        return;
    if (server->destroy_requested) {
        delete server;
    } else if (server->stop_requested) {
        server->stop_requested = false;
        stop(server);
    }
}

void kcp_server_set_connect_cb(struct KCPServer* server, kcp_server_connect_cb cb) {
    if (server != nullptr)
        server->on_connect = cb;
}

void kcp_server_set_disconnect_cb(struct KCPServer* server, kcp_server_disconnect_cb cb) {
    if (server != nullptr)
        server->on_disconnect = cb;
}

void kcp_server_set_recv_cb(struct KCPServer* server, kcp_server_recv_cb cb) {
    if (server != nullptr)
        server->on_recv = cb;
}

void kcp_server_set_user_data(struct KCPServer* server, void* user) {
    if (server != nullptr)
        server->user = user;
}

int64_t kcp_server_held_bytes(struct KCPServer* server) {
    if (server == nullptr)
        return 0;
    for (KCPCLIENT k : server->connections)
        recount(server, k);
    return server->held;
}

void kcp_server_set_held_limit(struct KCPServer* server, int64_t bytes) {
    if (server != nullptr)
        server->held_limit = bytes > 0 ? bytes : KCP_SERVER_MAX_HELD_BYTES;
}

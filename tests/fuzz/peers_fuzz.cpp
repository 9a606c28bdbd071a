// libFuzzer target for KCP connections fed by a hostile peer, without
// sockets: an outgoing client left handshaking as a start leaves it, and two
// connections of a KCP server, handed to the server's own TCP and datagram
// handlers as its listener and UDP group would (so the server's source is
// compiled in here). The input: mode, the server's held limit, a mask of the
// callbacks that stop their connection, then operations (control bytes or a
// datagram for one of the three, runs, stops, each repeated up to 128 times). After each operation the
// client's held entries agree with its counter and stay within its bound,
// and the server holds no more than its limit.
#include <stdlib.h>

#include <algorithm>
#include <string>

#include "kcp_server.cpp"

namespace {

const uint8_t* g_in;
size_t g_left;
unsigned g_mask, g_calls;

uint32_t Take(int bytes) {  // little-endian; zeros past the end
    uint32_t v = 0;
    for (int i = 0; i < bytes && g_left > 0; ++i, --g_left)
        v |= (uint32_t)*g_in++ << (8 * i);
    return v;
}

void MaybeStop(KCPCLIENT k) {
    if (g_mask >> (g_calls++ % 8) & 1)
        kcp_client_stop(k);
}
void ClientConnected(int, const char*, void* user) { MaybeStop((KCPCLIENT)user); }
void ClientReceived(const char*, int, int, void* user) { MaybeStop((KCPCLIENT)user); }
void PeerEvent(KCPCLIENT k, void*) { MaybeStop(k); }
void PeerReceived(KCPCLIENT k, const char*, int, int, void*) { MaybeStop(k); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    g_in = data;
    g_left = size;
    const int mode = (int)(Take(1) % 3);
    const int64_t limit = Take(3) + 1;
    g_mask = Take(1);
    g_calls = 0;
    KCPServer* server = kcp_server_create(mode);
    kcp_server_set_held_limit(server, limit);
    kcp_server_set_connect_cb(server, PeerEvent);
    kcp_server_set_disconnect_cb(server, PeerEvent);
    kcp_server_set_recv_cb(server, PeerReceived);
    KCPCLIENT peer[3];
    TCPCLIENT tcp[3] = {};
    UDPCLIENT udp[3] = {};
    for (int i = 0; i < 3; ++i) {
        peer[i] = kcp_client_create(mode);
        if (i == 0) {
            peer[0]->state = KCP_CONNECTING;
            kcp_client_set_connect_cb(peer[0], ClientConnected);
            kcp_client_set_recv_cb(peer[0], ClientReceived);
            kcp_client_set_user_data(peer[0], peer[0]);
            continue;
        }
        tcp[i] = tcp_client_create();
        udp[i] = udp_client_create();
        tcp_client_set_user_data(tcp[i], peer[i]);
        net__kcp_session_attach(peer[i], server, tcp[i], udp[i]);
        server->connections.insert(peer[i]);
        server->by_endpoint[udp[i]] = peer[i];
    }
    struct sockaddr_in from = {};
    from.sin_family = AF_INET;
    from.sin_port = htons(9);
    from.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const struct sockaddr* sender = (const struct sockaddr*)&from;
    for (int op = 0; op < 400 && g_left > 0; ++op) {
        const uint32_t code = Take(1);  // modulo 3: which one; then modulo 4: what; then log2 of the repeats
        const int i = (int)(code % 3), what = (int)(code / 3 % 4);
        std::string d(what < 2 ? std::min<size_t>(Take(2) % 2048, g_left) : 0, '\0');
        for (char& c : d)
            c = (char)Take(1);
        const int n = (int)d.size();
        for (int repeat = 1 << (code / 12 % 8); repeat > 0; --repeat) {
            const bool open = i == 0 || server->connections.count(peer[i]) != 0;
            if (what == 0 && i == 0)
                net__kcp_session_tcp_data(peer[0], d.data(), n);
            else if (what == 0 && open)
                on_tcp_data(tcp[i], d.data(), n, server);
            else if (what == 1 && i == 0)
                net__kcp_session_datagram(peer[0], d.data(), n, sender);
            else if (what == 1 && open)
                on_datagram(udp[i], d.data(), n, sender, server);
            else if (what == 2)
                kcp_client_run(peer[0], NET_RUN_NOWAIT), kcp_server_run(server, NET_RUN_NOWAIT);
            else if (what == 3 && open)
                kcp_client_stop(peer[i]), peer[0]->state = i == 0 ? KCP_CONNECTING : peer[0]->state;
            size_t held = 0;
            for (const KcpDelivery& entry : peer[0]->pending)
                held += entry.bytes.size() + KCP_PENDING_ENTRY_COST;
            if (held != peer[0]->pending_bytes || held > KCP_MAX_PENDING_BYTES ||
                kcp_client_held_bytes(peer[0]) < (int64_t)held || kcp_server_held_bytes(server) > limit)
                abort();
        }
    }
    kcp_client_destroy(peer[0]);
    kcp_server_destroy(server);
    tcp_client_destroy(tcp[1]);
    tcp_client_destroy(tcp[2]);
    return 0;
}

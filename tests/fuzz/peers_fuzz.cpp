// libFuzzer target for KCP connections fed by a hostile peer, without sockets:
// a client left handshaking as a start leaves it, and two connections handed
// to a KCP server's own TCP and datagram handlers (its source is compiled in).
// Input: mode, held limit, a mask of the callbacks that stop their peer, then
// operations; after each, the client's held entries match its counter and stay
// within its bound, and the server within its limit.
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

void MaybeStop(void* k) {
    if (g_mask >> (g_calls++ % 8) & 1)
        kcp_client_stop((KCPCLIENT)k);
}

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
    kcp_server_set_connect_cb(server, [](KCPCLIENT k, void*) { MaybeStop(k); });
    kcp_server_set_disconnect_cb(server, [](KCPCLIENT k, void*) { MaybeStop(k); });
    kcp_server_set_recv_cb(server, [](KCPCLIENT k, const char*, int, int, void*) { MaybeStop(k); });
    KCPCLIENT peer[3] = {kcp_client_create(mode), kcp_client_create(mode), kcp_client_create(mode)};
    TCPCLIENT tcp[3] = {nullptr, tcp_client_create(), tcp_client_create()};
    UDPCLIENT udp[3] = {nullptr, udp_client_create(), udp_client_create()};
    for (int i = 1; i < 3; ++i) {
        tcp_client_set_user_data(tcp[i], peer[i]);
        net__kcp_session_attach(peer[i], server, tcp[i], udp[i]);
        server->connections.insert(peer[i]);
        server->by_endpoint[udp[i]] = peer[i];
    }
    peer[0]->state = KCP_CONNECTING;
    kcp_client_set_user_data(peer[0], peer[0]);
    kcp_client_set_connect_cb(peer[0], [](int, const char*, void* k) { MaybeStop(k); });
    kcp_client_set_recv_cb(peer[0], [](const char*, int, int, void* k) { MaybeStop(k); });
    const struct sockaddr_in sender = {AF_INET, htons(9), {htonl(INADDR_LOOPBACK)}, {}};
    const struct sockaddr* from = (const struct sockaddr*)&sender;
    for (int op = 0; op < 400 && g_left > 0; ++op) {
        const uint32_t code = Take(1);  // modulo 3: which one; then modulo 4: what; then log2 of the repeats
        const int i = (int)(code % 3), what = (int)(code / 3 % 4);
        std::string d(what < 2 ? std::min<size_t>(Take(2) % 2048, g_left) : 0, '\0');
        for (char& c : d)
            c = (char)Take(1);
        const char* p = d.data();
        const int n = (int)d.size();
        for (int repeat = 1 << (code / 12 % 8); repeat > 0; --repeat) {  // checked after each
            if (what < 2 && i > 0 && server->connections.count(peer[i]) == 0)
                break;
            if (what == 0)
                i == 0 ? net__kcp_session_tcp_data(peer[0], p, n) : on_tcp_data(tcp[i], p, n, server);
            else if (what == 1)
                i == 0 ? net__kcp_session_datagram(peer[0], p, n, from) : on_datagram(udp[i], p, n, from, server);
            else if (what == 2)
                kcp_client_run(peer[0], NET_RUN_NOWAIT), kcp_server_run(server, NET_RUN_NOWAIT);
            else if (i == 0 || server->connections.count(peer[i]) != 0)  // a stop; the client starts over
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
    tcp_client_destroy(tcp[1]), tcp_client_destroy(tcp[2]);
    return 0;
}

// KCP connection: a TCP control connection, a KCP conversation and raw
// datagrams on one UDP socket. The same object serves an outgoing client and
// a connection accepted by a KCP server (server role).
#include <stdlib.h>
#include <string.h>

#include <new>

#include "byte_order.h"
#include "kcp_session.h"

namespace {

const char* const kNoError = "no error";
const char* const kConnectTimeout = "connect timeout";
const char* const kConnectException = "connect exception";

int64_t now_ms() {
    return (int64_t)net_poll();
}

/* ---- Engine ------------------------------------------------------------- */

struct ModePreset {
    int nodelay, interval, resend, nc;
};

const ModePreset kPresets[] = {
    {0, KCP_INTERVAL_MS, 0, 0},
    {0, KCP_INTERVAL_MS, 0, 1},
    {1, KCP_INTERVAL_MS, 2, 1},
};

// The engine's output: one datagram to the peer's UDP address.
int datagram_out(const char* data, int length, KcpControl*, void* user) {
    KCPCLIENT k = (KCPCLIENT)user;
    // Nothing can be sent before the peer's address is known; sending to port 0 would only fail.
    if (k->udp == nullptr || k->udp_peer.sin_port == 0)
        return -1;
    return udp_client_send(k->udp, data, length, (const struct sockaddr*)&k->udp_peer) <= 0 ? -1 : length;
}

// A fresh engine (sequence numbers restart at 0) in the object's mode.
void engine_setup(KCPCLIENT k) {
    kcp_release(k->engine);
    k->engine = kcp_create(KCP_CONVERSATION, k);
    if (k->engine == nullptr)
        return;
    const ModePreset& preset = kPresets[k->mode < 3 ? k->mode : 0];
    kcp_set_nodelay(k->engine, preset.nodelay, preset.interval, preset.resend, preset.nc);
    kcp_set_output(k->engine, datagram_out);
    kcp_set_window(k->engine, 128, 128);
    kcp_set_mtu(k->engine, MAX_UDP_PAYLOAD);
}

// Queues one KCP message; kcp_send's result (length + 2), or -2.
int message_send(KCPCLIENT k, unsigned type, const char* payload, uint32_t length) {
    if (k->engine == nullptr || !net__kcp_message_build(&k->scratch, type, payload, length))
        return -2;
    return kcp_send(k->engine, k->scratch.data, (int)k->scratch.size);
}

// Sends one control frame; tcp_client_send's result.
int frame_send(KCPCLIENT k, unsigned type, const char* payload, uint32_t length) {
    if (k->tcp == nullptr)
        return -1;
    if (!net__kcp_frame_build(&k->scratch, type, payload, length))
        return -2;
    return tcp_client_send(k->tcp, k->scratch.data, (int)k->scratch.size);
}

/* ---- Reports to the owner ----------------------------------------------- */

// Every helper that may call the owner returns whether the caller may go on:
// false once the owner stopped, closed or destroyed the object in a callback.
bool still_ours(KCPCLIENT k, unsigned generation) {
    return k->generation == generation && !k->destroy_requested;
}

bool report_connect(KCPCLIENT k, int code, const char* message) {
    unsigned generation = k->generation;
    if (k->on_connect != nullptr)
        k->on_connect(code, message, k->user);
    return still_ours(k, generation);
}

bool deliver(KCPCLIENT k, const char* data, int length, int channel);

void clear_pending(KCPCLIENT k) {
    k->pending.clear();
    k->pending_bytes = 0;
}

// Hands held data to a connected client's owner, oldest first, while the
// run's share lasts (at least one entry); the rest waits for the next run.
bool hand_over_pending(KCPCLIENT k) {
    unsigned generation = k->generation;
    while (!k->pending.empty()) {
        KcpDelivery delivery = std::move(k->pending.front());
        k->pending.pop_front();
        k->pending_bytes -= delivery.bytes.size() + KCP_PENDING_ENTRY_COST;
        if (k->on_recv != nullptr)
            k->on_recv(delivery.bytes.data(), (int)delivery.bytes.size(), (int)delivery.channel, k->user);
        if (!still_ours(k, generation))
            return false;
        if (!net__budget_left())
            break;
    }
    return true;
}

// The handshake finished on the client side: the result first, then what
// arrived meanwhile, in arrival order.
bool finish_client_handshake(KCPCLIENT k) {
    k->state = KCP_CONNECTED;
    return report_connect(k, 0, kNoError) && hand_over_pending(k);
}

void close_outgoing(KCPCLIENT k);

// The peer broke the protocol (hostile frame length, malformed or oversized
// message, flood before the handshake): the connection is dropped as if the
// peer had closed it.
void protocol_broken(KCPCLIENT k) {
    if (k->server_role) {
        net__kcp_server_peer_lost(k->server, k);
        return;
    }
    close_outgoing(k);
}

// Channel data for the owner: a server-role object passes it to its server at
// once; a client holds it back until the handshake has finished.
bool deliver(KCPCLIENT k, const char* data, int length, int channel) {
    // An empty payload carries nothing to show, so it is neither held nor passed on.
    if (length <= 0)
        return true;
    unsigned generation = k->generation;
    if (k->server_role) {
        net__kcp_server_notify_recv(k->server, k, data, length, channel);
    } else if (k->state == KCP_CONNECTED && k->pending.empty()) {
        if (k->on_recv != nullptr)
            k->on_recv(data, length, channel, k->user);
    } else {
        // Held until the handshake finishes, or behind older data not handed
        // over yet. What an entry costs, not only its payload: a flood of tiny
        // frames must meet the bound as surely as a few big ones.
        const size_t cost = (size_t)length + KCP_PENDING_ENTRY_COST;
        if (k->pending_bytes + cost > KCP_MAX_PENDING_BYTES) {
            protocol_broken(k);
            return false;
        }
        k->pending.push_back(KcpDelivery{(uint32_t)channel, std::string(data, (size_t)length)});
        k->pending_bytes += cost;
    }
    return still_ours(k, generation);
}

/* ---- Frames, datagrams, messages ---------------------------------------- */

bool handle_frame(void* context, unsigned type, const char* payload, uint32_t length) {
    KCPCLIENT k = (KCPCLIENT)context;
    switch (type) {
    case FRAME_DATA:
        return deliver(k, payload, (int)length, 0);
    case FRAME_UDP_PORT:
        // Only a server announces a port; from a client it would redirect our datagrams.
        if (k->server_role || length < 2)
            return true;
        // Announced again later, it moves our datagrams and brings another hello.
        if (k->state == KCP_CONNECTING)
            k->state = KCP_PEER_KNOWN;
        k->udp_peer.sin_port = htons(net__read_u16(payload));
        message_send(k, MSG_HELLO, nullptr, 0);
        return true;
    default:  // keepalives and unknown types
        return true;
    }
}

void read_frames(KCPCLIENT k, const char* data, size_t length) {
    if (k->state == KCP_CLOSED)
        return;
    switch (net__kcp_frames_feed(&k->stream, data, length, handle_frame, k)) {
    case KCP_FEED_BROKEN:
        protocol_broken(k);
        break;
    case KCP_FEED_PAUSED:
        // Nothing more is read until the frames in hand are handed over.
        k->frames_paused = true;
        net__tcp_client_pause(k->tcp, true);
        break;
    default:
        break;
    }
}

// Frames a paused reader still holds go first; reading resumes once they are
// all handed over. False once the object is no longer the caller's to use.
bool resume_frames(KCPCLIENT k) {
    if (!k->frames_paused || k->tcp == nullptr)
        return true;
    unsigned generation = k->generation;
    k->frames_paused = false;
    read_frames(k, nullptr, 0);
    if (!still_ours(k, generation))
        return false;
    if (!k->frames_paused && k->tcp != nullptr)
        net__tcp_client_pause(k->tcp, false);
    return true;
}

void handle_datagram(KCPCLIENT k, const char* data, int length, const struct sockaddr* sender) {
    if (k->state == KCP_CLOSED)
        return;
    if (k->engine != nullptr && kcp_input(k->engine, data, length) >= 0) {
        if (k->state == KCP_CONNECTING) {
            memcpy(&k->udp_peer, sender, sizeof(k->udp_peer));
            k->state = KCP_PEER_KNOWN;
        }
        return;
    }
    deliver(k, data, length, 2);
}

// The handshake finished on the server side: welcome the peer, tell the server.
bool welcome_peer(KCPCLIENT k) {
    unsigned generation = k->generation;
    k->state = KCP_CONNECTED;
    message_send(k, MSG_WELCOME, nullptr, 0);
    net__kcp_server_notify_connected(k->server, k);
    return still_ours(k, generation);
}

// One message taken from the engine. Returns false when the loop must end.
bool handle_message(KCPCLIENT k, int n, int64_t now) {
    if (n < MSG_HEADER_SIZE) {
        protocol_broken(k);
        return false;
    }
    switch (k->state) {
    case KCP_PEER_KNOWN:
        if (!k->server_role)
            return finish_client_handshake(k);
        k->last_kcp_recv = now;
        return welcome_peer(k);
    case KCP_CONNECTED:
    case KCP_DISCONNECTED:
        break;
    default:
        // Before the peer's address is known, a message comes from a datagram
        // whose sender was never recorded (it was partly rejected): there is
        // nowhere to answer. A closed connection has nobody to hand it to.
        return true;
    }
    if (k->server_role)
        k->last_kcp_recv = now;
    unsigned type = net__read_u16(k->recv_buffer);
    return type == MSG_KEEPALIVE || deliver(k, k->recv_buffer + MSG_HEADER_SIZE, n - MSG_HEADER_SIZE, 1);
}

bool take_messages(KCPCLIENT k, int64_t now) {
    if (k->engine == nullptr)
        return true;
    for (;;) {
        int n = kcp_recv(k->engine, k->recv_buffer, KCP_RECV_BUFFER_SIZE);
        if (n == -3) {  // can never fit: the conversation would stall on it forever
            protocol_broken(k);
            return false;
        }
        if (n < 0)
            return true;
        if (!handle_message(k, n, now))
            return false;
        // The rest stays in the engine, in order, for a later run.
        if ((k->state == KCP_CONNECTED && !k->pending.empty()) || !net__budget_left())
            return true;
    }
}

bool keep_alive(KCPCLIENT k, int64_t now) {
    if (k->state != KCP_CONNECTED)
        return true;
    if (k->server_role) {
        if (now - k->last_kcp_recv > 4 * KCP_KEEPALIVE_MS) {
            net__kcp_server_peer_lost(k->server, k);
            return false;
        }
        return true;
    }
    if (now - k->last_kcp_send > KCP_KEEPALIVE_MS) {
        k->last_kcp_send = now;
        message_send(k, MSG_KEEPALIVE, nullptr, 0);
    }
    if (now - k->last_tcp_send > KCP_KEEPALIVE_MS) {
        k->last_tcp_send = now;
        frame_send(k, FRAME_KEEPALIVE, nullptr, 0);
    }
    return true;
}

/* ---- Client role: TCP hooks and lifecycle ------------------------------- */

void on_tcp_connect(int status, const char* message, void* user) {
    KCPCLIENT k = (KCPCLIENT)user;
    // The TCP layer reports an attempt once. A handshake that finished over
    // UDP first no longer depends on it.
    bool handshaking = k->state == KCP_CONNECTING || k->state == KCP_PEER_KNOWN;
    if (status != 0 && handshaking)
        report_connect(k, -2, message);
}

// The TCP connection ended (or was dropped for a broken protocol).
void tcp_ended(KCPCLIENT k) {
    k->deadline = 0;
    if (k->state == KCP_CONNECTED) {
        k->state = KCP_DISCONNECTED;
        if (k->on_disconnect != nullptr)
            k->on_disconnect(k->user);
        return;
    }
    report_connect(k, -3, kConnectException);
}

void on_tcp_disconnect(void* user) {
    KCPCLIENT k = (KCPCLIENT)user;
    tcp_ended(k);
}

void on_tcp_recv(const char* data, int64_t nread, void* user) {
    KCPCLIENT k = (KCPCLIENT)user;
    if (nread > 0)
        read_frames(k, data, (size_t)nread);
}

void on_udp_recv(const char* data, int64_t nread, const struct sockaddr* sender, void* user) {
    KCPCLIENT k = (KCPCLIENT)user;
    if (nread > 0)
        handle_datagram(k, data, (int)nread, sender);
}

// Drops an outgoing client's connection after a protocol fault and reports it
// the way a closed TCP connection is reported.
void close_outgoing(KCPCLIENT k) {
    if (k->tcp != nullptr)
        tcp_client_close(k->tcp);
    if (k->udp != nullptr)
        udp_client_close(k->udp);
    net__stream_buffer_reset(&k->stream);
    k->frames_paused = false;
    clear_pending(k);
    k->generation++;
    tcp_ended(k);
}

void stop(KCPCLIENT k) {
    if (k->tcp != nullptr) {
        if (k->server_role) {
            net__kcp_session_close(k);
        } else {
            tcp_client_close(k->tcp);
        }
    }
    if (k->udp != nullptr)
        udp_client_close(k->udp);
    engine_setup(k);
    net__stream_buffer_reset(&k->stream);
    k->frames_paused = false;
    clear_pending(k);
    // A server-role connection stays CLOSED: its server removes it.
    if (!k->server_role)
        k->state = KCP_IDLE;
    k->pending_error = 0;
    k->deadline = 0;
    k->start_requested = false;
    k->generation++;
}

bool attach_tcp(KCPCLIENT k) {
    if (k->tcp != nullptr)
        return true;
    k->tcp = tcp_client_create();
    if (k->tcp == nullptr)
        return false;
    tcp_client_set_user_data(k->tcp, k);
    tcp_client_set_connect_cb(k->tcp, on_tcp_connect);
    tcp_client_set_disconnect_cb(k->tcp, on_tcp_disconnect);
    tcp_client_set_recv_cb(k->tcp, on_tcp_recv);
    return true;
}

void start(KCPCLIENT k, const struct sockaddr* server, int timeout_ms) {
    struct sockaddr_in target;
    memcpy(&target, server, sizeof(target));
    if (!attach_tcp(k)) {
        k->pending_error = net__fail(NET_ERR_ALLOC_CONTEXT, "kcp client alloc context failed");
        return;
    }
    stop(k);
    int timeout = timeout_ms >= 0 ? timeout_ms : 2147483647;
    k->tcp_remote = k->udp_local = k->udp_peer = target;
    // Never inside the old endpoint's own run: a start made from a callback
    // waits until the run has returned.
    udp_client_destroy(k->udp);
    k->udp = udp_client_create();
    if (k->udp == nullptr) {
        k->pending_error = net__fail(NET_ERR_ALLOC_CONTEXT, "udp client alloc context failed");
        return;
    }
    udp_client_set_user_data(k->udp, k);
    udp_client_set_recv_cb(k->udp, on_udp_recv);
    struct sockaddr_in bind_addr;
    bool loopback = target.sin_addr.s_addr == htonl(INADDR_LOOPBACK);
    net_ip_to_addr(loopback ? "127.0.0.1" : "0.0.0.0", 0, (struct sockaddr*)&bind_addr);
    if (udp_client_start(k->udp, (const struct sockaddr*)&bind_addr) != 0) {
        k->pending_error = NET_ERR_ALLOC_CONTEXT;
        return;
    }
    udp_client_local_addr(k->udp, (struct sockaddr*)&k->udp_local);
    int64_t now = now_ms();
    k->last_kcp_send = k->last_tcp_send = now;
    k->deadline = now + timeout;
    tcp_client_start(k->tcp, (const struct sockaddr*)&k->tcp_remote, timeout);
    k->state = KCP_CONNECTING;
    k->pending_error = 0;
}

// The body of a run; returns early once the owner stopped or destroyed the object.
void run(KCPCLIENT k, int mode) {
    unsigned generation = k->generation;
    int64_t now = now_ms();
    if (k->deadline > 0 && now > k->deadline && k->state != KCP_CONNECTED) {
        if (k->server_role) {
            net__kcp_session_close(k);
            return;
        }
        stop(k);
        if (!report_connect(k, -1, kConnectTimeout))
            return;
        generation = k->generation;
    }
    // What was taken earlier and not handed over yet goes before anything new;
    // until it is all gone nothing new is read or taken, only kept alive.
    if (k->state == KCP_CONNECTED && !hand_over_pending(k))
        return;
    const bool backlog = k->state == KCP_CONNECTED && !k->pending.empty();
    if (!backlog && !resume_frames(k))
        return;
    // A server-role connection's sockets run on its server's loops, which the server runs.
    if (!backlog && !k->server_role) {
        if (k->tcp != nullptr)
            tcp_client_run(k->tcp, mode);
        if (!still_ours(k, generation))
            return;
        if (k->udp != nullptr)
            udp_client_run(k->udp, mode);
        if (!still_ours(k, generation))
            return;
    }
    now = now_ms();
    if (k->engine != nullptr)
        kcp_update(k->engine, (uint32_t)now);
    if ((!backlog && !take_messages(k, now)) || !keep_alive(k, now))
        return;
    if (k->pending_error != 0) {
        int code = k->pending_error;
        k->pending_error = 0;
        report_connect(k, code, net_last_error());
    }
}

void release(KCPCLIENT k) {
    if (!k->server_role) {
        stop(k);
        udp_client_destroy(k->udp);
        tcp_client_destroy(k->tcp);
    }
    kcp_release(k->engine);
    net__stream_buffer_release(&k->stream);
    net__stream_buffer_release(&k->scratch);
    free(k->recv_buffer);
    delete k;
}

// Work that callbacks asked for while the object was busy is done once the
// outermost call that could fire them returns.
void leave(KCPCLIENT k) {
    if (--k->depth > 0)
        return;
    if (k->destroy_requested) {
        release(k);
        return;
    }
    if (k->start_requested) {
        k->start_requested = false;
        k->depth++;
        start(k, (const struct sockaddr*)&k->start_addr, k->start_timeout);
        k->depth--;
    }
}

// The TCP connection's address, or zeros when there is none.
int tcp_address(KCPCLIENT client, struct sockaddr* out, int (*get)(TCPCLIENT, struct sockaddr*)) {
    if (client == nullptr || out == nullptr)
        return net__fail(NET_ERR_NULL_HANDLE, "param is null");
    memset(out, 0, sizeof(struct sockaddr_in));
    if (client->tcp != nullptr)
        get(client->tcp, out);
    return 0;
}

}  // namespace

/* ---- Shared with the KCP server ----------------------------------------- */

void net__kcp_session_attach(KCPCLIENT k, struct KCPServer* server, TCPCLIENT tcp, UDPCLIENT udp) {
    k->server = server;
    k->user = server;
    k->tcp = tcp;
    k->udp = udp;
    k->server_role = true;
    k->state = KCP_CONNECTING;
    memset(&k->udp_local, 0, sizeof(k->udp_local));
    memset(&k->udp_peer, 0, sizeof(k->udp_peer));
    memset(&k->tcp_remote, 0, sizeof(k->tcp_remote));
    k->deadline = now_ms() + KCP_HANDSHAKE_TIMEOUT_MS;
}

void net__kcp_session_close(KCPCLIENT k) {
    if (k->tcp != nullptr)
        tcp_client_close(k->tcp);
    if (k->udp != nullptr)
        udp_client_close(k->udp);
    k->state = KCP_CLOSED;
    k->tcp = nullptr;
    k->frames_paused = false;
    k->deadline = 0;
    k->generation++;
}

void net__kcp_session_tcp_data(KCPCLIENT k, const char* data, int length) {
    if (length > 0)
        read_frames(k, data, (size_t)length);
}

void net__kcp_session_datagram(KCPCLIENT k, const char* data, int length, const struct sockaddr* sender) {
    if (length > 0)
        handle_datagram(k, data, length, sender);
}

/* ---- Public API --------------------------------------------------------- */

KCPCLIENT kcp_client_create(int mode) {
    KCPCLIENT k = new (std::nothrow) kcp_client_s();
    if (k == nullptr)
        return nullptr;
    k->mode = (uint32_t)mode;
    k->state = KCP_IDLE;
    net__stream_buffer_init(&k->stream);
    net__stream_buffer_init(&k->scratch);
    k->recv_buffer = (char*)malloc(KCP_RECV_BUFFER_SIZE);
    engine_setup(k);
    if (k->recv_buffer == nullptr || k->engine == nullptr) {
        release(k);
        return nullptr;
    }
    return k;
}

void kcp_client_destroy(KCPCLIENT client) {
    if (client == nullptr)
        return;
    if (client->depth > 0) {
        // Called from one of its own callbacks: everything stops now, the
        // memory goes when the run that fired the callback returns.
        stop(client);
        client->destroy_requested = true;
        return;
    }
    release(client);
}

void kcp_client_start(KCPCLIENT client, const struct sockaddr* server, int timeout_ms) {
    if (client == nullptr || server == nullptr || client->server_role || client->destroy_requested)
        return;
    if (client->depth > 0) {
        memcpy(&client->start_addr, server, sizeof(client->start_addr));
        client->start_timeout = timeout_ms;
        stop(client);
        client->start_requested = true;
        return;
    }
    client->depth++;
    start(client, server, timeout_ms);
    leave(client);
}

void kcp_client_stop(KCPCLIENT client) {
    if (client != nullptr)
        stop(client);
}

int kcp_client_local_addr(KCPCLIENT client, struct sockaddr* out) {
    return tcp_address(client, out, tcp_client_local_addr);
}

int kcp_client_remote_addr(KCPCLIENT client, struct sockaddr* out) {
    return tcp_address(client, out, tcp_client_remote_addr);
}

int kcp_client_send(KCPCLIENT client, const char* data, int length, int mode) {
    if (client == nullptr)
        return NET_ERR_NULL_HANDLE;
    if (mode >= 0 && mode <= 2 && length > 0 && data == nullptr)
        return -1;
    int rc;
    switch (mode) {
    case 0:
        if (client->state != KCP_CONNECTED || client->tcp == nullptr)
            return net__fail(-1, "kcp client is not connected");
        // A frame the peer would refuse as hostile is not sent at all.
        if (length < 0 || length > KCP_MAX_FRAME_LENGTH - 2)
            return net__fail(-1, "kcp client frame is too long");
        client->last_tcp_send = now_ms();
        rc = frame_send(client, FRAME_DATA, data, (uint32_t)length);
        if (rc <= 0)  // the TCP send's own code and text, or no memory for the frame
            return rc == -2 ? net__fail(NET_ERR_ALLOC_CONTEXT, "kcp client alloc frame failed") : rc;
        return length + FRAME_HEADER_SIZE;
    case 1:
        if (client->state != KCP_CONNECTED || length < 0 || length > KCP_MAX_MESSAGE)
            return -1;
        client->last_kcp_send = now_ms();
        return message_send(client, MSG_DATA, data, (uint32_t)length);
    case 2:
        if (client->state != KCP_CONNECTED || client->udp == nullptr ||
            udp_client_send(client->udp, data, length, (const struct sockaddr*)&client->udp_peer) <= 0)
            return -1;
        return length;
    default:
        return NET_ERR_ALLOC_CONTEXT;
    }
}

int64_t kcp_client_queued_bytes(KCPCLIENT client) {
    return client == nullptr ? 0 : tcp_client_queued_bytes(client->tcp);
}

int64_t kcp_client_held_bytes(KCPCLIENT client) {
    if (client == nullptr)
        return 0;
    // An empty stream buffer has a capacity but no memory yet.
    size_t frame = client->stream.data != nullptr ? client->stream.capacity : 0;
    return (int64_t)(client->pending_bytes + frame + kcp_held_bytes(client->engine));
}

void kcp_client_set_connect_cb(KCPCLIENT client, kcp_client_connect_cb cb) {
    if (client != nullptr)
        client->on_connect = cb;
}

void kcp_client_set_disconnect_cb(KCPCLIENT client, kcp_client_disconnect_cb cb) {
    if (client != nullptr)
        client->on_disconnect = cb;
}

void kcp_client_set_recv_cb(KCPCLIENT client, kcp_client_recv_cb cb) {
    if (client != nullptr)
        client->on_recv = cb;
}

void kcp_client_set_user_data(KCPCLIENT client, void* user) {
    if (client != nullptr)
        client->user = user;
}

void kcp_client_run(KCPCLIENT client, int mode) {
    if (client == nullptr || client->destroy_requested)
        return;
    net__budget_enter();
    client->depth++;
    run(client, mode);
    leave(client);
    net__budget_leave();
}

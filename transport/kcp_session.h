// Internals shared by the KCP client and the KCP server: the connection
// object itself and the notifications a server-role connection raises
// towards its server. Not part of the public API.
#ifndef MAROVENT_TRANSPORT_KCP_SESSION_H
#define MAROVENT_TRANSPORT_KCP_SESSION_H

#include <stddef.h>
#include <stdint.h>

#include <deque>
#include <string>

#include "internal.h"
#include "kcp.h"
#include "kcp_frame.h"

// Largest payload of one channel-1 message.
#define KCP_MAX_MESSAGE (KCP_RECV_BUFFER_SIZE - MSG_HEADER_SIZE)

// Bytes a client keeps for the owner before the handshake finishes; a peer
// that sends more is treated as broken rather than allowed to exhaust memory.
// A test build may lower it to reach it quickly.
#ifndef KCP_MAX_PENDING_BYTES
#define KCP_MAX_PENDING_BYTES (64 * 1024 * 1024)
#endif
// What one held entry costs beyond its payload (the queue's slot, the copy's
// allocation), counted against that bound.
#define KCP_PENDING_ENTRY_COST 64

/* ---- The connection object ---------------------------------------------- */

// Where a connection stands; its whole progress is this one value.
//
// Client role:
//   IDLE --start--> CONNECTING --port frame, or a datagram the engine takes--> PEER_KNOWN
//   PEER_KNOWN --first message (the welcome)--> CONNECTED --TCP ends--> DISCONNECTED
//   stop, or the deadline passing before CONNECTED: back to IDLE from anywhere.
//   Before CONNECTED a refused TCP connect (-2) or a TCP end (-3, which also
//   clears the deadline) is reported and leaves the state as it is.
// Server role, set up by the KCP server in CONNECTING:
//   CONNECTING --first datagram the engine takes--> PEER_KNOWN
//   PEER_KNOWN --first message (the hello)--> CONNECTED
//   CONNECTED --peer lost--> DISCONNECTED while the owner is told, then CLOSED;
//   a close, a stop or the deadline give CLOSED from anywhere, and the server
//   removes a CLOSED connection in its next run.
enum KcpState {
    KCP_IDLE,          // client: created or stopped, nothing open
    KCP_CONNECTING,    // started; the peer's UDP address is not known yet
    KCP_PEER_KNOWN,    // hello queued (client); the first message taken finishes the handshake
    KCP_CONNECTED,     // handshake finished: the channels carry the owner's data
    KCP_DISCONNECTED,  // client: the TCP connection ended after connecting
    KCP_CLOSED,        // server role: closed, waiting for the server to remove it
};

struct KcpDelivery {
    uint32_t channel;
    std::string bytes;
};

struct kcp_client_s {
    kcp_client_connect_cb on_connect;
    kcp_client_recv_cb on_recv;
    kcp_client_disconnect_cb on_disconnect;
    void* user;
    char* recv_buffer;  // KCP_RECV_BUFFER_SIZE bytes, reused for every message
    TCPCLIENT tcp;
    UDPCLIENT udp;
    bool server_role;
    KcpState state;
    int pending_error;
    StreamBuffer stream;
    KcpControl* engine;
    uint32_t mode;
    int64_t deadline;
    int64_t last_kcp_send;
    int64_t last_tcp_send;
    int64_t last_kcp_recv;
    struct sockaddr_in tcp_remote;
    struct sockaddr_in udp_local;
    struct sockaddr_in udp_peer;
    std::deque<KcpDelivery> pending;  // client: taken before the handshake, or not handed over yet
    size_t pending_bytes;
    bool frames_paused;  // whole frames wait in stream; the TCP socket is not read meanwhile

    struct KCPServer* server;  // server role: the server to notify
    int64_t counted;           // server role: its share of the server's held total
    StreamBuffer scratch;      // frames and messages being assembled for sending

    // Re-entrancy, independent of the state: callbacks may stop, destroy or
    // restart the object while the frame reader or the message loop is walking
    // its buffers.
    int depth;               // calls into the object that may fire callbacks
    unsigned generation;     // bumped by every stop or close: loops in progress end
    bool destroy_requested;  // destroyed from a callback: freed when the run returns
    bool start_requested;    // started from a callback: done when the run returns
    struct sockaddr_in start_addr;
    int start_timeout;
};

// Server role: set up k around an accepted connection and its group member.
void net__kcp_session_attach(KCPCLIENT k, struct KCPServer* server, TCPCLIENT tcp, UDPCLIENT udp);
// Closes a server-role connection: TCP and UDP closed, marked for removal.
void net__kcp_session_close(KCPCLIENT k);
// The server hands each event of a server-role connection over.
void net__kcp_session_tcp_data(KCPCLIENT k, const char* data, int length);
void net__kcp_session_datagram(KCPCLIENT k, const char* data, int length, const struct sockaddr* sender);

// Notifications from a server-role connection to its server (kcp_server.cpp).
void net__kcp_server_notify_connected(struct KCPServer* server, KCPCLIENT k);
void net__kcp_server_notify_recv(struct KCPServer* server, KCPCLIENT k, const char* data, int length, int channel);
// The peer went away (TCP closed, silence, or a broken protocol): disconnected
// callback when it had been reported connected, then closed.
void net__kcp_server_peer_lost(struct KCPServer* server, KCPCLIENT k);

#endif

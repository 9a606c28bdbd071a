// The transport library: a plain C-style handle API over libuv.
//
// Every object runs on a private libuv loop of its own (accepted TCP
// connections and UDP group members share their owner's loop; the resolver
// uses the default loop, see its section). Nothing runs
// by itself: callbacks fire only inside the object's run call (or inside a
// start or destroy call that lets the loop finish pending closes). Failures
// return negative codes and leave one library-wide last-error text.
#ifndef MAROVENT_TRANSPORT_H
#define MAROVENT_TRANSPORT_H

#include <stdint.h>

struct sockaddr;

/* ---- Constants and error codes ------------------------------------------ */

// Largest datagram the UDP endpoint accepts; also the KCP MTU.
#define MAX_UDP_PAYLOAD 1400

#define NET_ERR_NULL_HANDLE   (-101) // a null handle was passed
#define NET_ERR_ALLOC_CONTEXT (-102) // the object's socket block could not be allocated
#define NET_ERR_SOCKET_INIT   (-103) // TCP: socket initialisation refused
#define NET_ERR_BIND_CONNECT  (-104) // TCP: bind or connect refused
#define NET_ERR_LISTEN        (-105) // TCP: listen refused
#define NET_ERR_QUEUE_FULL    (-106) // TCP: the send would queue more than NET_MAX_QUEUED_BYTES
#define NET_ERR_RESOLVE       (-107) // resolver: the lookup could not be started

// Bytes a TCP connection (and so a KCP connection's channel 0) queues for a
// peer that does not read before a send is refused: far more than anyone
// types, far less than a machine's memory.
#define NET_MAX_QUEUED_BYTES (64 * 1024 * 1024)

// KCP connections (client and server): every conversation uses one number,
// messages are taken into a buffer that holds the largest one (65535 payload
// bytes plus the 2-byte type), the engine flushes every 10 ms, a connected
// client proves it is alive every 2000 ms on each channel, a server drops a
// peer after 4 keepalive periods of silence or an unfinished handshake.
#define KCP_CONVERSATION         1
#define KCP_RECV_BUFFER_SIZE     65537
#define KCP_INTERVAL_MS          10
#define KCP_KEEPALIVE_MS         2000
#define KCP_HANDSHAKE_TIMEOUT_MS 5000
// Largest length field (type plus payload) a KCP control frame may carry; a
// peer announcing more is dropped rather than buffered without bound.
#define KCP_MAX_FRAME_LENGTH     (16 * 1024 * 1024 + 2)
// What a KCP server holds for all its peers together (unfinished frames,
// received segments, acknowledgements); past it the peer holding the most is
// dropped as broken.
#define KCP_SERVER_MAX_HELD_BYTES (128 * 1024 * 1024)

// Run modes: NET_RUN_ONCE waits for at least one event; anything else never waits.
#define NET_RUN_NOWAIT 0
#define NET_RUN_ONCE   1

// Time one non-waiting run may spend taking what is ready when no round of
// runs has been set up with net_run_budget.
#define NET_RUN_SLICE_US 5000

/* ---- Opaque handles ----------------------------------------------------- */

typedef struct tcp_client_s* TCPCLIENT;  // outgoing client, or a connection a TCP server accepted
typedef struct tcp_server_s* TCPSERVER;
typedef struct udp_client_s* UDPCLIENT;
typedef struct udp_group_s* UDPGROUP;    // internal to the library (used by the KCP server)
typedef struct kcp_client_s* KCPCLIENT;  // outgoing KCP client, or a connection a KCP server accepted
typedef struct resolver_s* RESOLVER;
struct KCPServer;

/* ---- Callbacks ---------------------------------------------------------- */

typedef void (*tcp_client_connect_cb)(int status, const char* message, void* user);
typedef void (*tcp_client_recv_cb)(const char* data, int64_t nread, void* user);
typedef void (*tcp_client_disconnect_cb)(void* user);

typedef void (*tcp_server_connect_cb)(TCPCLIENT client, void* user);
typedef void (*tcp_server_disconnect_cb)(TCPCLIENT client, void* user);
typedef void (*tcp_server_recv_cb)(TCPCLIENT client, const char* data, int length, void* user);

typedef void (*udp_client_recv_cb)(const char* data, int64_t nread, const struct sockaddr* sender, void* user);

// channel: 0 TCP frame, 1 KCP message, 2 raw UDP datagram.
typedef void (*kcp_client_connect_cb)(int code, const char* message, void* user);
typedef void (*kcp_client_recv_cb)(const char* data, int length, int channel, void* user);
typedef void (*kcp_client_disconnect_cb)(void* user);

typedef void (*kcp_server_connect_cb)(KCPCLIENT client, void* user);
typedef void (*kcp_server_disconnect_cb)(KCPCLIENT client, void* user);
typedef void (*kcp_server_recv_cb)(KCPCLIENT client, const char* data, int length, int channel, void* user);

// status 0: address is the host's first IPv4 address (port 0); otherwise
// address is null and message says why (a static text).
typedef void (*resolver_cb)(int status, const struct sockaddr* address, const char* message, void* user);

/* ---- Library-wide helpers ----------------------------------------------- */

// The system's millisecond clock: runs the default loop once without waiting
// and returns its time (monotonic, arbitrary origin).
uint64_t net_poll(void);

// One library-wide 16-byte socket-address record; scratch space valid until its next use.
struct sockaddr* net_shared_addr(void);

// Dotted IPv4 text (16 bytes with the terminator) and host-order port of an IPv4 address.
int net_addr_to_ip(const struct sockaddr* addr, char* text, unsigned* port);

// uv_ip4_addr: fills an IPv4 socket address from dotted text and a host-order port.
int net_ip_to_addr(const char* ip, uint16_t port, struct sockaddr* out);

// The text of the last failure; "" before any. Always a static text.
const char* net_last_error(void);

// Begins a round of runs (one tick of the caller) that may spend budget_us
// microseconds together taking what is ready: socket reads, control frames,
// KCP messages, data held through a handshake. A non-waiting run keeps taking
// until nothing more is ready or its share is spent; the share is the round's
// budget divided by the runs that had work left over in the previous round,
// and never more than the round has left. Every run still takes at least one
// pass of its sockets and one frame or message, so none starves. What is left
// waits, in order, for a later run. A round lasts until the next call, or
// 100 ms when none comes; outside rounds (and after 0) each run has its own
// NET_RUN_SLICE_US.
void net_run_budget(int budget_us);

// A descriptor that polls readable while some object's sockets have something
// to take, for waking the caller's event loop between ticks; -1 when there is none.
int net_wake_fd(void);

// Rebuilds the interface list; returns the number of records or a negative libuv code.
int net_interface_refresh(void);

// 0 when the record is IPv4 (or the index is outside the list), -1 for another family.
int net_interface_is_ipv4(int index);

// The record's IPv4 address / netmask, or null. Valid until the next refresh.
const struct sockaddr* net_interface_address(int index);
const struct sockaddr* net_interface_netmask(int index);

/* ---- TCP client --------------------------------------------------------- */
// An outgoing client owns a private loop; its callbacks fire in tcp_client_run.
// An accepted connection runs on its server's loop; its events come from tcp_server_run.

TCPCLIENT tcp_client_create(void);
void tcp_client_destroy(TCPCLIENT client);
void tcp_client_start(TCPCLIENT client, const struct sockaddr* server, int timeout_ms);
void tcp_client_close(TCPCLIENT client);
int tcp_client_local_addr(TCPCLIENT client, struct sockaddr* out);
int tcp_client_remote_addr(TCPCLIENT client, struct sockaddr* out);
int tcp_client_send(TCPCLIENT client, const char* data, int length);
// Bytes handed to tcp_client_send that the peer has not taken yet (0 when none or not started).
int64_t tcp_client_queued_bytes(TCPCLIENT client);
void tcp_client_set_connect_cb(TCPCLIENT client, tcp_client_connect_cb cb);
void tcp_client_set_disconnect_cb(TCPCLIENT client, tcp_client_disconnect_cb cb);
void tcp_client_set_recv_cb(TCPCLIENT client, tcp_client_recv_cb cb);
void tcp_client_set_user_data(TCPCLIENT client, void* user);
void* tcp_client_user_data(TCPCLIENT client);
void tcp_client_run(TCPCLIENT client, int mode);

/* ---- TCP server --------------------------------------------------------- */
// Listens on its own loop and hands each accepted connection out as a TCPCLIENT.

TCPSERVER tcp_server_create(void);
void tcp_server_destroy(TCPSERVER server);
int tcp_server_start(TCPSERVER server, const struct sockaddr* listen_addr);
void tcp_server_close(TCPSERVER server);
void tcp_server_run(TCPSERVER server, int mode);
void tcp_server_set_connect_cb(TCPSERVER server, tcp_server_connect_cb cb);
void tcp_server_set_disconnect_cb(TCPSERVER server, tcp_server_disconnect_cb cb);
void tcp_server_set_recv_cb(TCPSERVER server, tcp_server_recv_cb cb);
void tcp_server_set_user_data(TCPSERVER server, void* user);

/* ---- UDP endpoint ------------------------------------------------------- */
// A bound, broadcast-enabled UDP socket on a private loop (or its group's loop).

UDPCLIENT udp_client_create(void);
void udp_client_destroy(UDPCLIENT client);
int udp_client_start(UDPCLIENT client, const struct sockaddr* bind_addr);
int udp_client_local_addr(UDPCLIENT client, struct sockaddr* out);
int udp_client_join_multicast(UDPCLIENT client, const char* group_ip, const char* interface_ip);
int udp_client_send(UDPCLIENT client, const char* data, int length, const struct sockaddr* dest);
void udp_client_close(UDPCLIENT client);
void udp_client_run(UDPCLIENT client, int mode);
void udp_client_set_recv_cb(UDPCLIENT client, udp_client_recv_cb cb);
void udp_client_set_user_data(UDPCLIENT client, void* user);
// Asks the kernel for a receive buffer of bytes on the open socket (SO_RCVBUF,
// capped by the system); returns 0 or a negative libuv code.
int udp_client_set_recv_buffer_size(UDPCLIENT client, int bytes);
// Datagrams the kernel dropped on the open socket since it opened because its
// receive buffer was full; a negative code when not open or not known.
int64_t udp_client_dropped(UDPCLIENT client);

/* ---- KCP client --------------------------------------------------------- */
// One peer over three channels: frames on a TCP control connection (0), KCP
// messages (1) and raw datagrams (2) on one UDP socket. An outgoing client owns
// its TCP connection and UDP endpoint and fires its callbacks in kcp_client_run.
// A connection accepted by a KCP server is used through kcp_client_send and
// dropped with kcp_client_stop; its events come through the server's callbacks.
// kcp_client_stop and kcp_client_destroy may be called from inside the
// object's own callbacks; a start made there takes effect when the run returns.

KCPCLIENT kcp_client_create(int mode);  // mode: 0 default, 1 fast, 2 ultra
void kcp_client_destroy(KCPCLIENT client);
void kcp_client_start(KCPCLIENT client, const struct sockaddr* server, int timeout_ms);
void kcp_client_stop(KCPCLIENT client);
int kcp_client_local_addr(KCPCLIENT client, struct sockaddr* out);
int kcp_client_remote_addr(KCPCLIENT client, struct sockaddr* out);
// Bytes the connection holds for its peer's sake: data kept until the
// handshake ends (with what each entry costs), an unfinished control frame and
// the KCP messages and acknowledgements received but not taken yet.
int64_t kcp_client_held_bytes(KCPCLIENT client);
// Bytes sent on channel 0 that the TCP connection has not taken yet (as
// tcp_client_queued_bytes; its bound holds for channel 0 too).
int64_t kcp_client_queued_bytes(KCPCLIENT client);
// mode = channel 0, 1 or 2; returns the bytes handed to that channel, or a negative code.
int kcp_client_send(KCPCLIENT client, const char* data, int length, int mode);
void kcp_client_set_connect_cb(KCPCLIENT client, kcp_client_connect_cb cb);
void kcp_client_set_disconnect_cb(KCPCLIENT client, kcp_client_disconnect_cb cb);
void kcp_client_set_recv_cb(KCPCLIENT client, kcp_client_recv_cb cb);
void kcp_client_set_user_data(KCPCLIENT client, void* user);
void kcp_client_run(KCPCLIENT client, int mode);

/* ---- KCP server --------------------------------------------------------- */
// Accepts KCP clients: a TCP listener plus one UDP socket per peer, all driven
// by kcp_server_run. Peers are reported once their handshake finishes; a
// peer's KCPCLIENT stays valid until the run after it closed (or server stop).

struct KCPServer* kcp_server_create(int mode);
void kcp_server_destroy(struct KCPServer* server);
int kcp_server_start(struct KCPServer* server, const struct sockaddr* listen_addr);
void kcp_server_stop(struct KCPServer* server);
void kcp_server_run(struct KCPServer* server, int mode);
void kcp_server_set_connect_cb(struct KCPServer* server, kcp_server_connect_cb cb);
void kcp_server_set_disconnect_cb(struct KCPServer* server, kcp_server_disconnect_cb cb);
void kcp_server_set_recv_cb(struct KCPServer* server, kcp_server_recv_cb cb);
void kcp_server_set_user_data(struct KCPServer* server, void* user);
// Bytes the server holds for all its peers together (as kcp_client_held_bytes, summed).
int64_t kcp_server_held_bytes(struct KCPServer* server);
// Sets the total past which the peer holding the most is dropped; bytes <= 0
// restores KCP_SERVER_MAX_HELD_BYTES. Checked whenever a peer's data arrives.
void kcp_server_set_held_limit(struct KCPServer* server, int64_t bytes);

/* ---- Resolver ---------------------------------------------------------- */
// Looks a host name up as IPv4 on libuv's worker threads, one lookup at a
// time. The lookups run on the default loop, which net_poll also runs; the
// answer is only kept there and handed to the callback inside resolver_run.
// A new start, resolver_cancel and resolver_destroy drop the lookup in flight:
// its callback never comes, and a lookup a worker already has frees itself
// when it ends. The callback may start again or destroy the resolver.

RESOLVER resolver_create(void);
void resolver_destroy(RESOLVER r);
// 0, or a negative code when the lookup could not be started (no callback then).
int resolver_start(RESOLVER r, const char* host, resolver_cb cb);
void resolver_cancel(RESOLVER r);
void resolver_set_user_data(RESOLVER r, void* user);
void resolver_run(RESOLVER r, int mode);

#endif

// What the TCP client and the TCP server both see of each other; not public.
#ifndef MAROVENT_TRANSPORT_TCP_INTERNAL_H
#define MAROVENT_TRANSPORT_TCP_INTERNAL_H

#include <sys/socket.h>

#include "internal.h"

// Read status the client hands its server when the application closes an
// accepted connection: the lowest 32-bit value plus 2.
#define TCP_CLOSED_BY_APP (-2147483646)

// One TCP socket: the handle plus the requests that live and die with it.
// Freed from the handle's close callback, never before.
struct net__tcp_socket {
    uv_tcp_t handle;
    uv_connect_t connect;
    uv_shutdown_t shutdown;
    struct tcp_client_s* client;  // null once the client has let go of it
    struct tcp_server_s* server;  // accepting server; null for an outgoing client
};

// Close callback of a socket that nothing else refers to any more: frees it.
void net__tcp_socket_closed(uv_handle_t* handle);

typedef void (*net__tcp_server_read_hook)(net__tcp_socket* socket, ssize_t nread, const uv_buf_t* buf);

struct tcp_client_s {
    net__tcp_socket* socket;    // own socket of an outgoing client
    struct tcp_server_s* server;
    uv_loop_t* loop;
    net__tcp_socket* accepted;  // socket of an accepted connection
    bool shares_loop;
    bool timed_out;
    int64_t deadline;           // net_poll time; INT64_MAX when none
    int pending;                // start failure still to report
    void* user;
    net__buffer buffer;
    tcp_client_connect_cb on_connect;
    tcp_client_recv_cb on_recv;
    tcp_client_disconnect_cb on_disconnect;
    net__tcp_server_read_hook read_hook;
    uv_alloc_cb read_alloc;     // the allocator reading started with (the server's when accepted)
    bool connected;
    bool network_error;
    struct sockaddr_storage local;
    struct sockaddr_storage remote;
    struct sockaddr_storage target;
    net__request_set writes;
    int running;  // nesting depth of tcp_client_run
    bool doomed;  // destroyed from inside its own run: freed when the run returns
};

// A write to a peer that has gone away raises SIGPIPE on Linux, which would
// kill the whole window; the TCP objects turn it off when they are created.
void net__tcp_ignore_sigpipe(void);

// Makes a fresh client the accepted connection on block (already accepted on
// the server's loop): addresses, hooks, reading through the server's allocator.
void net__tcp_client_adopt(TCPCLIENT client, net__tcp_socket* block, uv_alloc_cb alloc,
                           net__tcp_server_read_hook read_hook);

#endif

// Shared mechanics of the transport objects; not part of the public API.
// Internal functions and types are named net__..., so none can be taken for
// the API of transport.h (net_... and the objects' own prefixes). The KCP
// engine (kcp.h) is a component of its own and keeps its kcp_ names.
#ifndef MAROVENT_TRANSPORT_INTERNAL_H
#define MAROVENT_TRANSPORT_INTERNAL_H

#include <uv.h>

#include <unordered_set>

#include "transport.h"

// Sets the last-error text and returns the code, so code and text cannot drift apart.
int net__fail(int code, const char* text);
// Same, with libuv's description of uv_code as the text.
int net__fail_uv(int code, int uv_code);

// A zeroed, initialised private loop, or null (the caller then tries again later).
uv_loop_t* net__loop_new(void);
// Lets pending closes finish (UV_RUN_DEFAULT), closes and frees the loop.
void net__loop_free(uv_loop_t* loop);
// uv_run in the library's run mode convention; a non-waiting run repeats
// libuv's pass while the loop has more ready and the run's share lasts.
void net__loop_run(uv_loop_t* loop, int mode);
// Starts a new round of the idle gate (net_run_budget does, once per tick).
void net__gate_new_round(void);

// Every public run brackets its work with enter and leave; the outermost pair
// takes a share of the round's budget (see net_run_budget).
void net__budget_enter(void);
void net__budget_leave(void);
// Whether the current run may go on taking; false also marks it as leaving
// work over. Always true outside a run.
bool net__budget_left(void);

// Stops or resumes reading a connected TCP client (outgoing or accepted), for
// a reader that has more in hand than its run may hand over: the kernel holds
// the rest and the peer is slowed down by TCP itself.
void net__tcp_client_pause(TCPCLIENT client, bool paused);

// A receive buffer reused from read to read: kept when libuv suggests the same
// size again, otherwise replaced by one of the suggested size.
struct net__buffer {
    char* base;
    int size;
};
void net__buffer_get(struct net__buffer* buffer, size_t suggested, uv_buf_t* out);
void net__buffer_free(struct net__buffer* buffer);

// One in-flight send (TCP write or UDP datagram): the libuv request, a private
// copy of the caller's bytes, the owning object and the cancelled flag. When
// the owner closes, its requests are marked cancelled; a cancelled request's
// completion only frees it.
struct net__request {
    union {
        uv_write_t write;
        uv_udp_send_t send;
    } req;
    uv_buf_t buf;
    void* owner;
    bool cancelled;
    struct sockaddr_in dest;  // UDP destination
};
typedef std::unordered_set<net__request*> net__request_set;

// A zeroed request holding a copy of length bytes of data, or null when memory runs out.
net__request* net__request_new(void* owner, const char* data, int length);
void net__request_free(net__request* request);
// Marks every request cancelled and empties the set (their completions free them).
void net__requests_cancel(net__request_set* set);

#endif

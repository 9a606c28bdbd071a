// Shared mechanics of the transport objects; not part of the public API.
#ifndef MAROVENT_TRANSPORT_INTERNAL_H
#define MAROVENT_TRANSPORT_INTERNAL_H

#include <uv.h>

#include <unordered_set>

#include "transport.h"

// Sets the last-error text and returns the code, so code and text cannot drift apart.
int net_fail(int code, const char* text);
// Same, with libuv's description of uv_code as the text.
int net_fail_uv(int code, int uv_code);

// A zeroed, initialised private loop, or null (the caller then tries again later).
uv_loop_t* net_loop_new(void);
// Lets pending closes finish (UV_RUN_DEFAULT), closes and frees the loop.
void net_loop_free(uv_loop_t* loop);
// uv_run in the library's run mode convention.
void net_loop_run(uv_loop_t* loop, int mode);

// A receive buffer reused from read to read: kept when libuv suggests the same
// size again, otherwise replaced by one of the suggested size.
struct net_buffer {
    char* base;
    int size;
};
void net_buffer_get(struct net_buffer* buffer, size_t suggested, uv_buf_t* out);
void net_buffer_free(struct net_buffer* buffer);

// One in-flight send (TCP write or UDP datagram): the libuv request, a private
// copy of the caller's bytes, the owning object and the cancelled flag. When
// the owner closes, its requests are marked cancelled; a cancelled request's
// completion only frees it.
struct net_request {
    union {
        uv_write_t write;
        uv_udp_send_t send;
    } req;
    uv_buf_t buf;
    void* owner;
    bool cancelled;
    struct sockaddr_in dest;  // UDP destination
};
typedef std::unordered_set<net_request*> net_request_set;

// A zeroed request holding a copy of length bytes of data, or null when memory runs out.
net_request* net_request_new(void* owner, const char* data, int length);
void net_request_free(net_request* request);
// Marks every request cancelled and empties the set (their completions free them).
void net_requests_cancel(net_request_set* set);

#endif

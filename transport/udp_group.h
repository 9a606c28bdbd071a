// The UDP group: endpoints sharing one loop, one receive buffer and one
// datagram callback that names the member. Internal to the library (the KCP
// server is its only user), so there are no null-checking wrappers here.
#ifndef MAROVENT_TRANSPORT_UDP_GROUP_H
#define MAROVENT_TRANSPORT_UDP_GROUP_H

#include "internal.h"

// The heap block around an endpoint's libuv socket. It outlives the endpoint
// while its close is pending, so it carries its own copy of the group pointer.
struct net__udp_socket {
    uv_udp_t handle;
    UDPCLIENT client;
    UDPGROUP group;
};

// Fires for a member's datagrams, after the member's own receive callback.
typedef void (*net__udp_group_recv_cb)(UDPCLIENT member, const char* data, int length,
                                       const struct sockaddr* sender, void* user);

// Hooks a group installs in each endpoint it takes in.
typedef void (*net__udp_group_alloc_hook)(net__udp_socket* socket, size_t suggested, uv_buf_t* out);
typedef void (*net__udp_group_recv_hook)(net__udp_socket* socket, ssize_t nread, const uv_buf_t* buf,
                                         const struct sockaddr* sender, unsigned flags);

// Makes the endpoint run on the group's loop with the group's hooks. Refused
// (false) when the endpoint already has a loop: started or run on its own, or
// in another group.
bool net__udp_client_attach_group(UDPCLIENT client, UDPGROUP group, net__udp_group_alloc_hook alloc,
                                  net__udp_group_recv_hook recv);
// Cuts the link again, closing the socket first; the endpoint is then a plain
// one without a loop. Used when a group goes away before its endpoints.
void net__udp_client_detach_group(UDPCLIENT client);

// A stopped group without a loop or members, or null when memory runs out.
UDPGROUP net__udp_group_create(void);
// Closes and detaches every endpoint still attached, lets the loop finish, frees it.
void net__udp_group_destroy(UDPGROUP group);
int net__udp_group_start(UDPGROUP group);
void net__udp_group_stop(UDPGROUP group);
// Attaches the endpoint, starts it bound to bind_addr and makes it a member.
int net__udp_group_add(UDPGROUP group, UDPCLIENT client, const struct sockaddr* bind_addr);
// Closes the member's socket (released in a later run) and drops it from the set.
int net__udp_group_remove(UDPGROUP group, UDPCLIENT client);
// Runs the group's loop once; every member's callbacks fire in here.
void net__udp_group_run(UDPGROUP group, int mode);
void net__udp_group_set_recv_cb(UDPGROUP group, net__udp_group_recv_cb cb);
void net__udp_group_set_user_data(UDPGROUP group, void* user);

// The group's loop (null until first needed).
uv_loop_t* net__udp_group_loop(UDPGROUP group);
// Called by an attached endpoint that is being destroyed, so the group never
// keeps a pointer to freed memory.
void net__udp_group_forget(UDPGROUP group, UDPCLIENT client);

#endif

// The UDP group: any number of endpoints on one loop, one shared receive
// buffer, one datagram callback naming the member that received it.
#include <new>
#include <unordered_set>

#include "udp_group.h"

typedef std::unordered_set<UDPCLIENT> udp_client_set;

struct udp_group_s {
    uv_loop_t* loop;  // created on first need
    net__buffer buffer;
    udp_client_set members;
    // Every endpoint taken in, members or not (a failed add stays attached), so
    // destroy can cut their links to this group.
    udp_client_set attached;
    bool started;
    net__udp_group_recv_cb recv_cb;
    void* user;
};

namespace {

void group_alloc(net__udp_socket* socket, size_t suggested, uv_buf_t* out) {
    net__buffer_get(&socket->group->buffer, suggested, out);
}

void group_recv(net__udp_socket* socket, ssize_t nread, const uv_buf_t* buf,
                const struct sockaddr* sender, unsigned flags) {
    (void)flags;
    UDPGROUP group = socket->group;
    if (nread > 0 && group->recv_cb != nullptr)
        group->recv_cb(socket->client, buf->base, (int)nread, sender, group->user);
}

bool ensure_loop(UDPGROUP group) {
    if (group->loop == nullptr)
        group->loop = net__loop_new();
    return group->loop != nullptr;
}

}  // namespace

uv_loop_t* net__udp_group_loop(UDPGROUP group) {
    return group->loop;
}

void net__udp_group_forget(UDPGROUP group, UDPCLIENT client) {
    group->members.erase(client);
    group->attached.erase(client);
}

UDPGROUP net__udp_group_create(void) {
    return new (std::nothrow) udp_group_s();
}

void net__udp_group_destroy(UDPGROUP group) {
    group->started = false;
    // An open member would keep the run-down below from ever returning.
    for (UDPCLIENT client : group->attached)
        net__udp_client_detach_group(client);
    group->attached.clear();
    group->members.clear();
    net__loop_free(group->loop);
    net__buffer_free(&group->buffer);
    delete group;
}

int net__udp_group_start(UDPGROUP group) {
    group->started = true;
    return 0;
}

void net__udp_group_stop(UDPGROUP group) {
    group->started = false;
}

int net__udp_group_add(UDPGROUP group, UDPCLIENT client, const struct sockaddr* bind_addr) {
    if (!group->started)
        return net__fail(-102, "udp group uninitialized");
    if (group->members.count(client) != 0)
        return net__fail(-103, "udp group already contains the client");
    // Without a loop the endpoint is left untouched, free to be added again later.
    if (!ensure_loop(group))
        return net__fail(-105, "udp group loop init failed");
    if (!net__udp_client_attach_group(client, group, group_alloc, group_recv))
        return net__fail(-104, "udp group client already initialized");
    group->attached.insert(client);
    if (udp_client_start(client, bind_addr) != 0) {
        // Release the half-made socket on our loop now, while the loop surely exists.
        udp_client_close(client);
        return net__fail(-105, "udp group client initialize failed");
    }
    group->members.insert(client);
    return 0;
}

int net__udp_group_remove(UDPGROUP group, UDPCLIENT client) {
    if (!group->started)
        return net__fail(-102, "udp group uninitialized");
    if (group->members.count(client) == 0)
        return net__fail(-103, "udp group does not include client");
    udp_client_close(client);
    group->members.erase(client);
    return 0;
}

void net__udp_group_run(UDPGROUP group, int mode) {
    if (ensure_loop(group))
        net__loop_run(group->loop, mode);
}

void net__udp_group_set_recv_cb(UDPGROUP group, net__udp_group_recv_cb cb) {
    group->recv_cb = cb;
}

void net__udp_group_set_user_data(UDPGROUP group, void* user) {
    group->user = user;
}

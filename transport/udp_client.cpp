// The UDP endpoint: one bound, broadcast-enabled socket on a private loop, or
// on its group's loop when a UDP group has taken it in.
#include <linux/sock_diag.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include <new>

#include "udp_group.h"

struct udp_client_s {
    net__udp_socket* socket;  // null while not started
    uv_loop_t* loop;          // private, or the group's
    net__buffer buffer;       // unused by group members: the group lends its own
    struct sockaddr_in local;
    UDPGROUP group;
    net__udp_group_alloc_hook group_alloc;
    net__udp_group_recv_hook group_recv;
    udp_client_recv_cb recv_cb;
    void* user;
    net__request_set sends;
    int running;  // nesting depth of udp_client_run
    bool doomed;  // destroyed from inside its own run: freed when the run returns
};

namespace {

void free_client(UDPCLIENT client) {
    if (client->group != nullptr) {
        // The group's loop finishes our close in its next run.
        net__udp_group_forget(client->group, client);
    } else {
        net__loop_free(client->loop);
        net__buffer_free(&client->buffer);
    }
    delete client;
}

void on_socket_closed(uv_handle_t* handle) {
    // The endpoint may be gone by now (a destroyed group member): touch only the block.
    free(handle->data);
}

void on_alloc(uv_handle_t* handle, size_t suggested, uv_buf_t* out) {
    net__udp_socket* socket = (net__udp_socket*)handle->data;
    UDPCLIENT client = socket->client;
    if (client->group_alloc != nullptr)
        client->group_alloc(socket, suggested, out);
    else
        net__buffer_get(&client->buffer, suggested, out);
}

void on_recv(uv_udp_t* handle, ssize_t nread, const uv_buf_t* buf, const struct sockaddr* sender,
             unsigned flags) {
    net__udp_socket* socket = (net__udp_socket*)handle->data;
    UDPCLIENT client = socket->client;
    // Read the hook first: the owner's callback may close the endpoint.
    net__udp_group_recv_hook hook = client->group != nullptr ? client->group_recv : nullptr;
    // Empty datagrams, "nothing more to read" (both 0) and errors are not passed on.
    if (nread > 0 && client->recv_cb != nullptr)
        client->recv_cb(buf->base, (int64_t)nread, sender, client->user);
    // A socket closed by that callback has left its endpoint (which may be gone).
    if (hook != nullptr && socket->client != nullptr)
        hook(socket, nread, buf, sender, flags);
}

// Nobody is told how a datagram fared; the owner of a cancelled request may be gone.
void on_sent(uv_udp_send_t* req, int) {
    net__request* request = (net__request*)req->data;
    if (!request->cancelled)
        ((UDPCLIENT)request->owner)->sends.erase(request);
    net__request_free(request);
}

// Everything after the socket block exists; a failure leaves the block to the next close.
int open_socket(UDPCLIENT client, const struct sockaddr* bind_addr) {
    uv_udp_t* handle = &client->socket->handle;
    int rc = uv_udp_bind(handle, bind_addr, 0);
    if (rc != 0)
        return net__fail_uv(-3, rc);
    rc = uv_udp_set_broadcast(handle, 1);
    if (rc != 0)
        return net__fail_uv(-4, rc);
    rc = uv_udp_recv_start(handle, on_alloc, on_recv);
    if (rc != 0)
        return net__fail_uv(-5, rc);
    int length = (int)sizeof(client->local);
    rc = uv_udp_getsockname(handle, (struct sockaddr*)&client->local, &length);
    if (rc != 0)
        return net__fail_uv(-6, rc);
    return 0;
}

}  // namespace

bool net__udp_client_attach_group(UDPCLIENT client, UDPGROUP group, net__udp_group_alloc_hook alloc,
                                  net__udp_group_recv_hook recv) {
    if (client->loop != nullptr)
        return false;
    client->group = group;
    client->loop = net__udp_group_loop(group);
    client->group_alloc = alloc;
    client->group_recv = recv;
    return true;
}

void net__udp_client_detach_group(UDPCLIENT client) {
    udp_client_close(client);
    client->group = nullptr;
    client->loop = nullptr;
    client->group_alloc = nullptr;
    client->group_recv = nullptr;
}

UDPCLIENT udp_client_create(void) {
    UDPCLIENT client = new (std::nothrow) udp_client_s();
    return client;
}

void udp_client_destroy(UDPCLIENT client) {
    if (client == nullptr)
        return;
    udp_client_close(client);
    if (client->running > 0) {
        // Called from one of our callbacks: the loop cannot be run down from
        // inside itself, so the run call in progress finishes the job.
        client->doomed = true;
        client->recv_cb = nullptr;
        return;
    }
    free_client(client);
}

int udp_client_start(UDPCLIENT client, const struct sockaddr* bind_addr) {
    if (client == nullptr)
        return net__fail(NET_ERR_NULL_HANDLE, "param is null");
    udp_client_close(client);
    if (client->loop == nullptr) {
        client->loop = net__loop_new();
        if (client->loop == nullptr)
            return net__fail(-1, "udp client loop init failed");
    }
    net__udp_socket* socket = (net__udp_socket*)calloc(1, sizeof(net__udp_socket));
    if (socket == nullptr)
        return net__fail(NET_ERR_ALLOC_CONTEXT, "udp client alloc context failed");
    socket->client = client;
    socket->group = client->group;
    int rc = uv_udp_init(client->loop, &socket->handle);
    if (rc != 0) {
        // libuv never took the handle, so there is nothing to uv_close.
        free(socket);
        return net__fail_uv(-2, rc);
    }
    socket->handle.data = socket;
    client->socket = socket;
    return open_socket(client, bind_addr);
}

int udp_client_local_addr(UDPCLIENT client, struct sockaddr* out) {
    if (client == nullptr)
        return net__fail(NET_ERR_NULL_HANDLE, "param is null");
    memcpy(out, &client->local, sizeof(client->local));
    return 0;
}

int udp_client_join_multicast(UDPCLIENT client, const char* group_ip, const char* interface_ip) {
    if (client == nullptr)
        return NET_ERR_NULL_HANDLE;
    // Joining needs an open socket; libuv's "bad file descriptor" says so.
    if (client->socket == nullptr)
        return UV_EBADF;
    return uv_udp_set_membership(&client->socket->handle, group_ip, interface_ip, UV_JOIN_GROUP);
}

int udp_client_send(UDPCLIENT client, const char* data, int length, const struct sockaddr* dest) {
    if (client == nullptr)
        return NET_ERR_NULL_HANDLE;
    if (client->socket == nullptr)
        return net__fail(-1, "udp client uninitialized");
    if (length > MAX_UDP_PAYLOAD)
        return net__fail(-2, "udp client send data length > max mtu");
    if (length < 1)
        return net__fail(-3, "udp client send data length <= 0");
    net__request* request = net__request_new(client, data, length);
    if (request == nullptr)
        return net__fail_uv(-4, UV_ENOMEM);
    // No destination: libuv refuses the send below (the socket is not connected).
    if (dest != nullptr)
        memcpy(&request->dest, dest, sizeof(request->dest));
    request->req.send.data = request;
    client->sends.insert(request);
    int rc = uv_udp_send(&request->req.send, &client->socket->handle, &request->buf, 1,
                         dest != nullptr ? (const struct sockaddr*)&request->dest : nullptr,
                         on_sent);
    if (rc != 0) {
        // Refused at once: libuv will not call back, so the request is ours to free.
        client->sends.erase(request);
        net__request_free(request);
        return net__fail_uv(-4, rc);
    }
    return length;
}

void udp_client_close(UDPCLIENT client) {
    if (client == nullptr)
        return;
    if (client->socket != nullptr) {
        net__requests_cancel(&client->sends);
        client->socket->client = nullptr;
        uv_close((uv_handle_t*)&client->socket->handle, on_socket_closed);
        client->socket = nullptr;
    }
    memset(&client->local, 0, sizeof(client->local));
}

void udp_client_run(UDPCLIENT client, int mode) {
    if (client == nullptr)
        return;
    if (client->loop == nullptr)
        client->loop = net__loop_new();
    if (client->loop == nullptr)
        return;
    ++client->running;
    net__loop_run(client->loop, mode);
    if (--client->running == 0 && client->doomed)
        free_client(client);
}

void udp_client_set_recv_cb(UDPCLIENT client, udp_client_recv_cb cb) {
    if (client != nullptr)
        client->recv_cb = cb;
}

void udp_client_set_user_data(UDPCLIENT client, void* user) {
    if (client != nullptr)
        client->user = user;
}

int udp_client_set_recv_buffer_size(UDPCLIENT client, int bytes) {
    if (client == nullptr)
        return NET_ERR_NULL_HANDLE;
    if (client->socket == nullptr)
        return UV_EBADF;
    // libuv reads the current size when given 0, so 0 asks for nothing.
    if (bytes <= 0)
        return UV_EINVAL;
    return uv_recv_buffer_size((uv_handle_t*)&client->socket->handle, &bytes);
}

int64_t udp_client_dropped(UDPCLIENT client) {
    if (client == nullptr)
        return NET_ERR_NULL_HANDLE;
    if (client->socket == nullptr)
        return UV_EBADF;
    uv_os_fd_t fd;
    int rc = uv_fileno((uv_handle_t*)&client->socket->handle, &fd);
    if (rc != 0)
        return rc;
    // The kernel's per-socket drop counter (what SO_RXQ_OVFL would report with each datagram).
    uint32_t info[SK_MEMINFO_VARS] = {};
    socklen_t length = sizeof(info);
    if (getsockopt(fd, SOL_SOCKET, SO_MEMINFO, info, &length) != 0 || length <= SK_MEMINFO_DROPS * sizeof(uint32_t))
        return UV_ENOTSUP;
    return info[SK_MEMINFO_DROPS];
}

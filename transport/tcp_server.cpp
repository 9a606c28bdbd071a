// The TCP server: listens on a private loop and hands every accepted
// connection out as a TCPCLIENT that runs on the same loop.
#include <stdio.h>
#include <stdlib.h>

#include <new>
#include <unordered_set>

#include "tcp_internal.h"

struct tcp_server_s {
    void* user;
    net__buffer buffer;  // one for every accepted connection
    uv_loop_t* loop;
    std::unordered_set<net__tcp_socket*> accepted;
    net__tcp_socket* listener;
    tcp_server_connect_cb on_connect;
    tcp_server_disconnect_cb on_disconnect;
    tcp_server_recv_cb on_recv;
    int running;  // nesting depth of tcp_server_run
    bool doomed;  // destroyed from inside its own run: freed when the run returns
};

namespace {

const int kBacklog = 1024;

// The last word on an accepted connection: its client goes with its socket.
void on_accepted_closed(uv_handle_t* handle) {
    net__tcp_socket* block = (net__tcp_socket*)handle->data;
    if (block->client != nullptr) {
        block->client->server = nullptr;  // already out of the accepted set
        tcp_client_destroy(block->client);
    }
    free(block);
}

void close_accepted(net__tcp_socket* block) {
    uv_close((uv_handle_t*)&block->handle, on_accepted_closed);
}

void on_alloc(uv_handle_t* handle, size_t suggested, uv_buf_t* buf) {
    net__tcp_socket* block = (net__tcp_socket*)handle->data;
    net__buffer_get(&block->server->buffer, suggested, buf);
}

void read_hook(net__tcp_socket* block, ssize_t nread, const uv_buf_t* buf) {
    TCPSERVER server = block->server;
    if (nread >= 0) {
        if (server->on_recv != nullptr)
            server->on_recv(block->client, buf->base, (int)nread, server->user);
        return;
    }
    // Out of the set first, so a close from inside the callback finds nothing left to do.
    if (server->accepted.erase(block) == 0)
        return;
    if (nread != TCP_CLOSED_BY_APP && buf != nullptr && server->on_disconnect != nullptr)
        server->on_disconnect(block->client, server->user);
    close_accepted(block);
}

void on_connection(uv_stream_t* listen, int status) {
    if (status < 0) {
        printf("New connection error: %s\n", uv_strerror(status));
        fflush(stdout);
        return;
    }
    TCPSERVER server = ((net__tcp_socket*)listen->data)->server;
    net__tcp_socket* block = (net__tcp_socket*)calloc(1, sizeof(net__tcp_socket));
    if (block == nullptr)
        return;
    if (uv_tcp_init(server->loop, &block->handle) != 0) {
        free(block);
        return;
    }
    block->server = server;
    block->handle.data = block;
    block->client = tcp_client_create();
    if (block->client == nullptr || uv_accept(listen, (uv_stream_t*)&block->handle) != 0) {
        close_accepted(block);
        return;
    }
    server->accepted.insert(block);
    TCPCLIENT client = block->client;
    net__tcp_client_adopt(client, block, on_alloc, read_hook);
    if (server->on_connect != nullptr)
        server->on_connect(client, server->user);
}

// Start steps after the close; the listener is kept after a bind or listen refusal.
int begin_listen(TCPSERVER server, const struct sockaddr* address) {
    if (server->loop == nullptr && (server->loop = net__loop_new()) == nullptr)
        return net__fail(-1, "tcp server loop init failed");
    net__tcp_socket* block = (net__tcp_socket*)calloc(1, sizeof(net__tcp_socket));
    if (block == nullptr)
        return net__fail(NET_ERR_ALLOC_CONTEXT, "tcp server alloc context failed");
    int rc = uv_tcp_init(server->loop, &block->handle);
    if (rc != 0) {
        free(block);  // libuv holds nothing of it, so there is nothing to close
        return net__fail_uv(NET_ERR_SOCKET_INIT, rc);
    }
    block->server = server;
    block->handle.data = block;
    server->listener = block;
    // Only IPv4 records are 16 bytes; anything else would be read past its end.
    rc = address->sa_family == AF_INET ? uv_tcp_bind(&block->handle, address, 0) : UV_EINVAL;
    if (rc != 0)
        return net__fail_uv(NET_ERR_BIND_CONNECT, rc);
    rc = uv_listen((uv_stream_t*)&block->handle, kBacklog, on_connection);
    if (rc != 0)
        return net__fail_uv(NET_ERR_LISTEN, rc);
    return 0;
}

}  // namespace

TCPSERVER tcp_server_create(void) {
    net__tcp_ignore_sigpipe();
    return new (std::nothrow) tcp_server_s();
}

void tcp_server_destroy(TCPSERVER server) {
    if (server == nullptr)
        return;
    tcp_server_close(server);
    if (server->running > 0) {
        // Called from one of its callbacks: the run in progress finishes the job.
        server->on_connect = nullptr;
        server->on_disconnect = nullptr;
        server->on_recv = nullptr;
        server->doomed = true;
        return;
    }
    net__loop_free(server->loop);
    net__buffer_free(&server->buffer);
    delete server;
}

int tcp_server_start(TCPSERVER server, const struct sockaddr* listen_addr) {
    if (server == nullptr || listen_addr == nullptr)
        return net__fail(NET_ERR_NULL_HANDLE, "param is null");
    tcp_server_close(server);
    return begin_listen(server, listen_addr);
}

void tcp_server_close(TCPSERVER server) {
    if (server == nullptr)
        return;
    if (server->listener != nullptr)
        uv_close((uv_handle_t*)&server->listener->handle, net__tcp_socket_closed);
    server->listener = nullptr;
    for (net__tcp_socket* block : server->accepted)
        close_accepted(block);
    server->accepted.clear();
}

void tcp_server_run(TCPSERVER server, int mode) {
    if (server == nullptr)
        return;
    if (server->loop == nullptr && (server->loop = net__loop_new()) == nullptr)
        return;
    ++server->running;
    net__loop_run(server->loop, mode);
    if (--server->running == 0 && server->doomed)
        tcp_server_destroy(server);
}

void tcp_server_set_connect_cb(TCPSERVER server, tcp_server_connect_cb cb) {
    if (server != nullptr)
        server->on_connect = cb;
}

void tcp_server_set_disconnect_cb(TCPSERVER server, tcp_server_disconnect_cb cb) {
    if (server != nullptr)
        server->on_disconnect = cb;
}

void tcp_server_set_recv_cb(TCPSERVER server, tcp_server_recv_cb cb) {
    if (server != nullptr)
        server->on_recv = cb;
}

void tcp_server_set_user_data(TCPSERVER server, void* user) {
    if (server != nullptr)
        server->user = user;
}

// The TCP client: an outgoing connection on a private loop, or a connection
// a TCP server accepted, running on the server's loop.
#include <signal.h>
#include <stdlib.h>
#include <string.h>

#include <new>

#include "tcp_internal.h"

namespace {

const int64_t kNoDeadline = INT64_MAX;

void clear_addresses(TCPCLIENT client) {
    memset(&client->local, 0, sizeof(client->local));
    memset(&client->remote, 0, sizeof(client->remote));
    memset(&client->target, 0, sizeof(client->target));
}

void on_shutdown(uv_shutdown_t* req, int) {
    if (!uv_is_closing((uv_handle_t*)req->handle))
        uv_close((uv_handle_t*)req->handle, net__tcp_socket_closed);
}

// Lets go of an outgoing client's socket. A graceful shutdown waits for every
// queued byte, so it is only taken when nothing is queued: a peer that stopped
// reading must not be able to stall the close (and the destroy after it).
void release_socket(net__tcp_socket* block, bool connected) {
    uv_stream_t* stream = (uv_stream_t*)&block->handle;
    block->client = nullptr;
    uv_read_stop(stream);
    if (connected && uv_stream_get_write_queue_size(stream) == 0 &&
        uv_shutdown(&block->shutdown, stream, on_shutdown) == 0)
        return;
    // A socket that never got a descriptor refuses the linger option; close it plainly.
    if (uv_tcp_close_reset(&block->handle, net__tcp_socket_closed) != 0)
        uv_close((uv_handle_t*)&block->handle, net__tcp_socket_closed);
}

// Drops the connection; with release_loop also the loop and the buffer.
void reset(TCPCLIENT client, bool release_loop) {
    net__requests_cancel(&client->writes);
    if (client->socket != nullptr) {
        release_socket(client->socket, client->connected);
        client->socket = nullptr;
    }
    if (client->server != nullptr) {
        client->server = nullptr;
        client->read_hook(client->accepted, TCP_CLOSED_BY_APP, nullptr);
    }
    clear_addresses(client);
    client->pending = 0;
    client->connected = false;
    // A cancelled attempt must not time out later.
    client->deadline = kNoDeadline;
    if (release_loop && !client->shares_loop) {
        net__loop_free(client->loop);
        client->loop = nullptr;
    }
    if (release_loop)
        net__buffer_free(&client->buffer);
}

void on_alloc(uv_handle_t* handle, size_t suggested, uv_buf_t* buf) {
    net__tcp_socket* block = (net__tcp_socket*)handle->data;
    net__buffer_get(&block->client->buffer, suggested, buf);
}

void on_read(uv_stream_t* stream, ssize_t nread, const uv_buf_t* buf) {
    net__tcp_socket* block = (net__tcp_socket*)stream->data;
    TCPCLIENT client = block->client;
    // libuv reports 0 when a read found nothing more (it drained exactly a
    // whole buffer before): no data, so nothing to hand on.
    if (client == nullptr || nread == 0)
        return;
    if (nread < 0) {
        clear_addresses(client);
        if (client->on_disconnect != nullptr)
            client->on_disconnect(client->user);
    } else if (client->on_recv != nullptr) {
        client->on_recv(buf->base, nread, client->user);
    }
    // A callback above may have handed the connection back already.
    if (client->server != nullptr)
        client->read_hook(block, nread, buf);
}

void on_write(uv_write_t* req, int status) {
    net__request* request = (net__request*)req;
    if (!request->cancelled) {
        TCPCLIENT client = (TCPCLIENT)request->owner;
        if (status != 0)
            client->network_error = true;
        client->writes.erase(request);
    }
    net__request_free(request);
}

void on_connect(uv_connect_t* req, int status) {
    net__tcp_socket* block = (net__tcp_socket*)req->data;
    TCPCLIENT client = block->client;
    if (client == nullptr)
        return;  // an attempt the client has already let go of
    client->connected = false;
    if (client->timed_out)
        return;
    client->deadline = kNoDeadline;
    if (status < 0) {
        if (client->on_connect != nullptr)
            client->on_connect(status, uv_strerror(status), client->user);
        return;
    }
    memcpy(&client->remote, &client->target, sizeof(struct sockaddr_in));
    int length = sizeof(client->local);
    uv_tcp_getsockname(&block->handle, (struct sockaddr*)&client->local, &length);
    client->read_alloc = on_alloc;
    uv_read_start((uv_stream_t*)&block->handle, on_alloc, on_read);
    client->connected = true;
    client->network_error = false;
    if (client->on_connect != nullptr)
        client->on_connect(0, "no error", client->user);
}

// Start steps after the reset; returns the pending status (0 when connecting).
int begin_connect(TCPCLIENT client, const struct sockaddr* server) {
    if (server == nullptr)
        return net__fail(NET_ERR_NULL_HANDLE, "param is null");
    if (client->loop == nullptr && (client->loop = net__loop_new()) == nullptr)
        return net__fail(-1, "tcp client loop init failed");
    net__tcp_socket* block = (net__tcp_socket*)calloc(1, sizeof(net__tcp_socket));
    if (block == nullptr)
        return net__fail(NET_ERR_ALLOC_CONTEXT, "tcp client alloc context failed");
    int rc = uv_tcp_init(client->loop, &block->handle);
    if (rc != 0) {
        free(block);  // libuv holds nothing of it, so there is nothing to close
        return net__fail_uv(NET_ERR_SOCKET_INIT, rc);
    }
    block->client = client;
    block->handle.data = block;
    block->connect.data = block;
    client->socket = block;
    // Only IPv4 records are 16 bytes; anything else would be read past its end.
    rc = server->sa_family == AF_INET ? uv_tcp_connect(&block->connect, &block->handle, server, on_connect)
                                      : UV_EINVAL;
    if (rc != 0)
        return net__fail_uv(NET_ERR_BIND_CONNECT, rc);
    memcpy(&client->target, server, sizeof(struct sockaddr_in));
    return 0;
}

}  // namespace

void net__tcp_socket_closed(uv_handle_t* handle) {
    free(handle->data);
}

void net__tcp_ignore_sigpipe(void) {
    struct sigaction current;
    // Leave a handler the host program installed alone.
    if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
        signal(SIGPIPE, SIG_IGN);
}

void net__tcp_client_adopt(TCPCLIENT client, net__tcp_socket* block, uv_alloc_cb alloc,
                           net__tcp_server_read_hook read_hook) {
    block->client = client;
    block->handle.data = block;
    client->server = block->server;
    client->accepted = block;
    client->loop = block->handle.loop;
    client->shares_loop = true;
    client->read_hook = read_hook;
    int length = sizeof(client->remote);
    uv_tcp_getpeername(&block->handle, (struct sockaddr*)&client->remote, &length);
    length = sizeof(client->local);
    uv_tcp_getsockname(&block->handle, (struct sockaddr*)&client->local, &length);
    client->read_alloc = alloc;
    uv_read_start((uv_stream_t*)&block->handle, alloc, on_read);
    client->network_error = false;
}

void net__tcp_client_pause(TCPCLIENT client, bool paused) {
    net__tcp_socket* block = client->socket != nullptr ? client->socket : client->accepted;
    if (block == nullptr || client->read_alloc == nullptr || uv_is_closing((uv_handle_t*)&block->handle))
        return;
    uv_stream_t* stream = (uv_stream_t*)&block->handle;
    if (paused)
        uv_read_stop(stream);
    else
        uv_read_start(stream, client->read_alloc, on_read);  // refused before a connection: nothing to resume
}

TCPCLIENT tcp_client_create(void) {
    net__tcp_ignore_sigpipe();
    TCPCLIENT client = new (std::nothrow) tcp_client_s();
    if (client == nullptr)
        return nullptr;
    client->deadline = kNoDeadline;
    return client;
}

void tcp_client_destroy(TCPCLIENT client) {
    if (client == nullptr)
        return;
    if (client->running > 0) {
        // Called from one of its own callbacks: the loop cannot be run down
        // from inside itself, so the run in progress finishes the job.
        reset(client, false);
        client->on_connect = nullptr;
        client->on_recv = nullptr;
        client->on_disconnect = nullptr;
        client->doomed = true;
        return;
    }
    reset(client, true);
    delete client;
}

void tcp_client_start(TCPCLIENT client, const struct sockaddr* server, int timeout_ms) {
    if (client == nullptr) {
        net__fail(NET_ERR_NULL_HANDLE, "param is null");
        return;
    }
    if (client->shares_loop)
        return;  // an accepted connection is connected by its server
    // From inside a run the old close cannot be waited for: it finishes on the same loop later.
    reset(client, client->running == 0);
    client->pending = begin_connect(client, server);
    if (client->pending != 0)
        return;
    client->timed_out = false;
    client->deadline = timeout_ms > 0 ? (int64_t)net_poll() + timeout_ms : kNoDeadline;
}

void tcp_client_close(TCPCLIENT client) {
    if (client != nullptr)
        reset(client, false);
}

int tcp_client_local_addr(TCPCLIENT client, struct sockaddr* out) {
    if (client == nullptr || out == nullptr)
        return net__fail(NET_ERR_NULL_HANDLE, "param is null");
    memcpy(out, &client->local, sizeof(struct sockaddr_in));
    return 0;
}

int tcp_client_remote_addr(TCPCLIENT client, struct sockaddr* out) {
    if (client == nullptr || out == nullptr)
        return net__fail(NET_ERR_NULL_HANDLE, "param is null");
    memcpy(out, &client->remote, sizeof(struct sockaddr_in));
    return 0;
}

int tcp_client_send(TCPCLIENT client, const char* data, int length) {
    if (client == nullptr || (data == nullptr && length > 0))
        return net__fail(NET_ERR_NULL_HANDLE, "param is null");
    if (client->network_error)
        return net__fail(-1, "tcp client network is error");
    if (length < 1)
        return net__fail(-2, "tcp client send data length <= 0");
    net__tcp_socket* block = client->shares_loop ? client->accepted : client->socket;
    if (block == nullptr)
        return net__fail(-3, "tcp client is not started");
    if (tcp_client_queued_bytes(client) + length > NET_MAX_QUEUED_BYTES)
        return net__fail(NET_ERR_QUEUE_FULL, "tcp client send queue is full (the peer is not reading)");
    net__request* request = net__request_new(client, data, length);
    if (request == nullptr)
        return net__fail(-4, "tcp client alloc send request failed");
    client->writes.insert(request);
    int rc = uv_write(&request->req.write, (uv_stream_t*)&block->handle, &request->buf, 1, on_write);
    if (rc != 0) {
        // The request never reached libuv: complete it here, which marks the
        // network error and frees it. UV_EPIPE is the unwritable-socket case.
        net__fail_uv(rc, rc);
        on_write(&request->req.write, rc);
        return rc;
    }
    return length;
}

int64_t tcp_client_queued_bytes(TCPCLIENT client) {
    if (client == nullptr)
        return 0;
    net__tcp_socket* block = client->shares_loop ? client->accepted : client->socket;
    return block == nullptr ? 0 : (int64_t)uv_stream_get_write_queue_size((uv_stream_t*)&block->handle);
}

void tcp_client_set_connect_cb(TCPCLIENT client, tcp_client_connect_cb cb) {
    if (client != nullptr)
        client->on_connect = cb;
}

void tcp_client_set_disconnect_cb(TCPCLIENT client, tcp_client_disconnect_cb cb) {
    if (client != nullptr)
        client->on_disconnect = cb;
}

void tcp_client_set_recv_cb(TCPCLIENT client, tcp_client_recv_cb cb) {
    if (client != nullptr)
        client->on_recv = cb;
}

void tcp_client_set_user_data(TCPCLIENT client, void* user) {
    if (client != nullptr)
        client->user = user;
}

void* tcp_client_user_data(TCPCLIENT client) {
    return client != nullptr ? client->user : nullptr;
}

void tcp_client_run(TCPCLIENT client, int mode) {
    if (client == nullptr || client->shares_loop)
        return;  // accepted connections run inside their server's run
    if (client->loop == nullptr && (client->loop = net__loop_new()) == nullptr)
        return;
    ++client->running;
    net__loop_run(client->loop, mode);
    if (!client->timed_out && (int64_t)net_poll() > client->deadline) {
        client->timed_out = true;
        if (client->on_connect != nullptr)
            client->on_connect(-1, "connect timeout", client->user);
    }
    if (client->pending != 0) {
        // Cleared first: the callback may start again and leave a new status.
        int status = client->pending;
        client->pending = 0;
        if (client->on_connect != nullptr)
            client->on_connect(status, net_last_error(), client->user);
    }
    if (--client->running == 0 && client->doomed)
        tcp_client_destroy(client);
}

// The library frame: clock, last error, address helpers and the interface list.
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "internal.h"

namespace {

const char* g_last_error = "";
struct sockaddr_in g_shared_addr;

struct NetInterface {
    char* name;
    char phys_addr[6];
    int is_internal;
    union {
        struct sockaddr_in address4;
        struct sockaddr_in6 address6;
    } address;
    union {
        struct sockaddr_in netmask4;
        struct sockaddr_in6 netmask6;
    } netmask;
};

void clear_interfaces(std::vector<NetInterface>* list) {
    for (NetInterface& entry : *list)
        free(entry.name);
    list->clear();
}

// The list outlives every caller; its names are released with it at exit.
struct InterfaceList : std::vector<NetInterface> {
    ~InterfaceList() { clear_interfaces(this); }
};

InterfaceList g_interfaces;

const NetInterface* ipv4_interface(int index) {
    if (index < 0 || index >= (int)g_interfaces.size())
        return nullptr;
    const NetInterface& entry = g_interfaces[(size_t)index];
    return entry.address.address4.sin_family == AF_INET ? &entry : nullptr;
}

}  // namespace

int net__fail(int code, const char* text) {
    g_last_error = text;
    return code;
}

int net__fail_uv(int code, int uv_code) {
    return net__fail(code, uv_strerror(uv_code));
}

void net__buffer_get(struct net__buffer* buffer, size_t suggested, uv_buf_t* out) {
    if (buffer->base == nullptr || (size_t)buffer->size != suggested) {
        free(buffer->base);
        buffer->base = (char*)malloc(suggested);
        buffer->size = buffer->base != nullptr ? (int)suggested : 0;
    }
    // A zero-length buffer makes libuv report UV_ENOBUFS, which the readers treat as an error.
    *out = uv_buf_init(buffer->base, (unsigned)buffer->size);
}

void net__buffer_free(struct net__buffer* buffer) {
    free(buffer->base);
    buffer->base = nullptr;
    buffer->size = 0;
}

net__request* net__request_new(void* owner, const char* data, int length) {
    net__request* request = (net__request*)calloc(1, sizeof(net__request));
    if (request == nullptr)
        return nullptr;
    char* copy = (char*)malloc((size_t)length);
    if (copy == nullptr) {
        free(request);
        return nullptr;
    }
    memcpy(copy, data, (size_t)length);
    request->buf = uv_buf_init(copy, (unsigned)length);
    request->owner = owner;
    return request;
}

void net__request_free(net__request* request) {
    free(request->buf.base);
    free(request);
}

void net__requests_cancel(net__request_set* set) {
    for (net__request* request : *set)
        request->cancelled = true;
    set->clear();
}

uint64_t net_poll(void) {
    uv_loop_t* loop = uv_default_loop();
    uv_run(loop, UV_RUN_NOWAIT);
    return uv_now(loop);
}

struct sockaddr* net_shared_addr(void) {
    return (struct sockaddr*)&g_shared_addr;
}

int net_addr_to_ip(const struct sockaddr* addr, char* text, unsigned* port) {
    const struct sockaddr_in* in = (const struct sockaddr_in*)addr;
    if (port != nullptr)
        *port = ntohs(in->sin_port);
    return uv_inet_ntop(AF_INET, &in->sin_addr, text, 16);
}

int net_ip_to_addr(const char* ip, uint16_t port, struct sockaddr* out) {
    return uv_ip4_addr(ip, port, (struct sockaddr_in*)out);
}

const char* net_last_error(void) {
    return g_last_error;
}

int net_interface_refresh(void) {
    clear_interfaces(&g_interfaces);
    uv_interface_address_t* list = nullptr;
    int count = 0;
    int rc = uv_interface_addresses(&list, &count);
    if (rc < 0)
        return rc;
    g_interfaces.reserve((size_t)count);
    for (int i = 0; i < count; ++i) {
        NetInterface entry;
        memset(&entry, 0, sizeof(entry));
        entry.name = strdup(list[i].name != nullptr ? list[i].name : "");
        memcpy(entry.phys_addr, list[i].phys_addr, sizeof(entry.phys_addr));
        entry.is_internal = list[i].is_internal;
        memcpy(&entry.address, &list[i].address, sizeof(entry.address));
        memcpy(&entry.netmask, &list[i].netmask, sizeof(entry.netmask));
        g_interfaces.push_back(entry);
    }
    uv_free_interface_addresses(list, count);
    return (int)g_interfaces.size();
}

int net_interface_is_ipv4(int index) {
    if (index < 0 || index >= (int)g_interfaces.size())
        return 0;
    return ipv4_interface(index) != nullptr ? 0 : -1;
}

const struct sockaddr* net_interface_address(int index) {
    const NetInterface* entry = ipv4_interface(index);
    return entry != nullptr ? (const struct sockaddr*)&entry->address.address4 : nullptr;
}

const struct sockaddr* net_interface_netmask(int index) {
    const NetInterface* entry = ipv4_interface(index);
    return entry != nullptr ? (const struct sockaddr*)&entry->netmask.netmask4 : nullptr;
}

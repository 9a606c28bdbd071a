// The resolver: looks a host name up as an IPv4 address on libuv's worker
// threads (getaddrinfo blocks), so the caller's thread never waits.
//
// Lookups run on the default loop (the one net_poll runs), not on a private
// one: a lookup a worker has already taken cannot be stopped, so one that
// resolver_destroy abandons must still be able to finish and free itself
// after its owner and any loop of the owner are gone.
#include <netdb.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include "internal.h"

namespace {

struct Lookup {
    uv_getaddrinfo_t req;
    RESOLVER owner;  // null once abandoned: the completion then only frees
};

}  // namespace

struct resolver_s {
    Lookup* lookup;  // in flight, or null
    bool answered;   // the answer below waits for the next run
    int status;
    const char* message;
    struct sockaddr_in address;
    resolver_cb cb;
    void* user;
};

namespace {

// Runs inside the default loop (net_poll or a run); only keeps the answer,
// which the owner's own run hands on.
void on_resolved(uv_getaddrinfo_t* req, int status, struct addrinfo* list) {
    Lookup* lookup = (Lookup*)req;
    RESOLVER r = lookup->owner;
    if (r != nullptr) {
        r->lookup = nullptr;
        r->answered = true;
        r->status = status;
        r->message = status == 0 ? "no error" : uv_strerror(status);
        memset(&r->address, 0, sizeof(r->address));
        const struct addrinfo* entry = list;
        while (entry != nullptr && entry->ai_family != AF_INET)
            entry = entry->ai_next;
        if (status == 0 && entry == nullptr) {
            r->status = UV_EAI_NODATA;
            r->message = "no IPv4 address";
        } else if (status == 0) {
            memcpy(&r->address, entry->ai_addr, sizeof(r->address));
            r->address.sin_port = 0;
        }
    }
    uv_freeaddrinfo(list);
    free(lookup);
}

// Lets go of the lookup in flight and of an answer not handed on yet.
void abandon(RESOLVER r) {
    r->answered = false;
    if (r->lookup == nullptr)
        return;
    r->lookup->owner = nullptr;
    // Succeeds only while no worker has taken it; either way it completes later.
    uv_cancel((uv_req_t*)&r->lookup->req);
    r->lookup = nullptr;
}

}  // namespace

RESOLVER resolver_create(void) {
    return (RESOLVER)calloc(1, sizeof(struct resolver_s));
}

void resolver_destroy(RESOLVER r) {
    if (r == nullptr)
        return;
    abandon(r);
    free(r);
}

int resolver_start(RESOLVER r, const char* host, resolver_cb cb) {
    if (r == nullptr || host == nullptr)
        return net__fail(NET_ERR_NULL_HANDLE, "param is null");
    abandon(r);
    Lookup* lookup = (Lookup*)calloc(1, sizeof(Lookup));
    if (lookup == nullptr)
        return net__fail(NET_ERR_ALLOC_CONTEXT, "resolver alloc context failed");
    lookup->owner = r;
    struct addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;  // one record per address
    const int rc = uv_getaddrinfo(uv_default_loop(), &lookup->req, on_resolved, host, nullptr, &hints);
    if (rc != 0) {
        free(lookup);
        return net__fail_uv(NET_ERR_RESOLVE, rc);
    }
    r->lookup = lookup;
    r->cb = cb;
    return 0;
}

void resolver_cancel(RESOLVER r) {
    if (r != nullptr)
        abandon(r);
}

void resolver_set_user_data(RESOLVER r, void* user) {
    if (r != nullptr)
        r->user = user;
}

void resolver_run(RESOLVER r, int mode) {
    if (r == nullptr)
        return;
    if (r->lookup != nullptr) {
        net__budget_enter();
        uv_run(uv_default_loop(), mode == NET_RUN_ONCE ? UV_RUN_ONCE : UV_RUN_NOWAIT);
        net__budget_leave();
    }
    if (!r->answered)
        return;
    // Cleared first: the callback may start again or destroy the resolver.
    r->answered = false;
    if (r->cb != nullptr)
        r->cb(r->status, r->status == 0 ? (const struct sockaddr*)&r->address : nullptr, r->message, r->user);
}

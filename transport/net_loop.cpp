// Private loops, and the gate that keeps idle ones cheap.
//
// Every session runs its loops once per 10 ms tick. A non-blocking run of an
// idle loop still costs one epoll_wait system call, and with hundreds of
// sessions those calls dominate the program's idle time. Each private loop's
// epoll descriptor is therefore also watched by one library-wide epoll set: a
// single wait on that set per round tells which loops have ready sockets, and
// a non-blocking run of a loop that has none, and no work queued inside libuv,
// is skipped. A round begins with net_run_budget, or when some loop is asked
// to run a second time, so one window tick costs one wait however many loops
// it visits. The same set is the wake descriptor: it polls readable while any
// loop has a ready socket.
#include <poll.h>
#include <stddef.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <vector>

#include "internal.h"

namespace {

// Run anyway after this many rounds (about a second at one round per tick),
// whatever the gate says: a safety net for anything the gate might not see.
// Counted in rounds, not time: reading the clock per loop would cost a
// system call each on machines without a fast clock source.
const uint64_t kForcedRunRounds = 100;

// The gate's fields sit just before the loop, on the cache line that also
// holds the loop's first fields: an idle loop costs a couple of lines a tick.
struct GatedLoop {
    uint64_t watched_generation;  // the gate generation that watches it; 0 never watched
    uint64_t asked_round;
    uint64_t ready_round;
    uint64_t last_run_round;
    uv_loop_t loop;
};

GatedLoop* gated_of(uv_loop_t* loop) {
    return (GatedLoop*)((char*)loop - offsetof(GatedLoop, loop));
}

struct Gate {
    int epoll_fd = -2;  // -2 not tried yet, -1 unavailable
    uint64_t generation = 1;
    uint64_t round = 1;
    int members = 0;
    bool refresh_due = false;  // a round was begun from outside: ask the set afresh
    std::vector<struct epoll_event> events;

    ~Gate() {
        if (epoll_fd >= 0)
            close(epoll_fd);
    }
};

Gate g_gate;

// A forked child shares the parent's epoll set, whose entries point into the
// parent's memory: it starts a set of its own, and the loops it inherited are
// never skipped there.
void gate_after_fork() {
    if (g_gate.epoll_fd >= 0)
        close(g_gate.epoll_fd);
    g_gate.epoll_fd = -2;
    g_gate.members = 0;
    ++g_gate.generation;
}

bool gate_open() {
    if (g_gate.epoll_fd == -2) {
        static bool fork_hook = pthread_atfork(nullptr, nullptr, gate_after_fork) == 0;
        g_gate.epoll_fd = fork_hook ? epoll_create1(EPOLL_CLOEXEC) : -1;
    }
    return g_gate.epoll_fd >= 0;
}

bool gate_watches(const GatedLoop* gated) {
    return gated->watched_generation == g_gate.generation && g_gate.epoll_fd >= 0;
}

void gate_refresh() {
    ++g_gate.round;
    g_gate.refresh_due = false;
    if (g_gate.members <= 0)
        return;
    g_gate.events.resize((size_t)g_gate.members);
    int n = epoll_wait(g_gate.epoll_fd, g_gate.events.data(), g_gate.members, 0);
    for (int i = 0; i < n; ++i)
        ((GatedLoop*)g_gate.events[(size_t)i].data.ptr)->ready_round = g_gate.round;
}

bool gate_should_run(GatedLoop* gated) {
    uv_loop_t* loop = &gated->loop;
    // No active handle, request or close: a run could only read the clock.
    if (!uv_loop_alive(loop))
        return false;
    if (!gate_watches(gated))
        return true;
    if (g_gate.refresh_due || gated->asked_round == g_gate.round)
        gate_refresh();
    gated->asked_round = g_gate.round;
    // libuv answers 0 when it has work queued for its next pass (completions,
    // watchers not yet given to epoll, closes): never skip that loop.
    if (gated->ready_round == g_gate.round || uv_backend_timeout(loop) == 0)
        return true;
    return g_gate.round - gated->last_run_round >= kForcedRunRounds;
}

// Whether another pass would find something: queued work or a ready socket.
bool has_more(uv_loop_t* loop) {
    if (!uv_loop_alive(loop))
        return false;
    if (uv_backend_timeout(loop) == 0)
        return true;
    struct pollfd ready = {uv_backend_fd(loop), POLLIN, 0};
    return poll(&ready, 1, 0) > 0;
}

}  // namespace

uv_loop_t* net__loop_new(void) {
    GatedLoop* gated = (GatedLoop*)calloc(1, sizeof(GatedLoop));
    if (gated == nullptr)
        return nullptr;
    if (uv_loop_init(&gated->loop) != 0) {
        free(gated);
        return nullptr;
    }
    if (gate_open()) {
        struct epoll_event event = {};
        event.events = EPOLLIN;
        event.data.ptr = gated;
        if (epoll_ctl(g_gate.epoll_fd, EPOLL_CTL_ADD, uv_backend_fd(&gated->loop), &event) == 0) {
            ++g_gate.members;
            gated->watched_generation = g_gate.generation;
        }
    }
    gated->last_run_round = g_gate.round;
    return &gated->loop;
}

void net__loop_free(uv_loop_t* loop) {
    if (loop == nullptr)
        return;
    GatedLoop* gated = gated_of(loop);
    uv_run(loop, UV_RUN_DEFAULT);
    if (gate_watches(gated) &&
        epoll_ctl(g_gate.epoll_fd, EPOLL_CTL_DEL, uv_backend_fd(loop), nullptr) == 0)
        --g_gate.members;
    uv_loop_close(loop);
    free(gated);
}

void net__loop_run(uv_loop_t* loop, int mode) {
    GatedLoop* gated = gated_of(loop);
    if (mode == NET_RUN_ONCE) {
        gated->last_run_round = g_gate.round;
        uv_run(loop, UV_RUN_ONCE);
        return;
    }
    if (!gate_should_run(gated))
        return;
    gated->last_run_round = g_gate.round;
    // libuv reads a ready socket at most 32 times per pass; one pass per tick
    // would leave a busy link to the kernel's buffer.
    net__budget_enter();
    uv_run(loop, UV_RUN_NOWAIT);
    while (has_more(loop) && net__budget_left())
        uv_run(loop, UV_RUN_NOWAIT);
    net__budget_leave();
}

void net__gate_new_round(void) {
    g_gate.refresh_due = true;
}

int net_wake_fd(void) {
    return gate_open() ? g_gate.epoll_fd : -1;
}

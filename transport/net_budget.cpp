// The time budget of non-waiting runs.
//
// A run used to take one libuv pass: at most 32 reads per ready socket, so a
// busy link waited for the next tick while the kernel dropped what did not
// fit. Now a run keeps taking until nothing more is ready or its share of the
// round is spent. The share is taken at the outermost run call; runs nested
// inside it (a KCP connection's sockets, a server's connections) spend from
// the same share.
#include <uv.h>

#include "internal.h"

namespace {

// A round nobody renewed for this long is over: runs then take the default
// share each, rather than the nothing a long-spent round has left.
const uint64_t kRoundLifetimeNs = 100 * 1000 * 1000;

struct Budget {
    bool rounds = false;      // set up by net_run_budget
    uint64_t round_start_ns = 0;
    uint64_t round_ns = 0;    // the round's budget
    uint64_t spent_ns = 0;    // spent by the round's runs so far
    int busy_last = 1;        // runs with work left over in the last round
    int busy_now = 0;
    int depth = 0;            // nesting of run calls
    uint64_t start_ns = 0;    // when the outermost run began
    uint64_t share_ns = 0;    // what it may spend
    bool exhausted = false;   // it stopped with work left
};

Budget g_budget;

}  // namespace

void net_run_budget(int budget_us) {
    Budget& b = g_budget;
    b.rounds = budget_us > 0;
    b.round_ns = budget_us > 0 ? (uint64_t)budget_us * 1000 : 0;
    b.spent_ns = 0;
    b.busy_last = b.busy_now > 0 ? b.busy_now : 1;
    b.busy_now = 0;
    b.round_start_ns = uv_hrtime();
    net__gate_new_round();
}

void net__budget_enter(void) {
    Budget& b = g_budget;
    if (b.depth++ > 0)
        return;
    b.start_ns = uv_hrtime();
    b.exhausted = false;
    if (!b.rounds || b.start_ns - b.round_start_ns > kRoundLifetimeNs) {
        b.share_ns = (uint64_t)NET_RUN_SLICE_US * 1000;
        return;
    }
    const uint64_t left = b.spent_ns < b.round_ns ? b.round_ns - b.spent_ns : 0;
    const uint64_t fair = b.round_ns / (uint64_t)b.busy_last;
    b.share_ns = left < fair ? left : fair;
}

void net__budget_leave(void) {
    Budget& b = g_budget;
    if (--b.depth > 0)
        return;
    b.spent_ns += uv_hrtime() - b.start_ns;
    if (b.exhausted)
        ++b.busy_now;
}

bool net__budget_left(void) {
    Budget& b = g_budget;
    if (b.depth == 0)
        return true;
    if (uv_hrtime() - b.start_ns < b.share_ns)
        return true;
    b.exhausted = true;
    return false;
}

// KCP engine figures: per connection mode and loss rate on a simulated link of
// 30 to 60 ms one-way delay, the goodput of a saturated sender, the delivery
// latency of paced messages and the retransmissions per delivered segment; then
// the engine's CPU throughput on a lossless in-memory link as a ratio to a
// memcpy of the same bytes measured in the same run.
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "kcp.h"
#include "transport/kcp_sim.h"

namespace {

using Clock = std::chrono::steady_clock;

kcpsim::Config link_config(int preset, double loss) {
    kcpsim::Config c;
    c.preset = kcpsim::presets()[preset];
    c.loss = loss;
    c.delay_min = 30;
    c.delay_max = 60;
    c.seed = 4242 + (uint64_t)preset * 10 + (uint64_t)loss;
    c.messages_back = 0;
    c.time_limit = 3600000;
    return c;
}

void simulated_table() {
    printf("Simulated link, 30-60 ms one-way delay, window 128/128, MTU 1400\n");
    printf("(goodput: 3000 messages of 0-2800 bytes from a saturated sender;\n"
           " latency: 1000 messages of 0-1400 bytes, one every 20 ms)\n\n");
    printf("%-8s %5s | %12s %10s | %9s %9s %9s\n", "mode", "loss", "goodput KB/s", "resend/seg", "mean ms",
           "p99 ms", "max ms");
    for (int preset = 0; preset < 3; ++preset)
        for (double loss : {0.0, 10.0, 30.0}) {
            kcpsim::Config bulk = link_config(preset, loss);
            bulk.messages = 3000;
            bulk.size_max = 2800;
            bulk.queue_limit = 256;
            kcpsim::Link saturated(bulk);
            bool ok = saturated.run();
            const kcpsim::Stream& s = saturated.stream(0);
            uint32_t segments = saturated.engine(0)->send_next;
            double goodput = (double)s.bytes / ((double)saturated.elapsed() / 1000.0) / 1024.0;
            double resends = segments ? (double)(s.data_segments_out - segments) / segments : 0;

            kcpsim::Config paced = link_config(preset, loss);
            paced.messages = 1000;
            paced.size_max = 1400;
            paced.send_every = 20;
            kcpsim::Link timed(paced);
            ok = timed.run() && ok;
            std::vector<uint32_t> lat = timed.stream(0).latency;
            std::sort(lat.begin(), lat.end());
            double mean = 0;
            for (uint32_t v : lat)
                mean += v;
            mean = lat.empty() ? 0 : mean / (double)lat.size();
            uint32_t p99 = lat.empty() ? 0 : lat[(lat.size() * 99 + 99) / 100 - 1];
            uint32_t max = lat.empty() ? 0 : lat.back();
            printf("%-8s %4.0f%% | %12.1f %10.3f | %9.1f %9u %9u%s\n", kcpsim::presets()[preset].name, loss, goodput,
                   resends, mean, p99, max, ok ? "" : "  (INCOMPLETE)");
        }
}

// Two engines wired back to back: each output is the other's input.
int to_peer(const char* data, int length, KcpControl*, void* user) {
    kcp_input(static_cast<KcpControl*>(user), data, length);
    return 0;
}

double engine_seconds(size_t total, size_t chunk) {
    KcpControl* a = kcp_create(1, nullptr);
    KcpControl* b = kcp_create(1, a);
    a->user = b;
    for (KcpControl* k : {a, b}) {
        kcp_set_nodelay(k, 1, 10, 2, 1);
        kcp_set_window(k, 128, 128);
        kcp_set_mtu(k, 1400);
        kcp_set_output(k, to_peer);
    }
    std::vector<char> src(chunk, 'k'), dst(chunk);
    size_t sent = 0, got = 0;
    uint32_t now = 0;
    Clock::time_point start = Clock::now();
    while (got < total) {
        while (sent < total && a->send_queue_count < 256) {
            kcp_send(a, src.data(), (int)chunk);
            sent += chunk;
        }
        now += 10;
        kcp_update(a, now);
        kcp_update(b, now);
        int n;
        while ((n = kcp_recv(b, dst.data(), (int)dst.size())) >= 0)
            got += (size_t)n;
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    kcp_release(a);
    kcp_release(b);
    return seconds;
}

double memcpy_seconds(size_t total, size_t chunk) {
    std::vector<char> src(chunk * 256, 'm'), dst(chunk * 256);
    volatile char sink = 0;
    Clock::time_point start = Clock::now();
    for (size_t done = 0, slot = 0; done < total; done += chunk, slot = (slot + 1) % 256) {
        memcpy(dst.data() + slot * chunk, src.data() + slot * chunk, chunk);
        sink = sink + dst[slot * chunk];
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void cpu_table() {
    const size_t total = (size_t)256 << 20;
    const size_t chunk = 1376;  // one full segment per message
    double engine = engine_seconds(total, chunk);
    double copy = memcpy_seconds(total, chunk);
    double mb = (double)total / (1 << 20);
    printf("\nLossless in-memory link, %zu-byte messages, %.0f MB, mode ultra\n", chunk, mb);
    printf("%-28s %10.1f MB/s\n", "engine (send..recv)", mb / engine);
    printf("%-28s %10.1f MB/s\n", "memcpy of the same bytes", mb / copy);
    printf("%-28s %10.4f\n", "engine / memcpy", copy / engine);
}

}  // namespace

int main() {
    simulated_table();
    cpu_table();
    return 0;
}

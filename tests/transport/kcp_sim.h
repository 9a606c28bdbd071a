// A deterministic simulated link between two KCP engines: a seeded generator,
// a virtual millisecond clock, and per-datagram delay, jitter (hence
// reordering), loss and duplication. Each side sends numbered messages whose
// bytes derive from their number, so the receiver checks every message for
// content, order and uniqueness without a copy. The benchmark measures over
// it; the engine tests check delivery over it.
#ifndef MAROVENT_BENCH_KCP_SIM_H
#define MAROVENT_BENCH_KCP_SIM_H

#include <string.h>

#include <map>
#include <string>
#include <vector>

#include "kcp.h"

namespace kcpsim {

struct Preset {
    const char* name;
    int nodelay, interval, resend, nc;
};
// The three modes the KCP connection objects offer.
inline const Preset* presets() {
    static const Preset table[3] = {{"default", 0, 10, 0, 0}, {"fast", 0, 10, 0, 1}, {"ultra", 1, 10, 2, 1}};
    return table;
}

struct Config {
    Preset preset = presets()[0];
    int window = 128, mtu = 1400;
    double loss = 0, duplicate = 0;          // percent of datagrams
    uint32_t delay_min = 5, delay_max = 20;  // one-way delay, ms
    uint64_t seed = 1;
    uint32_t clock_start = 0, first_sequence = 0;  // near 2^32 to wrap mid-run
    int messages = 200, messages_back = -1;  // from side 0, from side 1 (negative: as many)
    uint32_t send_every = 0;                 // ms between messages; 0: keep the sender saturated
    uint32_t size_max = 4000;                // sizes are uniform in [0, size_max]
    int queue_limit = 64;                    // segments queued at a sender at most
    uint32_t time_limit = 600000;            // virtual ms before giving up
};

// One direction: what the sender queued and what the receiver got.
struct Stream {
    std::vector<uint32_t> sizes, sent_at, latency;  // latency: per delivered message
    int total = 0, queued = 0, delivered = 0;
    uint64_t bytes = 0, data_segments_out = 0;  // data segments the sender put on the wire
    std::string error;                          // first fault seen
};

class Link {
public:
    explicit Link(const Config& c) : config_(c), state_(c.seed), now_(c.clock_start) {
        for (int i = 0; i < 2; ++i) {
            KcpControl* k = kcp_[i] = kcp_create(1, this);
            kcp_set_nodelay(k, c.preset.nodelay, c.preset.interval, c.preset.resend, c.preset.nc);
            kcp_set_window(k, c.window, c.window);
            kcp_set_mtu(k, c.mtu);
            kcp_set_output(k, i == 0 ? &Link::output<0> : &Link::output<1>);
            k->send_unacked = k->send_next = k->recv_next = c.first_sequence;
            streams_[i].total = i == 0 || c.messages_back < 0 ? c.messages : c.messages_back;
            uint64_t saved = state_;
            state_ = c.seed * 31 + (uint64_t)i + 7;
            for (int m = 0; m < streams_[i].total; ++m)
                streams_[i].sizes.push_back(range(0, c.size_max));
            state_ = saved;
        }
        buffer_.resize(200000);
    }
    ~Link() {
        kcp_release(kcp_[0]);
        kcp_release(kcp_[1]);
    }
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    KcpControl* engine(int side) const { return kcp_[side]; }
    const Stream& stream(int side) const { return streams_[side]; }
    uint32_t now() const { return now_; }
    uint32_t elapsed() const { return now_ - config_.clock_start; }
    bool complete() const { return streams_[0].delivered == streams_[0].total && streams_[1].delivered == streams_[1].total; }
    bool faulty() const { return !streams_[0].error.empty() || !streams_[1].error.empty(); }

    // True when every message arrived exactly once, in order, intact, in time.
    bool run() {
        while (elapsed() < config_.time_limit && !faulty() && !complete())
            step();
        for (int i = 0; i < 200 && complete(); ++i)  // duplicates straggling in after the last message
            step();
        return complete() && !faulty();
    }

    // One virtual millisecond: deliver what is due, feed senders, update, drain.
    void step() {
        while (!in_flight_.empty() && in_flight_.begin()->first.first <= elapsed()) {
            const std::pair<int, std::string>& d = in_flight_.begin()->second;
            if (int rc = kcp_input(kcp_[d.first], d.second.data(), (long)d.second.size()))
                streams_[1 - d.first].error = "kcp_input refused a datagram: " + std::to_string(rc);
            in_flight_.erase(in_flight_.begin());
        }
        for (int i = 0; i < 2; ++i)
            feed(i);
        for (KcpControl* k : kcp_)
            kcp_update(k, now_);
        for (int i = 0; i < 2; ++i)
            drain(kcp_[1 - i], streams_[i]);
        ++now_;
    }

private:
    // splitmix64: small, seedable and identical on every platform.
    uint64_t next() {
        uint64_t z = (state_ += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    uint32_t range(uint32_t lo, uint32_t hi) { return lo + (uint32_t)(next() % ((uint64_t)hi - lo + 1)); }
    bool chance(double percent) { return (double)(next() % 1000000) < percent * 10000.0; }
    static char byte(uint32_t n, uint32_t i) {
        uint32_t x = n * 2654435761u ^ (i * 40503u + 0x5bd1u);
        return (char)(x ^ (x >> 13) ^ (x >> 7));
    }

    template <int Side>
    static int output(const char* data, int length, KcpControl*, void* user) {
        Link* self = (Link*)user;
        for (int at = 0; at + KCP_HEADER_SIZE <= length;) {
            uint32_t len;
            memcpy(&len, data + at + 20, 4);
            self->streams_[Side].data_segments_out += (unsigned char)data[at + 4] == KCP_CMD_DATA;
            at += KCP_HEADER_SIZE + (int)len;
        }
        if (self->chance(self->config_.loss))
            return 0;
        for (int copies = self->chance(self->config_.duplicate) ? 2 : 1; copies > 0; --copies) {
            uint64_t at = self->now_ + self->range(self->config_.delay_min, self->config_.delay_max) - self->config_.clock_start;
            // Ordered by delivery time, then by the order sent.
            self->in_flight_.emplace(std::make_pair(at, self->serial_++), std::make_pair(1 - Side, std::string(data, (size_t)length)));
        }
        return 0;
    }

    void feed(int side) {
        Stream& st = streams_[side];
        while (st.queued < st.total && (int)kcp_[side]->send_queue_count < config_.queue_limit &&
               elapsed() >= (uint32_t)st.queued * config_.send_every) {
            uint32_t n = (uint32_t)st.queued, size = st.sizes[n];
            for (uint32_t i = 0; i < size; ++i)
                buffer_[i] = byte(n, i);
            if (kcp_send(kcp_[side], buffer_.data(), (int)size) != (int)size) {
                st.error = "kcp_send refused message " + std::to_string(n);
                return;
            }
            st.sent_at.push_back(now_);
            st.queued++;
        }
    }

    // Takes every whole message out of the receiver and checks it against what was sent.
    void drain(KcpControl* receiver, Stream& sent) {
        for (int size; (size = kcp_recv(receiver, buffer_.data(), (int)buffer_.size())) >= 0; sent.delivered++) {
            uint32_t n = (uint32_t)sent.delivered, i = 0;
            while (i < (uint32_t)size && n < (uint32_t)sent.queued && buffer_[i] == byte(n, i))
                ++i;
            if (n >= (uint32_t)sent.queued || (uint32_t)size != sent.sizes[n] || i != (uint32_t)size) {
                sent.error = "message " + std::to_string(n) + " never sent, of the wrong size, corrupted or out of order";
                return;
            }
            sent.latency.push_back(now_ - sent.sent_at[n]);
            sent.bytes += (uint32_t)size;
        }
    }

    Config config_;
    uint64_t state_;
    uint32_t now_;
    uint64_t serial_ = 0;
    KcpControl* kcp_[2];
    Stream streams_[2];
    std::map<std::pair<uint64_t, uint64_t>, std::pair<int, std::string>> in_flight_;  // to side, bytes
    std::vector<char> buffer_;
};

}  // namespace kcpsim

#endif

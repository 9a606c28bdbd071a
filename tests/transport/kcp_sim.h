// A deterministic simulated link between two KCP engines: a seeded generator,
// a virtual millisecond clock, and per-datagram delay, jitter (hence
// reordering), loss and duplication. Each side sends numbered messages whose
// bytes derive from their number, so the receiver checks every message for
// content, order and uniqueness without a copy. Shared by the engine tests
// and the benchmark.
#ifndef MAROVENT_TESTS_KCP_SIM_H
#define MAROVENT_TESTS_KCP_SIM_H

#include <stdint.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

#include "kcp.h"

namespace kcpsim {

// splitmix64: small, seedable and identical on every platform.
class Rng {
public:
    explicit Rng(uint64_t seed) : state_(seed) {}
    uint64_t next() {
        uint64_t z = (state_ += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    uint32_t range(uint32_t lo, uint32_t hi) { return lo + (uint32_t)(next() % ((uint64_t)hi - lo + 1)); }
    bool chance(double percent) { return (double)(next() % 1000000) < percent * 10000.0; }

private:
    uint64_t state_;
};

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
    double loss = 0, duplicate = 0;  // percent of datagrams
    uint32_t delay_min = 5, delay_max = 20;  // one-way delay, ms
    uint64_t seed = 1;
    uint32_t clock_start = 0;  // virtual clock origin (near 2^32 to wrap mid-run)
    uint32_t first_sequence = 0;
    int messages = 200;        // from side 0
    int messages_back = -1;    // from side 1; negative: as many as from side 0
    uint32_t send_every = 0;   // ms between messages; 0: keep the sender saturated
    uint32_t size_max = 4000;  // sizes are uniform in [0, size_max]
    int queue_limit = 64;      // segments queued at the sender at most
    uint32_t time_limit = 600000;  // virtual ms before giving up
};

inline char message_byte(uint32_t n, uint32_t i) {
    uint32_t x = n * 2654435761u ^ (i * 40503u + 0x5bd1u);
    return (char)(x ^ (x >> 13) ^ (x >> 7));
}

// One direction: what the sender queued and what the receiver got.
struct Stream {
    std::vector<uint32_t> sizes, sent_at, latency;  // latency: per delivered message
    int queued = 0, delivered = 0;
    uint64_t bytes = 0, data_segments_out = 0;  // data segments the sender put on the wire
    std::string error;                          // first fault seen
};

class Link {
public:
    explicit Link(const Config& config) : config_(config), rng_(config.seed), now_(config.clock_start) {
        for (int i = 0; i < 2; ++i) {
            Side& s = sides_[i];
            s.owner = this;
            s.index = i;
            s.kcp = kcp_create(1, &s);
            const Preset& p = config.preset;
            kcp_set_nodelay(s.kcp, p.nodelay, p.interval, p.resend, p.nc);
            kcp_set_window(s.kcp, config.window, config.window);
            kcp_set_mtu(s.kcp, config.mtu);
            kcp_set_output(s.kcp, &Link::output);
            s.kcp->send_unacked = s.kcp->send_next = s.kcp->recv_next = config.first_sequence;
            Rng sizes(config.seed * 31 + (uint64_t)i + 7);
            s.total = i == 0 || config.messages_back < 0 ? config.messages : config.messages_back;
            for (int m = 0; m < s.total; ++m)
                s.stream.sizes.push_back(sizes.range(0, config.size_max));
        }
        buffer_.resize(200000);
    }
    ~Link() {
        kcp_release(sides_[0].kcp);
        kcp_release(sides_[1].kcp);
    }
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    KcpControl* engine(int side) const { return sides_[side].kcp; }
    const Stream& stream(int side) const { return sides_[side].stream; }
    uint32_t now() const { return now_; }
    uint32_t elapsed() const { return now_ - config_.clock_start; }
    bool complete() const {
        return sides_[0].stream.delivered == sides_[0].total && sides_[1].stream.delivered == sides_[1].total;
    }
    bool faulty() const { return !sides_[0].stream.error.empty() || !sides_[1].stream.error.empty(); }

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
            Datagram d = std::move(in_flight_.begin()->second);
            in_flight_.erase(in_flight_.begin());
            int rc = kcp_input(sides_[d.to].kcp, d.bytes.data(), (long)d.bytes.size());
            if (rc != 0)
                sides_[d.to].stream.error = "kcp_input refused a datagram: " + std::to_string(rc);
        }
        for (Side& s : sides_)
            feed(s);
        for (Side& s : sides_)
            kcp_update(s.kcp, now_);
        for (int i = 0; i < 2; ++i)
            drain(sides_[i], sides_[1 - i].stream);
        ++now_;
    }

private:
    struct Side {
        Link* owner;
        int index;
        KcpControl* kcp;
        Stream stream;
        int total;
    };
    struct Datagram {
        int to;
        std::vector<char> bytes;
    };

    static int output(const char* data, int length, KcpControl*, void* user) {
        Side* side = static_cast<Side*>(user);
        side->owner->transmit(*side, data, length);
        return 0;
    }

    void transmit(Side& from, const char* data, int length) {
        for (int at = 0; at + KCP_HEADER_SIZE <= length;) {
            uint32_t len;
            memcpy(&len, data + at + 20, 4);
            from.stream.data_segments_out += (unsigned char)data[at + 4] == KCP_CMD_DATA;
            at += KCP_HEADER_SIZE + (int)len;
        }
        if (rng_.chance(config_.loss))
            return;
        for (int copies = rng_.chance(config_.duplicate) ? 2 : 1; copies > 0; --copies) {
            uint64_t at = now_ + rng_.range(config_.delay_min, config_.delay_max) - config_.clock_start;
            // Ordered by delivery time, then by the order sent.
            in_flight_.emplace(std::make_pair(at, serial_++), Datagram{1 - from.index, std::vector<char>(data, data + length)});
        }
    }

    void feed(Side& s) {
        Stream& st = s.stream;
        while (st.queued < s.total && (int)s.kcp->send_queue_count < config_.queue_limit &&
               (config_.send_every == 0 || elapsed() >= (uint32_t)st.queued * config_.send_every)) {
            uint32_t n = (uint32_t)st.queued, size = st.sizes[n];
            for (uint32_t i = 0; i < size; ++i)
                buffer_[i] = message_byte(n, i);
            if (kcp_send(s.kcp, buffer_.data(), (int)size) != (int)size) {
                st.error = "kcp_send refused message " + std::to_string(n);
                return;
            }
            st.sent_at.push_back(now_);
            st.queued++;
        }
    }

    // Takes every whole message out of receiver and checks it against the sender's stream.
    void drain(Side& receiver, Stream& sent) {
        int size;
        while ((size = kcp_recv(receiver.kcp, buffer_.data(), (int)buffer_.size())) >= 0) {
            uint32_t n = (uint32_t)sent.delivered;
            if ((int)n >= sent.queued || (uint32_t)size != sent.sizes[n]) {
                sent.error = "message " + std::to_string(n) + " never sent, or of the wrong size";
                return;
            }
            for (uint32_t i = 0; i < (uint32_t)size; ++i)
                if (buffer_[i] != message_byte(n, i)) {
                    sent.error = "message " + std::to_string(n) + " is corrupted or out of order";
                    return;
                }
            sent.latency.push_back(now_ - sent.sent_at[n]);
            sent.bytes += (uint32_t)size;
            sent.delivered++;
        }
    }

    Config config_;
    Rng rng_;
    uint32_t now_;
    uint64_t serial_ = 0;
    Side sides_[2];
    std::map<std::pair<uint64_t, uint64_t>, Datagram> in_flight_;
    std::vector<char> buffer_;
};

}  // namespace kcpsim

#endif

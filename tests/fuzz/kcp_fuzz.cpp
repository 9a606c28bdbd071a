// libFuzzer target for the KCP engine: the input is a script of operations on
// two engines (arbitrary and crafted datagrams, sends, receives, clock steps,
// setters, lossy delivery between them, failing allocations). After every
// operation the engines' lists must agree with their counters and stay sorted.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <deque>
#include <string>

#include "kcp.h"

namespace {

struct Reader {
    const uint8_t* p;
    size_t n;
    bool empty() const { return n == 0; }
    uint8_t u8() {
        if (n == 0)
            return 0;
        --n;
        return *p++;
    }
    uint16_t u16() { return (uint16_t)(u8() | (u8() << 8)); }
    uint32_t u32() { return (uint32_t)u16() | ((uint32_t)u16() << 16); }
    // Up to want bytes taken from the input.
    std::string bytes(size_t want) {
        size_t take = want < n ? want : n;
        std::string out((const char*)p, take);
        p += take;
        n -= take;
        return out;
    }
};

struct Side {
    KcpControl* kcp;
    std::deque<std::string> outbox;  // datagrams waiting for delivery to the other side
};

int output(const char* data, int length, KcpControl*, void* user) {
    Side* side = static_cast<Side*>(user);
    if (length <= 0)
        abort();  // empty datagrams are never output
    if (side->outbox.size() >= 512)
        side->outbox.pop_front();
    side->outbox.emplace_back(data, (size_t)length);
    return 0;
}

void log_line(const char* line, KcpControl*, void*) {
    if (strlen(line) >= 1024)
        abort();
}

int g_allocations_left = -1;  // negative: allocations never fail
void* allocate(size_t n) {
    if (g_allocations_left == 0)
        return nullptr;
    if (g_allocations_left > 0)
        --g_allocations_left;
    return malloc(n);
}

bool before(uint32_t a, uint32_t b) {
    return (int32_t)(a - b) < 0;
}

uint32_t check_list(const KcpLink* head, bool sorted, uint32_t floor) {
    uint32_t count = 0;
    const KcpSegment* prev = nullptr;
    for (const KcpLink* l = head->next; l != head; l = l->next) {
        const KcpSegment* seg = reinterpret_cast<const KcpSegment*>(l);
        if (l->next->prev != l)
            abort();
        if (sorted && (before(seg->sequence, floor) || (prev != nullptr && !before(prev->sequence, seg->sequence))))
            abort();
        prev = seg;
        ++count;
    }
    return count;
}

void check(const KcpControl* kcp) {
    if (check_list(&kcp->send_queue, false, 0) != kcp->send_queue_count ||
        check_list(&kcp->recv_queue, false, 0) != kcp->recv_queue_count ||
        check_list(&kcp->send_buffer, true, kcp->send_unacked) != kcp->send_buffer_count ||
        check_list(&kcp->recv_buffer, true, kcp->recv_next) != kcp->recv_buffer_count)
        abort();
    if (kcp->ack_count > kcp->ack_capacity)
        abort();
    uint32_t first = kcp->send_buffer_count == 0
                         ? kcp->send_next
                         : reinterpret_cast<const KcpSegment*>(kcp->send_buffer.next)->sequence;
    if (first != kcp->send_unacked)
        abort();
}

std::string crafted(Reader& in, const KcpControl* target) {
    std::string out;
    int count = in.u8() % 4 + 1;
    for (int i = 0; i < count; ++i) {
        uint8_t flags = in.u8();
        uint32_t conv = (flags & 1) ? in.u32() : target->conversation;
        uint8_t cmd = (flags & 2) ? in.u8() : (uint8_t)(KCP_CMD_DATA + in.u8() % 4);
        uint8_t frg = in.u8() % 4;
        uint16_t wnd = (flags & 4) ? 0 : in.u16();
        uint32_t ts = target->now - in.u8();
        uint32_t sn = target->recv_next + (uint32_t)(int8_t)in.u8();
        if (cmd == KCP_CMD_ACK)
            sn = target->send_unacked + in.u8() % 16;
        uint32_t una = (flags & 8) ? target->send_unacked + in.u8() % 8 : 0;
        std::string payload = in.bytes(in.u8() % 64);
        uint32_t len = (flags & 16) ? in.u32() : (uint32_t)payload.size();
        uint32_t fields[] = {conv, (uint32_t)cmd | (uint32_t)frg << 8 | (uint32_t)wnd << 16, ts, sn, una, len};
        for (uint32_t f : fields)
            for (int b = 0; b < 4; ++b)
                out.push_back((char)(f >> (8 * b)));
        out += payload;
    }
    return out;
}

void deliver(Side& from, Side& to, Reader& in) {
    uint8_t mask = in.u8();  // bit i: drop the i-th datagram; bit 7: deliver the batch reversed
    std::deque<std::string> batch;
    batch.swap(from.outbox);
    if (mask & 0x80)
        std::reverse(batch.begin(), batch.end());
    int i = 0;
    for (const std::string& d : batch)
        if ((mask & (1 << (i++ % 7))) == 0)
            kcp_input(to.kcp, d.data(), (long)d.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Side sides[2];
    for (Side& s : sides) {
        s.kcp = kcp_create(1, &s);
        kcp_set_output(s.kcp, output);
    }
    static char buffer[300000];
    Reader in{data, size};
    uint32_t now = in.u32();
    for (int op = 0; op < 4000 && !in.empty(); ++op) {
        uint8_t code = in.u8();
        Side& side = sides[code >> 7];
        Side& other = sides[1 - (code >> 7)];
        KcpControl* kcp = side.kcp;
        switch (code % 13) {
        case 0: {
            std::string raw = in.bytes(in.u16() % 2048);
            kcp_input(kcp, raw.data(), (long)raw.size());
            break;
        }
        case 1: {
            std::string d = crafted(in, kcp);
            kcp_input(kcp, d.data(), (long)d.size());
            break;
        }
        case 2: {
            int length = (int)(in.u16() % 24000) - 8;
            kcp_send(kcp, (in.u8() & 1) ? buffer : nullptr, length);
            break;
        }
        case 3: {
            int length = (int16_t)in.u16();
            int got = kcp_recv(kcp, (in.u8() & 1) ? buffer : nullptr, length);
            if (got > (length < 0 ? -length : length))
                abort();
            break;
        }
        case 4:
            now += (in.u8() & 1) ? in.u32() : in.u16() % 3000;
            kcp_update(sides[0].kcp, now);
            kcp_update(sides[1].kcp, now);
            break;
        case 5:
            deliver(side, other, in);
            break;
        case 6:
            kcp_set_nodelay(kcp, (int8_t)in.u8(), (int16_t)in.u16(), (int8_t)in.u8(), (int8_t)in.u8());
            break;
        case 7:
            kcp_set_window(kcp, (int16_t)in.u16(), (int16_t)in.u16() % 4096);
            break;
        case 8:
            kcp_set_mtu(kcp, (int16_t)in.u16());
            break;
        case 9:
            kcp_flush(kcp);
            break;
        case 10:
            kcp->log_mask = in.u8();
            kcp->log_writer = (in.u8() & 1) ? log_line : nullptr;
            break;
        case 11:
            g_allocations_left = in.u8() % 8;
            break;
        default:
            g_allocations_left = -1;
            kcp_update(kcp, now);
            break;
        }
        check(sides[0].kcp);
        check(sides[1].kcp);
    }
    g_allocations_left = -1;
    kcp_release(sides[0].kcp);
    kcp_release(sides[1].kcp);
    return 0;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kcp_set_allocator(allocate, free);
    return 0;
}

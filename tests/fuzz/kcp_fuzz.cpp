// libFuzzer target for the KCP engine: the input is a script of operations on
// two engines (arbitrary datagrams, sends, receives, clock steps, setters,
// lossy and reordered delivery between them, failing allocations). After each
// operation every list must agree with its counter and the buffers must stay
// sorted. The corpus is written in this script.
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "kcp.h"

namespace {

const uint8_t* g_in;
size_t g_left;
int g_allocations_left = -1;  // negative: allocations never fail

uint32_t Take(int bytes) {  // little-endian; zeros past the end
    uint32_t v = 0;
    for (int i = 0; i < bytes && g_left > 0; ++i, --g_left)
        v |= (uint32_t)*g_in++ << (8 * i);
    return v;
}

void* Allocate(size_t n) {
    if (g_allocations_left == 0)
        return nullptr;
    g_allocations_left -= g_allocations_left > 0;
    return malloc(n);
}

void Check(const KcpLink* head, uint32_t count, bool sorted, uint32_t floor) {
    uint32_t seen = 0, last = floor - 1;
    for (const KcpLink* l = head->next; l != head; l = l->next, ++seen) {
        uint32_t sn = reinterpret_cast<const KcpSegment*>(l)->sequence;
        if (l->next->prev != l || (sorted && (int32_t)(sn - last) <= 0))
            abort();
        last = sn;
    }
    if (seen != count)
        abort();
}

void Check(const KcpControl* k) {
    Check(&k->send_queue, k->send_queue_count, false, 0);
    Check(&k->recv_queue, k->recv_queue_count, false, 0);
    Check(&k->send_buffer, k->send_buffer_count, true, k->send_unacked);
    Check(&k->recv_buffer, k->recv_buffer_count, true, k->recv_next);
    const KcpSegment* first = reinterpret_cast<const KcpSegment*>(k->send_buffer.next);
    if (k->ack_count > k->ack_capacity || (k->send_buffer_count ? first->sequence : k->send_next) != k->send_unacked)
        abort();
}

int Output(const char* data, int length, KcpControl*, void* user) {
    std::vector<std::string>* box = (std::vector<std::string>*)user;
    if (length <= 0)
        abort();  // empty datagrams are never output
    box->emplace_back(data, (size_t)length);
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    g_in = data;
    g_left = size;
    std::vector<std::string> outbox[2];  // datagrams on their way to the other side
    KcpControl* kcp[2] = {kcp_create(1, &outbox[0]), kcp_create(1, &outbox[1])};
    kcp_set_output(kcp[0], Output);
    kcp_set_output(kcp[1], Output);
    static char buffer[300000];
    uint32_t now = Take(4);
    for (int op = 0; op < 4000 && g_left > 0; ++op) {
        const uint32_t code = Take(1);  // bit 7: side; bit 6: a variant; bits 0-2: operation
        const int side = (int)(code >> 7);
        const bool variant = code & 0x40;
        KcpControl* k = kcp[side];
        std::string d((code & 7) == 0 ? std::min<size_t>(Take(2) % 2048, g_left) : 0, '\0');
        for (char& c : d)
            c = (char)Take(1);
        uint32_t a = Take(2), b = Take(2);
        switch (code & 7) {
        case 0:
            kcp_input(k, d.data(), (long)d.size());
            break;
        case 1:
            kcp_send(k, variant ? buffer : nullptr, (int)(a % 24000) - 8);
            break;
        case 2:
            if (kcp_recv(k, variant ? buffer : nullptr, (int16_t)a) > std::abs((int16_t)a))
                abort();
            break;
        case 3:
            now += variant ? a | b << 16 : a % 3000;
            kcp_update(kcp[0], now);
            kcp_update(kcp[1], now);
            break;
        case 4: {  // bit i drops the datagrams whose index is i modulo 7; bit 7 reverses the batch
            std::vector<std::string> batch;
            batch.swap(outbox[side]);
            if (a & 0x80)
                std::reverse(batch.begin(), batch.end());
            for (size_t i = 0; i < batch.size(); ++i)
                if ((a & (1u << (i % 7))) == 0)
                    kcp_input(kcp[1 - side], batch[i].data(), (long)batch[i].size());
            break;
        }
        case 5:
            if (variant)
                kcp_set_window(k, (int16_t)a, (int16_t)b % 4096);
            else if (b & 0x8000)
                kcp_set_mtu(k, (int16_t)a);
            else
                kcp_set_nodelay(k, (int8_t)a, (int16_t)b, (int8_t)(a >> 8), (int8_t)(b >> 8));
            break;
        case 6:
            g_allocations_left = (int)(a % 8);
            break;
        default:
            g_allocations_left = -1;
            variant ? kcp_flush(k) : kcp_update(k, now);
        }
        for (std::vector<std::string>& box : outbox)
            box.erase(box.begin(), box.end() - (long)std::min<size_t>(box.size(), 512));
        Check(kcp[0]);
        Check(kcp[1]);
    }
    g_allocations_left = -1;
    kcp_release(kcp[0]);
    kcp_release(kcp[1]);
    return 0;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kcp_set_allocator(Allocate, free);
    return 0;
}

// The KCP ARQ engine: segment lists, acknowledgements, retransmission and
// congestion control over an unreliable datagram output.
#include "kcp.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "byte_order.h"

namespace {

const uint32_t kDeadLink = 20;
const uint32_t kProbeInitial = 7000;    // first window ask after the window closed
const uint32_t kProbeLimit = 120000;    // longest gap between window asks
const int32_t kRtoDefault = 200;
const int32_t kRtoMin = 100;
const int32_t kRtoMinNodelay = 30;
const uint32_t kRtoMax = 60000;
const uint32_t kIntervalMax = 5000;
const int32_t kResyncLimit = 10000;     // clock jumps beyond this restart the flush schedule
const uint32_t kMaxFragments = 128;
const uint32_t kAckListInitial = 8;
// Acknowledgements kept between flushes, per segment of the receive window:
// room for every segment of a window and its resends. Beyond it a peer is
// repeating itself (old sequence numbers are acknowledged again without limit),
// so the ack is dropped and the peer's next resend earns it.
const uint32_t kAcksPerWindowSegment = 4;

void* (*g_allocate)(size_t) = malloc;
void (*g_release)(void*) = free;

/* ---- Wrapping sequence and time comparisons ---- */

int32_t diff(uint32_t a, uint32_t b) {
    return (int32_t)(a - b);
}
bool before(uint32_t a, uint32_t b) {
    return diff(a, b) < 0;
}
bool at_or_after(uint32_t a, uint32_t b) {
    return diff(a, b) >= 0;
}
bool after(uint32_t a, uint32_t b) {
    return diff(a, b) > 0;
}

/* ---- Circular lists ---- */

void list_init(KcpLink* head) {
    head->prev = head->next = head;
}
bool list_empty(const KcpLink* head) {
    return head->next == head;
}
void list_insert_after(KcpLink* pos, KcpLink* node) {
    node->prev = pos;
    node->next = pos->next;
    pos->next->prev = node;
    pos->next = node;
}
void list_append(KcpLink* head, KcpLink* node) {
    list_insert_after(head->prev, node);
}
void list_unlink(KcpLink* node) {
    node->prev->next = node->next;
    node->next->prev = node->prev;
    node->prev = node->next = node;
}
KcpSegment* seg_of(KcpLink* link) {
    return reinterpret_cast<KcpSegment*>(link);  // the link is the record's first member
}

/* ---- Segments ---- */

KcpSegment* segment_new(uint32_t size) {
    KcpSegment* seg = (KcpSegment*)g_allocate(sizeof(KcpSegment) + size);
    if (seg == nullptr)
        return nullptr;
    memset(seg, 0, sizeof(KcpSegment));
    list_init(&seg->link);
    seg->length = size;
    return seg;
}
void segment_free(KcpSegment* seg) {
    list_unlink(&seg->link);
    g_release(seg);
}
void list_free(KcpLink* head) {
    while (!list_empty(head))
        segment_free(seg_of(head->next));
}

uint32_t free_window(const KcpControl* kcp) {
    return kcp->recv_queue_count < kcp->recv_window ? kcp->recv_window - kcp->recv_queue_count : 0;
}

// Writes the 24-byte header of seg; returns the position after it.
char* encode_header(char* p, const KcpSegment* seg) {
    net__write_u32(p, seg->conversation);
    p[4] = (char)(uint8_t)seg->command;
    p[5] = (char)(uint8_t)seg->fragment;
    net__write_u16(p + 6, (uint16_t)seg->window);
    net__write_u32(p + 8, seg->timestamp);
    net__write_u32(p + 12, seg->sequence);
    net__write_u32(p + 16, seg->cum_ack);
    net__write_u32(p + 20, seg->length);
    return p + KCP_HEADER_SIZE;
}

void emit(KcpControl* kcp, const char* data, int length) {
    kcp_log(kcp, KCP_LOG_OUTPUT, "[RO] %ld bytes", (long)length);
    if (length == 0 || kcp->output == nullptr)
        return;
    kcp->output(data, length, kcp, kcp->user);
}

/* ---- Staging of outgoing datagrams ---- */

struct Stage {
    KcpControl* kcp;
    char* ptr;
};

// Room for needed bytes: outputs what is staged when it would grow past the MTU.
char* stage_reserve(Stage* stage, uint32_t needed) {
    KcpControl* kcp = stage->kcp;
    uint32_t staged = (uint32_t)(stage->ptr - kcp->out_buffer);
    if (staged > 0 && staged + needed > kcp->mtu) {
        emit(kcp, kcp->out_buffer, (int)staged);
        stage->ptr = kcp->out_buffer;
    }
    return stage->ptr;
}
void stage_segment(Stage* stage, const KcpSegment* seg, const char* payload) {
    char* p = stage_reserve(stage, KCP_HEADER_SIZE + seg->length);
    p = encode_header(p, seg);
    if (seg->length > 0) {
        memcpy(p, payload, seg->length);
        p += seg->length;
    }
    stage->ptr = p;
}
void stage_flush(Stage* stage) {
    int staged = (int)(stage->ptr - stage->kcp->out_buffer);
    if (staged > 0)
        emit(stage->kcp, stage->kcp->out_buffer, staged);
    stage->ptr = stage->kcp->out_buffer;
}

/* ---- Receiving ---- */

// Moves in-order segments from recv_buffer to recv_queue while the queue has room.
void move_ready(KcpControl* kcp) {
    while (!list_empty(&kcp->recv_buffer)) {
        KcpSegment* seg = seg_of(kcp->recv_buffer.next);
        if (seg->sequence != kcp->recv_next || kcp->recv_queue_count >= kcp->recv_window)
            break;
        list_unlink(&seg->link);
        list_append(&kcp->recv_queue, &seg->link);
        kcp->recv_buffer_count--;
        kcp->recv_queue_count++;
        kcp->recv_next++;
    }
}

// Appends a (sequence, timestamp) pair; false when the list is full or cannot grow.
bool ack_push(KcpControl* kcp, uint32_t sequence, uint32_t timestamp) {
    if ((uint64_t)kcp->ack_count >= (uint64_t)kcp->recv_window * kAcksPerWindowSegment)
        return false;
    if (kcp->ack_count + 1 > kcp->ack_capacity) {
        uint32_t capacity = kAckListInitial;
        while (capacity < kcp->ack_count + 1) {
            if (capacity > UINT32_MAX / 4)
                return false;
            capacity <<= 1;
        }
        uint32_t* list = (uint32_t*)g_allocate((size_t)capacity * 2 * sizeof(uint32_t));
        if (list == nullptr)
            return false;
        if (kcp->ack_count > 0)
            memcpy(list, kcp->ack_list, (size_t)kcp->ack_count * 2 * sizeof(uint32_t));
        g_release(kcp->ack_list);
        kcp->ack_list = list;
        kcp->ack_capacity = capacity;
    }
    kcp->ack_list[kcp->ack_count * 2] = sequence;
    kcp->ack_list[kcp->ack_count * 2 + 1] = timestamp;
    kcp->ack_count++;
    return true;
}

// A data segment inside the receive window, at or after recv_next. A copy that
// cannot be allocated is neither acknowledged nor stored, so the peer resends it.
void receive_data(KcpControl* kcp, const KcpSegment* header, const char* payload) {
    uint32_t sequence = header->sequence;
    KcpLink* pos = kcp->recv_buffer.prev;
    for (; pos != &kcp->recv_buffer; pos = pos->prev) {
        KcpSegment* seg = seg_of(pos);
        if (seg->sequence == sequence) {
            ack_push(kcp, sequence, header->timestamp);
            return;
        }
        if (before(seg->sequence, sequence))
            break;
    }
    KcpSegment* copy = segment_new(header->length);
    if (copy == nullptr)
        return;
    ack_push(kcp, sequence, header->timestamp);
    KcpLink link = copy->link;
    *copy = *header;
    copy->link = link;
    copy->command = KCP_CMD_DATA;
    if (header->length > 0)
        memcpy(kcp_segment_data(copy), payload, header->length);
    list_insert_after(pos, &copy->link);
    kcp->recv_buffer_count++;
    kcp->recv_bytes += sizeof(KcpSegment) + header->length;
    move_ready(kcp);
}

/* ---- Acknowledgements and round trip ---- */

void update_unacked(KcpControl* kcp) {
    kcp->send_unacked = list_empty(&kcp->send_buffer) ? kcp->send_next
                                                      : seg_of(kcp->send_buffer.next)->sequence;
}

void apply_cum_ack(KcpControl* kcp, uint32_t cum_ack) {
    while (!list_empty(&kcp->send_buffer)) {
        KcpSegment* seg = seg_of(kcp->send_buffer.next);
        if (!before(seg->sequence, cum_ack))
            break;
        segment_free(seg);
        kcp->send_buffer_count--;
    }
    update_unacked(kcp);
}

void apply_ack(KcpControl* kcp, uint32_t sequence) {
    if (before(sequence, kcp->send_unacked) || !before(sequence, kcp->send_next))
        return;
    for (KcpLink* p = kcp->send_buffer.next; p != &kcp->send_buffer; p = p->next) {
        KcpSegment* seg = seg_of(p);
        if (seg->sequence == sequence) {
            segment_free(seg);
            kcp->send_buffer_count--;
            break;
        }
        if (after(seg->sequence, sequence))
            break;
    }
    update_unacked(kcp);
}

// Smoothed round trip; wide arithmetic so that absurd timestamps cannot overflow.
void update_rtt(KcpControl* kcp, int32_t rtt) {
    int64_t srtt = kcp->srtt;
    int64_t rtt_var = kcp->rtt_var;
    if (srtt == 0) {
        srtt = rtt;
        rtt_var = rtt / 2;
    } else {
        int64_t delta = rtt > srtt ? rtt - srtt : srtt - rtt;
        rtt_var = (3 * rtt_var + delta) / 4;
        srtt = (7 * srtt + rtt) / 8;
        if (srtt < 1)
            srtt = 1;
    }
    kcp->srtt = (int32_t)srtt;
    kcp->rtt_var = (int32_t)rtt_var;
    int64_t spread = 4 * rtt_var > (int64_t)kcp->interval ? 4 * rtt_var : (int64_t)kcp->interval;
    int64_t rto = srtt + spread;
    if (rto < (int64_t)(uint32_t)kcp->min_rto)
        rto = (uint32_t)kcp->min_rto;
    if (rto > (int64_t)kRtoMax)
        rto = kRtoMax;
    kcp->rto = (int32_t)rto;
}

void count_fast_acks(KcpControl* kcp, uint32_t largest) {
    if (before(largest, kcp->send_unacked) || !before(largest, kcp->send_next))
        return;
    for (KcpLink* p = kcp->send_buffer.next; p != &kcp->send_buffer; p = p->next) {
        KcpSegment* seg = seg_of(p);
        if (after(seg->sequence, largest))
            break;
        if (seg->sequence != largest)
            seg->fast_acks++;
    }
}

void grow_window(KcpControl* kcp) {
    if (kcp->cwnd >= kcp->remote_window)
        return;
    uint32_t mss = kcp->mss;
    if (kcp->cwnd < kcp->ssthresh) {
        kcp->cwnd++;
        kcp->cwnd_bytes += mss;
    } else {
        if (kcp->cwnd_bytes < mss)
            kcp->cwnd_bytes = mss;
        kcp->cwnd_bytes += mss * mss / kcp->cwnd_bytes + mss / 16;
        if ((kcp->cwnd + 1) * mss <= kcp->cwnd_bytes)
            kcp->cwnd = (kcp->cwnd_bytes + mss - 1) / mss;
    }
    if (kcp->cwnd > kcp->remote_window) {
        kcp->cwnd = kcp->remote_window;
        kcp->cwnd_bytes = kcp->remote_window * mss;
    }
}

/* ---- Flush steps ---- */

void update_probe(KcpControl* kcp) {
    if (kcp->remote_window != 0) {
        kcp->probe_time = 0;
        kcp->probe_wait = 0;
        return;
    }
    if (kcp->probe_wait == 0) {
        kcp->probe_wait = kProbeInitial;
        kcp->probe_time = kcp->now + kcp->probe_wait;
    } else if (at_or_after(kcp->now, kcp->probe_time)) {
        if (kcp->probe_wait < kProbeInitial)
            kcp->probe_wait = kProbeInitial;
        kcp->probe_wait += kcp->probe_wait / 2;
        if (kcp->probe_wait > kProbeLimit)
            kcp->probe_wait = kProbeLimit;
        kcp->probe_time = kcp->now + kcp->probe_wait;
        kcp->probe_flags |= PROBE_ASK;
    }
}

void admit(KcpControl* kcp, uint32_t window) {
    while (before(kcp->send_next, kcp->send_unacked + window) && !list_empty(&kcp->send_queue)) {
        KcpSegment* seg = seg_of(kcp->send_queue.next);
        list_unlink(&seg->link);
        list_append(&kcp->send_buffer, &seg->link);
        kcp->send_queue_count--;
        kcp->send_buffer_count++;
        seg->conversation = kcp->conversation;
        seg->command = KCP_CMD_DATA;
        seg->window = free_window(kcp);
        seg->timestamp = kcp->now;
        seg->sequence = kcp->send_next++;
        seg->cum_ack = kcp->recv_next;
        seg->resend_time = kcp->now;
        seg->rto = (uint32_t)kcp->rto;
        seg->fast_acks = 0;
        seg->transmits = 0;
    }
}

void back_off(const KcpControl* kcp, KcpSegment* seg) {
    uint32_t block_rto = (uint32_t)kcp->rto;
    if (kcp->nodelay == 0)
        seg->rto += seg->rto > block_rto ? seg->rto : block_rto;
    else if (kcp->nodelay == 1)
        seg->rto += seg->rto / 2;
    else
        seg->rto += (uint32_t)(kcp->rto / 2);
}

// Sends what is due in send_buffer; reports whether any segment timed out and
// how many were fast-resent.
void resend_due(KcpControl* kcp, Stage* stage, uint32_t resent, bool* lost, int* fast) {
    uint32_t extra = kcp->nodelay == 0 ? (uint32_t)(kcp->rto >> 3) : 0;
    for (KcpLink* p = kcp->send_buffer.next; p != &kcp->send_buffer; p = p->next) {
        KcpSegment* seg = seg_of(p);
        if (seg->transmits == 0) {
            seg->transmits = 1;
            seg->rto = (uint32_t)kcp->rto;
            seg->resend_time = kcp->now + seg->rto + extra;
        } else if (at_or_after(kcp->now, seg->resend_time)) {
            seg->transmits++;
            kcp->timeout_retransmits++;
            back_off(kcp, seg);
            seg->resend_time = kcp->now + seg->rto;
            *lost = true;
        } else if (seg->fast_acks >= resent &&
                   (kcp->fast_limit <= 0 || seg->transmits <= (uint32_t)kcp->fast_limit)) {
            seg->transmits++;
            seg->fast_acks = 0;
            seg->resend_time = kcp->now + seg->rto;
            (*fast)++;
        } else {
            continue;
        }
        seg->timestamp = kcp->now;
        seg->window = free_window(kcp);
        seg->cum_ack = kcp->recv_next;
        stage_segment(stage, seg, kcp_segment_data(seg));
        if (seg->transmits >= kcp->dead_link)
            kcp->state = (uint32_t)-1;
    }
}

// Staging must hold three MTUs of headers and any queued segment whole, even
// one cut for a larger MTU before it was lowered.
size_t staging_size(const KcpControl* kcp, uint32_t mtu) {
    size_t size = 3 * ((size_t)mtu + KCP_HEADER_SIZE);
    const KcpLink* lists[] = {&kcp->send_queue, &kcp->send_buffer};
    for (const KcpLink* head : lists)
        for (const KcpLink* p = head->next; p != head; p = p->next) {
            size_t need = KCP_HEADER_SIZE + (size_t)((const KcpSegment*)p)->length;
            if (need > size)
                size = need;
        }
    return size;
}

}  // namespace

/* ---- Public operations ---- */

void kcp_set_allocator(void* (*allocate)(size_t), void (*release)(void*)) {
    g_allocate = allocate != nullptr ? allocate : malloc;
    g_release = release != nullptr ? release : free;
}

void kcp_log(KcpControl* kcp, int mask, const char* format, ...) {
    if ((kcp->log_mask & mask) == 0 || kcp->log_writer == nullptr)
        return;
    char line[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    kcp->log_writer(line, kcp, kcp->user);
}

KcpControl* kcp_create(uint32_t conversation, void* user) {
    KcpControl* kcp = (KcpControl*)g_allocate(sizeof(KcpControl));
    if (kcp == nullptr)
        return nullptr;
    memset(kcp, 0, sizeof(KcpControl));
    kcp->conversation = conversation;
    kcp->user = user;
    kcp->mtu = 1400;
    kcp->mss = kcp->mtu - KCP_HEADER_SIZE;
    kcp->out_buffer = (char*)g_allocate(3 * (kcp->mtu + KCP_HEADER_SIZE));
    if (kcp->out_buffer == nullptr) {
        g_release(kcp);
        return nullptr;
    }
    kcp->ssthresh = 2;
    kcp->rto = kRtoDefault;
    kcp->min_rto = kRtoMin;
    kcp->send_window = 32;
    kcp->recv_window = 128;
    kcp->remote_window = 128;
    kcp->interval = 100;
    kcp->next_flush = 100;
    kcp->dead_link = kDeadLink;
    kcp->fast_limit = 5;
    list_init(&kcp->send_queue);
    list_init(&kcp->recv_queue);
    list_init(&kcp->send_buffer);
    list_init(&kcp->recv_buffer);
    return kcp;
}

void kcp_release(KcpControl* kcp) {
    if (kcp == nullptr)
        return;
    list_free(&kcp->send_queue);
    list_free(&kcp->recv_queue);
    list_free(&kcp->send_buffer);
    list_free(&kcp->recv_buffer);
    g_release(kcp->out_buffer);
    g_release(kcp->ack_list);
    g_release(kcp);
}

void kcp_set_output(KcpControl* kcp, kcp_output_fn output) {
    if (kcp != nullptr)
        kcp->output = output;
}

int kcp_send(KcpControl* kcp, const char* data, int length) {
    if (kcp == nullptr || length < 0)
        return -1;
    uint32_t mss = kcp->mss;
    uint64_t count = (uint32_t)length <= mss ? 1 : ((uint64_t)length + mss - 1) / mss;
    if (count >= kMaxFragments)
        return -2;
    uint32_t left = (uint32_t)length;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t size = left < mss ? left : mss;
        KcpSegment* seg = segment_new(size);
        if (seg == nullptr)
            return -2;
        if (data != nullptr && size > 0) {
            memcpy(kcp_segment_data(seg), data, size);
            data += size;
        }
        seg->fragment = (uint32_t)count - i - 1;
        list_append(&kcp->send_queue, &seg->link);
        kcp->send_queue_count++;
        left -= size;
    }
    return length;
}

int kcp_recv(KcpControl* kcp, char* buffer, int length) {
    if (kcp == nullptr || list_empty(&kcp->recv_queue))
        return -1;
    bool peek = length < 0;
    int64_t capacity = peek ? -(int64_t)length : length;
    if (capacity > INT32_MAX)
        capacity = INT32_MAX;  // peeking with INT_MIN
    KcpSegment* first = seg_of(kcp->recv_queue.next);
    if (first->fragment != 0 && kcp->recv_queue_count < first->fragment + 1)
        return -2;
    int64_t size = 0;
    for (KcpLink* p = kcp->recv_queue.next; p != &kcp->recv_queue; p = p->next) {
        size += seg_of(p)->length;
        if (seg_of(p)->fragment == 0)
            break;
    }
    if (size > capacity)
        return -3;
    bool recover = kcp->recv_queue_count >= kcp->recv_window;
    char* out = buffer;
    for (KcpLink* p = kcp->recv_queue.next; p != &kcp->recv_queue;) {
        KcpSegment* seg = seg_of(p);
        p = p->next;
        if (out != nullptr && seg->length > 0) {
            memcpy(out, kcp_segment_data(seg), seg->length);
            out += seg->length;
        }
        uint32_t fragment = seg->fragment;
        if (!peek) {
            kcp_log(kcp, KCP_LOG_RECV, "recv sn=%lu", (unsigned long)seg->sequence);
            kcp->recv_bytes -= sizeof(KcpSegment) + seg->length;
            segment_free(seg);
            kcp->recv_queue_count--;
        }
        if (fragment == 0)
            break;
    }
    move_ready(kcp);
    if (kcp->recv_queue_count < kcp->recv_window && recover)
        kcp->probe_flags |= PROBE_TELL;
    return (int)size;
}

int kcp_input(KcpControl* kcp, const char* data, long size) {
    if (kcp == nullptr)
        return -1;
    uint32_t prev = kcp->send_unacked;
    kcp_log(kcp, KCP_LOG_INPUT, "[RI] %d bytes", (int)size);
    if (data == nullptr || size < KCP_HEADER_SIZE)
        return -1;
    bool acked = false;
    uint32_t largest = 0;
    while (size >= KCP_HEADER_SIZE) {
        KcpSegment header;
        memset(&header, 0, sizeof header);
        header.conversation = net__read_u32(data);
        header.command = (uint8_t)data[4];
        header.fragment = (uint8_t)data[5];
        header.window = net__read_u16(data + 6);
        header.timestamp = net__read_u32(data + 8);
        header.sequence = net__read_u32(data + 12);
        header.cum_ack = net__read_u32(data + 16);
        header.length = net__read_u32(data + 20);
        if (header.conversation != kcp->conversation)
            return -1;
        data += KCP_HEADER_SIZE;
        size -= KCP_HEADER_SIZE;
        if ((int32_t)header.length < 0 || size < (long)header.length)
            return -2;
        // Our peers cut messages at the MSS; longer fragments would let the
        // receive window and queue (256 segments) hold 64 KiB each.
        if (header.command == KCP_CMD_DATA && header.length > kcp->mss)
            return -2;
        if (header.command < KCP_CMD_DATA || header.command > KCP_CMD_WINDOW_TELL)
            return -3;
        kcp->remote_window = header.window;
        apply_cum_ack(kcp, header.cum_ack);
        switch (header.command) {
        case KCP_CMD_ACK: {
            int32_t rtt = diff(kcp->now, header.timestamp);
            if (rtt >= 0)
                update_rtt(kcp, rtt);
            apply_ack(kcp, header.sequence);
            if (!acked || after(header.sequence, largest))
                largest = header.sequence;
            acked = true;
            kcp_log(kcp, KCP_LOG_IN_ACK, "input ack: sn=%lu rtt=%ld rto=%ld",
                    (unsigned long)header.sequence, (long)rtt, (long)kcp->rto);
            break;
        }
        case KCP_CMD_DATA:
            kcp_log(kcp, KCP_LOG_IN_DATA, "input psh: sn=%lu ts=%lu",
                    (unsigned long)header.sequence, (unsigned long)header.timestamp);
            if (before(header.sequence, kcp->recv_next + kcp->recv_window)) {
                if (at_or_after(header.sequence, kcp->recv_next))
                    receive_data(kcp, &header, data);
                else
                    ack_push(kcp, header.sequence, header.timestamp);
            }
            break;
        case KCP_CMD_WINDOW_ASK:
            kcp->probe_flags |= PROBE_TELL;
            kcp_log(kcp, KCP_LOG_IN_PROBE, "input probe");
            break;
        default:
            kcp_log(kcp, KCP_LOG_IN_WINDOW, "input wins: %lu", (unsigned long)header.window);
            break;
        }
        data += header.length;
        size -= header.length;
    }
    if (acked)
        count_fast_acks(kcp, largest);
    if (after(kcp->send_unacked, prev))
        grow_window(kcp);
    return 0;
}

void kcp_flush(KcpControl* kcp) {
    if (kcp == nullptr || !kcp->updated)
        return;
    Stage stage = {kcp, kcp->out_buffer};
    KcpSegment control;
    memset(&control, 0, sizeof control);
    control.conversation = kcp->conversation;
    control.window = free_window(kcp);
    control.cum_ack = kcp->recv_next;

    control.command = KCP_CMD_ACK;
    for (uint32_t i = 0; i < kcp->ack_count; ++i) {
        control.sequence = kcp->ack_list[i * 2];
        control.timestamp = kcp->ack_list[i * 2 + 1];
        stage_segment(&stage, &control, nullptr);
    }
    kcp->ack_count = 0;

    update_probe(kcp);
    if (kcp->probe_flags & PROBE_ASK) {
        control.command = KCP_CMD_WINDOW_ASK;
        stage_segment(&stage, &control, nullptr);
    }
    if (kcp->probe_flags & PROBE_TELL) {
        control.command = KCP_CMD_WINDOW_TELL;
        stage_segment(&stage, &control, nullptr);
    }
    kcp->probe_flags = 0;

    uint32_t window = kcp->send_window < kcp->remote_window ? kcp->send_window : kcp->remote_window;
    if (kcp->no_cwnd == 0 && kcp->cwnd < window)
        window = kcp->cwnd;
    admit(kcp, window);

    uint32_t resent = kcp->fast_resend > 0 ? (uint32_t)kcp->fast_resend : UINT32_MAX;
    bool lost = false;
    int fast = 0;
    resend_due(kcp, &stage, resent, &lost, &fast);
    stage_flush(&stage);

    if (fast > 0) {
        kcp->ssthresh = (kcp->send_next - kcp->send_unacked) / 2;
        if (kcp->ssthresh < 2)
            kcp->ssthresh = 2;
        kcp->cwnd = kcp->ssthresh + resent;
        kcp->cwnd_bytes = kcp->cwnd * kcp->mss;
    }
    if (lost) {
        kcp->ssthresh = window / 2;
        if (kcp->ssthresh < 2)
            kcp->ssthresh = 2;
        kcp->cwnd = 1;
        kcp->cwnd_bytes = kcp->mss;
    }
    if (kcp->cwnd < 1) {
        kcp->cwnd = 1;
        kcp->cwnd_bytes = kcp->mss;
    }
}

void kcp_update(KcpControl* kcp, uint32_t current) {
    if (kcp == nullptr)
        return;
    kcp->now = current;
    if (!kcp->updated) {
        kcp->updated = 1;
        kcp->next_flush = current;
    }
    int32_t slap = diff(current, kcp->next_flush);
    if (slap >= kResyncLimit || slap < -kResyncLimit) {
        kcp->next_flush = current;
        slap = 0;
    }
    if (slap < 0)
        return;
    kcp->next_flush += kcp->interval;
    if (at_or_after(current, kcp->next_flush))
        kcp->next_flush = current + kcp->interval;
    kcp_flush(kcp);
}

size_t kcp_held_bytes(const KcpControl* kcp) {
    if (kcp == nullptr)
        return 0;
    return kcp->recv_bytes + (size_t)kcp->ack_capacity * 2 * sizeof(uint32_t);
}

int kcp_set_nodelay(KcpControl* kcp, int nodelay, int interval, int resend, int nc) {
    if (kcp == nullptr)
        return 0;
    if (nodelay >= 0) {
        kcp->nodelay = (uint32_t)nodelay;
        kcp->min_rto = nodelay != 0 ? kRtoMinNodelay : kRtoMin;
    }
    if (interval >= 0)
        kcp->interval = (uint32_t)interval > kIntervalMax ? kIntervalMax : (uint32_t)interval;
    if (resend >= 0)
        kcp->fast_resend = resend;
    if (nc >= 0)
        kcp->no_cwnd = nc;
    return 0;
}

int kcp_set_window(KcpControl* kcp, int send, int recv) {
    if (kcp == nullptr)
        return 0;
    if (send > 0)
        kcp->send_window = (uint32_t)send;
    if (recv > 0)
        kcp->recv_window = (uint32_t)recv > 128u ? (uint32_t)recv : 128u;
    return 0;
}

int kcp_set_mtu(KcpControl* kcp, int mtu) {
    if (kcp == nullptr || mtu < 50)
        return -1;
    char* staging = (char*)g_allocate(staging_size(kcp, (uint32_t)mtu));
    if (staging == nullptr)
        return -2;
    g_release(kcp->out_buffer);
    kcp->out_buffer = staging;
    kcp->mtu = (uint32_t)mtu;
    kcp->mss = kcp->mtu - KCP_HEADER_SIZE;
    return 0;
}

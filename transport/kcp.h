// The KCP ARQ engine: turns an unreliable datagram channel into a reliable,
// ordered message channel. Pure computation: no socket, timer or thread. The
// owner feeds it datagrams (kcp_input) and the clock (kcp_update), takes
// messages out (kcp_recv), puts messages in (kcp_send) and transmits what the
// output callback hands it. Internal to the transport library; the control
// block is public so that its owners and tests can read its state.
#ifndef MAROVENT_TRANSPORT_KCP_H
#define MAROVENT_TRANSPORT_KCP_H

#include <stddef.h>
#include <stdint.h>

#define KCP_HEADER_SIZE 24

#define KCP_CMD_DATA        81  // one fragment of a message
#define KCP_CMD_ACK         82  // selective acknowledgement of one data segment
#define KCP_CMD_WINDOW_ASK  83  // asks the peer to report its window
#define KCP_CMD_WINDOW_TELL 84  // reports the sender's window

#define PROBE_ASK  1
#define PROBE_TELL 2

// Diagnostic kinds for log_mask.
#define KCP_LOG_OUTPUT    1
#define KCP_LOG_INPUT     2
#define KCP_LOG_RECV      8
#define KCP_LOG_IN_DATA   16
#define KCP_LOG_IN_ACK    32
#define KCP_LOG_IN_PROBE  64
#define KCP_LOG_IN_WINDOW 128

struct KcpControl;

// Transmits one datagram; the result is ignored by the engine.
typedef int (*kcp_output_fn)(const char* data, int length, KcpControl* kcp, void* user);
// Receives one diagnostic line (only when its kind is set in log_mask).
typedef void (*kcp_log_fn)(const char* line, KcpControl* kcp, void* user);

// Links of a circular list; a list head is a bare link pointing at itself when empty.
struct KcpLink {
    KcpLink* prev;
    KcpLink* next;
};

// One segment; its payload (length bytes) follows the record in the same block.
struct KcpSegment {
    KcpLink link;
    uint32_t conversation;
    uint32_t command;
    uint32_t fragment;
    uint32_t window;
    uint32_t timestamp;
    uint32_t sequence;
    uint32_t cum_ack;
    uint32_t length;
    uint32_t resend_time;
    uint32_t rto;
    uint32_t fast_acks;
    uint32_t transmits;
};

inline char* kcp_segment_data(KcpSegment* segment) {
    return reinterpret_cast<char*>(segment + 1);
}

// The control block of one conversation.
struct KcpControl {
    uint32_t conversation;
    uint32_t mtu;
    uint32_t mss;
    uint32_t state;          // all bits set once a segment was sent dead_link times
    uint32_t send_unacked;
    uint32_t send_next;
    uint32_t recv_next;
    uint32_t ssthresh;
    int32_t rtt_var;
    int32_t srtt;
    int32_t rto;
    int32_t min_rto;
    uint32_t send_window;
    uint32_t recv_window;
    uint32_t remote_window;
    uint32_t cwnd;
    uint32_t probe_flags;
    uint32_t now;
    uint32_t interval;
    uint32_t next_flush;
    uint32_t timeout_retransmits;
    uint32_t recv_buffer_count;
    uint32_t send_buffer_count;
    uint32_t recv_queue_count;
    uint32_t send_queue_count;
    uint32_t nodelay;
    uint32_t updated;
    uint32_t probe_time;
    uint32_t probe_wait;
    uint32_t dead_link;
    uint32_t cwnd_bytes;
    KcpLink send_queue;      // accepted by kcp_send, not yet numbered
    KcpLink recv_queue;      // in order, waiting for kcp_recv
    KcpLink send_buffer;     // in flight, ascending sequence
    KcpLink recv_buffer;     // out of order, ascending sequence
    uint32_t* ack_list;      // (sequence, timestamp) pairs for the next flush
    uint32_t ack_count;
    uint32_t ack_capacity;
    void* user;
    char* out_buffer;        // staging for outgoing datagrams
    int32_t fast_resend;
    int32_t fast_limit;
    int32_t no_cwnd;
    int32_t stream;          // always 0: every kcp_send is one message
    int32_t log_mask;
    kcp_output_fn output;
    kcp_log_fn log_writer;
    size_t recv_bytes;       // records and payloads in recv_buffer and recv_queue
};

// A new control block, or null when memory runs out (nothing is left allocated).
KcpControl* kcp_create(uint32_t conversation, void* user);
// Frees every segment, the buffers and the block; null is ignored.
void kcp_release(KcpControl* kcp);
void kcp_set_output(KcpControl* kcp, kcp_output_fn output);

// Queues one message: bytes queued, -1 negative length, -2 too many fragments or no memory.
int kcp_send(KcpControl* kcp, const char* data, int length);
// Takes the next whole message: its size, -1 none, -2 incomplete, -3 buffer too small.
// A negative length peeks with a buffer of -length bytes.
int kcp_recv(KcpControl* kcp, char* buffer, int length);
// Applies one received datagram: 0, -1 short/foreign, -2 truncated payload or a
// data segment longer than the MSS, -3 unknown command.
int kcp_input(KcpControl* kcp, const char* data, long size);
// Gives the engine the time in ms; flushes once per interval.
void kcp_update(KcpControl* kcp, uint32_t current);
// Sends acknowledgements, probes, new and due segments through the output callback.
void kcp_flush(KcpControl* kcp);

// What the block holds for its peer's sake: the received segments not taken
// yet (records and payloads) and the acknowledgement list. Kept as segments
// come and go, so it is cheap to ask after every datagram.
size_t kcp_held_bytes(const KcpControl* kcp);

// Negative arguments leave their setting unchanged. Always 0.
int kcp_set_nodelay(KcpControl* kcp, int nodelay, int interval, int resend, int nc);
int kcp_set_window(KcpControl* kcp, int send, int recv);
// 0; -1 mtu below 50; -2 no memory for the new staging buffer (nothing changes).
int kcp_set_mtu(KcpControl* kcp, int mtu);

// Writes one diagnostic line of kind mask when enabled in log_mask and a writer is installed.
void kcp_log(KcpControl* kcp, int mask, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Replaces the engine's allocator (null restores malloc/free); lets tests run out of memory.
void kcp_set_allocator(void* (*allocate)(size_t), void (*release)(void*));

#endif

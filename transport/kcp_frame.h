// The KCP connection's wire formats: control frames on the TCP connection
// (u32 length of type plus payload, u16 type, payload), messages carried over
// KCP (u16 type, payload), and the stream buffer that collects a frame from
// TCP reads. Shared by the KCP client and the KCP server; not public.
#ifndef MAROVENT_TRANSPORT_KCP_FRAME_H
#define MAROVENT_TRANSPORT_KCP_FRAME_H

#include <stddef.h>
#include <stdint.h>

#define FRAME_HEADER_SIZE 6
#define FRAME_DATA        16
#define FRAME_UDP_PORT    17
#define FRAME_KEEPALIVE   18

#define MSG_HEADER_SIZE 2
#define MSG_DATA        0
#define MSG_HELLO       1
#define MSG_WELCOME     2
#define MSG_KEEPALIVE   3

/* ---- StreamBuffer ------------------------------------------------------- */
// Bytes of a stream that do not form a whole frame yet. The capacity is a
// power of two (2 when empty) so growing by small reads stays cheap.

struct StreamBuffer {
    char* data;
    size_t capacity;
    size_t size;
};

void net__stream_buffer_init(StreamBuffer* buffer);
// false when memory runs out (the buffer is left as it was).
bool net__stream_buffer_append(StreamBuffer* buffer, const char* data, size_t length);
// false when n is more than the buffered bytes (nothing is consumed). Memory
// is given back once the rest fits in a quarter of the capacity.
bool net__stream_buffer_consume(StreamBuffer* buffer, size_t n);
// The capacity the buffer may reach when length more bytes are appended (its
// current one when no size_t could hold them: that append fails).
size_t net__stream_buffer_capacity_after(const StreamBuffer* buffer, size_t length);
void net__stream_buffer_reset(StreamBuffer* buffer);
void net__stream_buffer_release(StreamBuffer* buffer);

/* ---- Frame reader ------------------------------------------------------- */

// Handles one whole frame; returns false when the reader must stop at once
// (the owner stopped or closed the connection inside a callback, which also
// resets the stream buffer).
typedef bool (*net__kcp_frame_handler)(void* context, unsigned type, const char* payload, uint32_t length);

enum net__kcp_feed_result {
    KCP_FEED_OK,       // every whole frame handled; the rest is buffered
    KCP_FEED_STOPPED,  // a handler asked to stop; the buffer was not touched since
    KCP_FEED_BROKEN,   // a length field outside 2 .. KCP_MAX_FRAME_LENGTH, or no memory
    KCP_FEED_PAUSED,   // the run's share of time is spent: the rest is buffered, whole
                       // frames included, for a later feed (which may bring no bytes)
};

// Feeds bytes read from the stream; frames are handled in order, each once.
net__kcp_feed_result net__kcp_frames_feed(StreamBuffer* buffer, const char* data, size_t length,
                                          net__kcp_frame_handler handle, void* context);

/* ---- Building ----------------------------------------------------------- */

// Assemble one frame, or one KCP message, into out (replacing its content);
// false when memory runs out.
bool net__kcp_frame_build(StreamBuffer* out, unsigned type, const char* payload, uint32_t length);
bool net__kcp_message_build(StreamBuffer* out, unsigned type, const char* payload, uint32_t length);

#endif

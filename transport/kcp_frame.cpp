// Control frames and KCP messages: the stream buffer, the frame reader and
// the builders. Shared by the KCP client and the KCP server.
#include "kcp_frame.h"

#include <stdlib.h>
#include <string.h>

#include "byte_order.h"
#include "internal.h"

namespace {

// The smallest power of two, at least 2, that holds need bytes; 0 when none fits in a size_t.
size_t capacity_for(size_t need) {
    size_t capacity = 2;
    while (capacity < need) {
        if (capacity > SIZE_MAX / 2)
            return 0;
        capacity *= 2;
    }
    return capacity;
}

// Grows to the smallest power of two that holds need bytes.
bool stream_buffer_reserve(StreamBuffer* buffer, size_t need) {
    if (need <= buffer->capacity && buffer->data != nullptr)
        return true;
    size_t capacity = capacity_for(need);
    if (capacity == 0)
        return false;
    char* data = (char*)realloc(buffer->data, capacity);
    if (data == nullptr)
        return false;
    buffer->data = data;
    buffer->capacity = capacity;
    return true;
}

// Gives memory back once the bytes left fit in a quarter of it, so a buffer
// holds about its unfinished frame rather than the largest one ever read.
void stream_buffer_shrink(StreamBuffer* buffer) {
    size_t capacity = capacity_for(buffer->size);
    if (capacity > buffer->capacity / 4)
        return;
    if (buffer->size == 0) {
        net__stream_buffer_release(buffer);
        return;
    }
    char* data = (char*)realloc(buffer->data, capacity);
    if (data == nullptr)
        return;  // still whole, only larger than it needs to be
    buffer->data = data;
    buffer->capacity = capacity;
}

// Walks the whole frames at the front of data. Returns the bytes they took,
// or -1 for a hostile length field; *end tells whether a handler said stop or
// the run's share of time ran out (KCP_FEED_OK when neither).
long parse_frames(const char* data, size_t size, net__kcp_frame_handler handle, void* context,
                  net__kcp_feed_result* end) {
    size_t at = 0;
    *end = KCP_FEED_OK;
    while (size - at >= 4) {
        int32_t length = (int32_t)net__read_u32(data + at);
        if (length < 2 || length > KCP_MAX_FRAME_LENGTH)
            return -1;
        if (size - at < (size_t)length + 4)
            break;
        unsigned type = net__read_u16(data + at + 4);
        const char* payload = data + at + FRAME_HEADER_SIZE;
        at += (size_t)length + 4;
        if (!handle(context, type, payload, (uint32_t)length - 2)) {
            *end = KCP_FEED_STOPPED;
            break;
        }
        // A storm of tiny frames is handed over a share at a time, never all at once.
        if (at < size && !net__budget_left()) {
            *end = KCP_FEED_PAUSED;
            break;
        }
    }
    return (long)at;
}

// Replaces out's content with a header followed by the payload.
bool assemble(StreamBuffer* out, const char* header, size_t header_size, const char* payload, uint32_t length) {
    out->size = 0;
    return net__stream_buffer_append(out, header, header_size) &&
           (length == 0 || net__stream_buffer_append(out, payload, length));
}

}  // namespace

void net__stream_buffer_init(StreamBuffer* buffer) {
    buffer->data = nullptr;
    buffer->capacity = 2;
    buffer->size = 0;
}

bool net__stream_buffer_append(StreamBuffer* buffer, const char* data, size_t length) {
    if (length == 0)
        return true;
    if (length > SIZE_MAX - buffer->size || !stream_buffer_reserve(buffer, buffer->size + length))
        return false;
    memcpy(buffer->data + buffer->size, data, length);
    buffer->size += length;
    return true;
}

bool net__stream_buffer_consume(StreamBuffer* buffer, size_t n) {
    if (n > buffer->size)
        return false;
    memmove(buffer->data, buffer->data + n, buffer->size - n);
    buffer->size -= n;
    stream_buffer_shrink(buffer);
    return true;
}

size_t net__stream_buffer_capacity_after(const StreamBuffer* buffer, size_t length) {
    size_t capacity = length > SIZE_MAX - buffer->size ? 0 : capacity_for(buffer->size + length);
    return capacity > buffer->capacity ? capacity : buffer->capacity;
}

void net__stream_buffer_reset(StreamBuffer* buffer) {
    net__stream_buffer_release(buffer);
}

void net__stream_buffer_release(StreamBuffer* buffer) {
    free(buffer->data);
    net__stream_buffer_init(buffer);
}

net__kcp_feed_result net__kcp_frames_feed(StreamBuffer* buffer, const char* data, size_t length,
                                          net__kcp_frame_handler handle, void* context) {
    net__kcp_feed_result end;
    if (buffer->size == 0) {
        // Nothing held back: frames are handled straight from the caller's
        // bytes and only the rest is copied.
        long used = parse_frames(data, length, handle, context, &end);
        if (used < 0)
            return KCP_FEED_BROKEN;
        if (end == KCP_FEED_STOPPED)
            return end;
        if (!net__stream_buffer_append(buffer, data + used, length - (size_t)used))
            return KCP_FEED_BROKEN;
        return end;
    }
    if (length > 0 && !net__stream_buffer_append(buffer, data, length))
        return KCP_FEED_BROKEN;
    long used = parse_frames(buffer->data, buffer->size, handle, context, &end);
    if (used < 0)
        return KCP_FEED_BROKEN;
    if (end == KCP_FEED_STOPPED)
        return end;
    net__stream_buffer_consume(buffer, (size_t)used);
    return end;
}

bool net__kcp_frame_build(StreamBuffer* out, unsigned type, const char* payload, uint32_t length) {
    char header[FRAME_HEADER_SIZE];
    net__write_u32(header, length + 2);
    net__write_u16(header + 4, (uint16_t)type);
    return assemble(out, header, sizeof(header), payload, length);
}

bool net__kcp_message_build(StreamBuffer* out, unsigned type, const char* payload, uint32_t length) {
    char header[MSG_HEADER_SIZE];
    net__write_u16(header, (uint16_t)type);
    return assemble(out, header, sizeof(header), payload, length);
}

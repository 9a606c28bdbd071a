// Little-endian reads and writes. Every integer on the wire (KCP segment
// headers, control frames, message types) is little-endian whatever the host
// is. Header-only, so the engine still builds on its own (the fuzzer does).
#ifndef MAROVENT_TRANSPORT_BYTE_ORDER_H
#define MAROVENT_TRANSPORT_BYTE_ORDER_H

#include <stdint.h>

inline uint16_t net__read_u16(const char* p) {
    const unsigned char* b = (const unsigned char*)p;
    return (uint16_t)(b[0] | b[1] << 8);
}

inline uint32_t net__read_u32(const char* p) {
    const unsigned char* b = (const unsigned char*)p;
    return (uint32_t)b[0] | (uint32_t)b[1] << 8 | (uint32_t)b[2] << 16 | (uint32_t)b[3] << 24;
}

inline void net__write_u16(char* p, uint16_t v) {
    p[0] = (char)v;
    p[1] = (char)(v >> 8);
}

inline void net__write_u32(char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = (char)(v >> (8 * i));
}

#endif

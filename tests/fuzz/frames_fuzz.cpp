// libFuzzer target for the control-frame reader. The input: a stop mask (the
// handler stops at frame n when bit n % 8 is set, resetting the buffer first
// as the owners do), a pause mask (the run's share runs out at the n-th ask
// when bit n % 8 is set; the owner then feeds nothing more until the rest is
// handled), then chunks (a length byte, that many stream bytes). After each
// feed, the frames handled since the last reset equal a plain parser's: all
// whole ones (fed fine), up to a stop, or all before a hostile length field.
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "byte_order.h"
#include "kcp_frame.h"
#include "transport.h"

namespace {

StreamBuffer g_buffer;
std::vector<std::string> g_got;  // frames handled since the last reset: type, then payload
uint32_t g_mask, g_count, g_pause_mask, g_asks;
bool g_stopped;

bool Handle(void*, unsigned type, const char* payload, uint32_t length) {
    g_got.push_back(std::string{(char)type, (char)(type >> 8)} + std::string(payload, length));
    if ((g_stopped = g_mask >> (g_count++ % 8) & 1))
        net__stream_buffer_reset(&g_buffer);
    return !g_stopped;
}

}  // namespace

// The reader asks the run's time share after each frame; here the input decides.
bool net__budget_left(void) {
    return !(g_pause_mask >> (g_asks++ % 8) & 1);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    net__stream_buffer_release(&g_buffer);  // what the last run left, if anything
    g_got.clear();
    g_mask = size > 0 ? data[0] : 0;
    g_pause_mask = size > 1 ? data[1] : 0;
    g_count = g_asks = 0;
    std::string fed;  // the stream since the last reset
    for (size_t at = 2; at < size;) {
        const size_t n = std::min<size_t>(data[at], size - at - 1);
        const std::string chunk((const char*)data + at + 1, n);  // a block of its own, so ASan sees overreads
        at += n + 1;
        fed += chunk;
        g_stopped = false;
        net__kcp_feed_result result = net__kcp_frames_feed(&g_buffer, chunk.data(), n, Handle, nullptr);
        for (int again = 0; result == KCP_FEED_PAUSED; ++again) {
            if (again > 4096 || g_buffer.size == 0)  // a pause always leaves bytes to go on with
                abort();
            result = net__kcp_frames_feed(&g_buffer, nullptr, 0, Handle, nullptr);
        }
        std::vector<std::string> want;  // the plain parser
        bool hostile = false;
        for (size_t i = 0, length; fed.size() - i >= 4; i += 4 + length) {
            length = net__read_u32(fed.data() + i);
            if ((hostile = length < 2 || length > KCP_MAX_FRAME_LENGTH) || fed.size() - i - 4 < length)
                break;
            want.push_back(fed.substr(i + 4, length));
        }
        if (result == KCP_FEED_STOPPED
                ? !g_stopped || g_got.size() > want.size() || !std::equal(g_got.begin(), g_got.end(), want.begin())
                : g_stopped || g_got != want || hostile != (result == KCP_FEED_BROKEN))
            abort();
        if (result != KCP_FEED_OK) {  // the owner drops what was read and starts over
            net__stream_buffer_reset(&g_buffer);
            g_got.clear();
            fed.clear();
        }
    }
    return 0;
}

// libFuzzer target for the control-frame reader. The input is a stop mask (4
// bytes: the handler stops at frame n when bit n % 32 is set, resetting the
// buffer inside the handler as the real owners do) and then chunks, each a
// length byte and that many stream bytes. After every feed, what the reader
// has handled since the last reset must equal what a plain parser finds in
// the same bytes: all whole frames (fed fine), a prefix ending at the stop,
// or every frame up to a hostile length field (broken).
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "kcp_frame.h"
#include "transport.h"

namespace {

struct Run {
    StreamBuffer buffer;
    std::vector<std::string> got;  // frames handled since the last reset: type, then payload
    uint32_t mask;
    unsigned count = 0;
    bool stopped = false;
};

bool Handle(void* context, unsigned type, const char* payload, uint32_t length) {
    Run* run = (Run*)context;
    run->got.push_back(std::string(1, (char)type) + (char)(type >> 8) + std::string(payload, length));
    if ((run->mask >> (run->count++ % 32) & 1) == 0)
        return true;
    net__stream_buffer_reset(&run->buffer);
    run->stopped = true;
    return false;
}

uint32_t Le32(const std::string& s, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = v << 8 | (unsigned char)s[at + (size_t)i];
    return v;
}

// The whole frames of s in order; *hostile tells that a bad length field ended them.
std::vector<std::string> Reference(const std::string& s, bool* hostile) {
    std::vector<std::string> frames;
    size_t at = 0;
    *hostile = false;
    while (s.size() - at >= 4) {
        uint32_t length = Le32(s, at);
        if (length < 2 || length > KCP_MAX_FRAME_LENGTH) {
            *hostile = true;
            break;
        }
        if (s.size() - at - 4 < length)
            break;
        frames.push_back(s.substr(at + 4, length));
        at += 4 + length;
    }
    return frames;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4)
        return 0;
    Run run;
    net__stream_buffer_init(&run.buffer);
    run.mask = Le32(std::string((const char*)data, 4), 0);
    std::string fed;  // the stream since the last reset
    for (size_t at = 4; at < size;) {
        size_t n = std::min<size_t>(data[at], size - at - 1);
        ++at;
        std::string chunk((const char*)data + at, n);  // its own block, so ASan sees overreads
        at += n;
        fed += chunk;
        run.stopped = false;
        net__kcp_feed_result result = net__kcp_frames_feed(&run.buffer, chunk.data(), n, Handle, &run);
        bool hostile;
        std::vector<std::string> want = Reference(fed, &hostile);
        if (result == KCP_FEED_STOPPED) {
            if (!run.stopped || run.got.size() > want.size() ||
                !std::equal(run.got.begin(), run.got.end(), want.begin()))
                abort();
        } else if (run.stopped || run.got != want || hostile != (result == KCP_FEED_BROKEN)) {
            abort();
        }
        if (result != KCP_FEED_OK) {  // the owner drops what was read and starts over
            net__stream_buffer_reset(&run.buffer);
            run.got.clear();
            fed.clear();
        }
    }
    net__stream_buffer_release(&run.buffer);
    return 0;
}

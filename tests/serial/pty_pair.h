// A pseudo-terminal as the far end of a serial port under test: the port opens
// the terminal side by its path, the test talks through the master side and
// watches the terminal side through a descriptor opened first (so the port's
// exclusive flag does not shut it out).
#ifndef MAROVENT_TESTS_PTY_PAIR_H
#define MAROVENT_TESTS_PTY_PAIR_H

#include <asm/termbits.h>

#include <algorithm>
#include <string>

#include "support/Net.h"  // also open, ioctl, close

class PtyPair {
public:
    PtyPair() : master_(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
        char name[128];
        if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0 && ptsname_r(master_, name, 128) == 0)
            watcher_ = open((path_ = name).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    }
    ~PtyPair() { CloseMaster(), close(watcher_); }
    PtyPair(const PtyPair&) = delete;

    bool Ok() const { return master_ >= 0 && watcher_ >= 0; }
    const std::string& Path() const { return path_; }
    void CloseMaster() { close(master_), master_ = -1; }  // the far end vanishes

    // All of data from the far end, within ms.
    bool WriteFar(const std::string& data, int ms = 5000) {
        size_t done = 0;
        return testnet::WaitUntil([] {}, [&] {
            done += std::max<ssize_t>(0, write(master_, data.data() + done, data.size() - done));
            return done == data.size();
        }, ms);
    }
    // What reached the far end until want bytes came or ms passed.
    std::string ReadFar(size_t want, int ms = 5000) {
        std::string got;
        char buf[4096];
        testnet::WaitUntil([] {}, [&] {
            return got.append(buf, std::max<ssize_t>(0, read(master_, buf, sizeof(buf)))).size() >= want;
        }, ms);
        return got;
    }
    // Until exactly n bytes wait for the port (the terminal passes them on asynchronously).
    bool WaitPending(int n, int ms = 5000) {
        int pending = -1;
        return testnet::WaitUntil([] {}, [&] { return ioctl(watcher_, FIONREAD, &pending) == 0 && pending == n; }, ms);
    }
    // The terminal side's line as the kernel holds it.
    struct termios2 Attributes() const { struct termios2 t = {}; ioctl(watcher_, TCGETS2, &t); return t; }

private:
    int master_;
    int watcher_ = -1;
    std::string path_;
};

#endif

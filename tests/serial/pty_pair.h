// A pseudo-terminal as the far end of a serial port under test: the port opens
// the terminal side by its path, the test talks through the master side and
// watches the terminal side through a descriptor of its own (opened first, so
// the port's exclusive flag does not shut it out).
#ifndef MAROVENT_TESTS_PTY_PAIR_H
#define MAROVENT_TESTS_PTY_PAIR_H

#include <asm/termbits.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <string>

class PtyPair {
public:
    PtyPair() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
            return;
        char name[128];
        if (ptsname_r(master_, name, sizeof(name)) != 0)
            return;
        path_ = name;
        watcher_ = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    }
    ~PtyPair() {
        CloseMaster();
        if (watcher_ >= 0)
            close(watcher_);
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool Ok() const { return master_ >= 0 && watcher_ >= 0; }
    const std::string& Path() const { return path_; }
    int Watcher() const { return watcher_; }

    void CloseMaster() {
        if (master_ >= 0)
            close(master_);
        master_ = -1;
    }

    // Writes all of data from the far end, within timeoutMs.
    bool WriteFar(const std::string& data, int timeoutMs = 5000) {
        const long long deadline = NowMs() + timeoutMs;
        size_t done = 0;
        while (done < data.size()) {
            const ssize_t n = write(master_, data.data() + done, data.size() - done);
            if (n > 0) {
                done += size_t(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                return false;
            if (NowMs() >= deadline || !Wait(master_, POLLOUT, deadline))
                return false;
        }
        return true;
    }

    // Reads at the far end until want bytes arrived or timeoutMs passed.
    std::string ReadFar(size_t want, int timeoutMs = 5000) {
        const long long deadline = NowMs() + timeoutMs;
        std::string got;
        char buf[4096];
        while (got.size() < want) {
            const ssize_t n = read(master_, buf, sizeof(buf));
            if (n > 0) {
                got.append(buf, size_t(n));
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                break;
            if (NowMs() >= deadline || !Wait(master_, POLLIN, deadline))
                break;
        }
        return got;
    }

    // Reads whatever the far end has within a short quiet period.
    std::string DrainFar(int quietMs = 50) {
        std::string got;
        char buf[4096];
        for (;;) {
            const ssize_t n = read(master_, buf, sizeof(buf));
            if (n > 0) {
                got.append(buf, size_t(n));
                continue;
            }
            if (!Wait(master_, POLLIN, NowMs() + quietMs))
                return got;
        }
    }

    // Waits until exactly n bytes wait at the terminal side for the port
    // (the pseudo-terminal hands bytes over asynchronously).
    bool WaitPending(int n, int timeoutMs = 5000) {
        const long long deadline = NowMs() + timeoutMs;
        for (;;) {
            int pending = -1;
            if (ioctl(watcher_, FIONREAD, &pending) == 0 && pending == n)
                return true;
            if (NowMs() >= deadline)
                return false;
            usleep(1000);
        }
    }

    // The terminal side's line settings as the kernel holds them.
    struct termios2 Attributes() const {
        struct termios2 t;
        memset(&t, 0, sizeof(t));
        ioctl(watcher_, TCGETS2, &t);
        return t;
    }

    static long long NowMs() {
        struct timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
    }

private:
    static bool Wait(int fd, short events, long long deadline) {
        const long long left = deadline - NowMs();
        if (left <= 0)
            return false;
        struct pollfd p = {fd, events, 0};
        return poll(&p, 1, int(left)) > 0;
    }

    int master_ = -1;
    int watcher_ = -1;
    std::string path_;
};

#endif

// A private network namespace for tests that need broadcast or multicast: the
// test body runs in a forked child that has entered fresh user and network
// namespaces, with loopback up, multicast on and 224.0.0.0/4 routed to it, so
// none of its traffic can reach the machine's real interfaces.
#ifndef MAROVENT_TESTS_NET_NAMESPACE_H
#define MAROVENT_TESTS_NET_NAMESPACE_H

#include <arpa/inet.h>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdlib.h>

#include <functional>

#include "support/Ipv4.h"

namespace netns {

// Exit status of a child that could not enter a namespace: the test is skipped.
const int kUnavailable = 77;

// Brings up loopback with multicast and routes 224.0.0.0/4 to it, inside the
// namespace that the calling process has just entered.
inline bool SetUpLoopback() {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return false;
    ifreq ifr;
    memset(&ifr, 0, sizeof(ifr));
    strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags |= IFF_UP | IFF_MULTICAST;
    ok = ok && ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    rtentry route;
    memset(&route, 0, sizeof(route));
    const sockaddr_in dst = TestIpv4("224.0.0.0", 0);
    const sockaddr_in mask = TestIpv4("240.0.0.0", 0);
    memcpy(&route.rt_dst, &dst, sizeof(dst));
    memcpy(&route.rt_genmask, &mask, sizeof(mask));
    route.rt_flags = RTF_UP;
    char dev[] = "lo";
    route.rt_dev = dev;
    ok = ok && ioctl(fd, SIOCADDRT, &route) == 0;
    close(fd);
    return ok;
}

// Runs body in a forked child inside the namespace; body returns the child's
// exit status (0 passed). Returns that status, kUnavailable when namespaces
// cannot be made here, 128 + signal when the child died (the watchdog included).
inline int RunInNamespace(const std::function<int()>& body, unsigned watchdogSeconds = 30) {
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        alarm(watchdogSeconds);  // a hung child dies instead of stalling the suite
        if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0 || !SetUpLoopback())
            _exit(kUnavailable);
        int status = body();
        fflush(stdout);
        fflush(stderr);
        _exit(status);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return -1;
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

// Set in the environment of a program started by RunSelfInNamespace.
const char* const kInsideVariable = "MAROVENT_IN_NETNS";

inline bool Inside() {
    return getenv(kInsideVariable) != nullptr;
}

// Runs this same test program again, inside the namespace, with args (for a
// QtTest program: the name of one test function). A fresh process keeps the
// namespace away from threads and sockets that the caller already holds.
// Returns its exit status as RunInNamespace does.
inline int RunSelfInNamespace(const char* arg, unsigned watchdogSeconds = 60) {
    return RunInNamespace([arg] {
        setenv(kInsideVariable, "1", 1);
        char self[] = "/proc/self/exe";
        char* const argv[] = {self, const_cast<char*>(arg), nullptr};
        execv(self, argv);
        return 127;
    }, watchdogSeconds);
}

}  // namespace netns

#endif

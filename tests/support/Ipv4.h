// An IPv4 socket address from dotted text and a host-order port, for tests.
#ifndef MAROVENT_TESTS_IPV4_H
#define MAROVENT_TESTS_IPV4_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdint.h>
#include <string.h>

inline sockaddr_in TestIpv4(const char* ip, uint16_t port) {
    sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    inet_pton(AF_INET, ip, &addr.sin_addr);
    return addr;
}

#endif

// The resolver: "localhost", answered by the hosts file, is the one name a test
// resolves for real. Answers wait for the owner's run; a dropped lookup never answers.
#include <uv.h>

#include <gtest/gtest.h>

#include "support/Net.h"
#include "transport.h"

std::string answers;

void OnAnswer(int status, const sockaddr* address, const char* message, void* user) {
    char ip[16] = "-";
    unsigned port = 1;
    if (address != nullptr)
        net_addr_to_ip(address, ip, &port);
    answers += std::to_string(status) + " " + ip + ":" + std::to_string(port) + " " + message + " " + (char*)user;
}

TEST(Resolver, LocalhostIsAnsweredInTheRunAndADroppedLookupNeverAnswers) {
    testnet::Watchdog watchdog;
    RESOLVER dropped = resolver_create(), cancelled = resolver_create(), r = resolver_create();
    resolver_set_user_data(cancelled, (void*)"cancelled");
    resolver_set_user_data(r, (void*)"kept");
    for (RESOLVER each : {dropped, cancelled, r})
        ASSERT_EQ(resolver_start(each, "localhost", OnAnswer), 0);
    resolver_destroy(dropped);  // its lookup ends later: the sanitizer run sees any write into it
    resolver_cancel(cancelled);
    ASSERT_TRUE(testnet::WaitUntil([] { net_poll(); }, [] { return !uv_loop_alive(uv_default_loop()); }));
    EXPECT_EQ(answers, "");
    resolver_run(cancelled, NET_RUN_NOWAIT);
    resolver_run(r, NET_RUN_NOWAIT);
    EXPECT_EQ(answers, "0 127.0.0.1:0 no error kept");
    resolver_destroy(cancelled);
    resolver_destroy(r);
}

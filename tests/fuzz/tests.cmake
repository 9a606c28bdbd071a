# The KCP engine fuzzer is built by clang outside this (gcc) build. It already
# runs under AddressSanitizer and UndefinedBehaviorSanitizer, so only the plain
# build registers it.
if(NOT MAROVENT_SANITIZE)
    add_test(NAME kcp_fuzz COMMAND ${CMAKE_CURRENT_LIST_DIR}/run_fuzz.sh
        ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_BINARY_DIR}/kcp_fuzz 30)
    set_tests_properties(kcp_fuzz PROPERTIES TIMEOUT 300 SKIP_RETURN_CODE 77)
endif()

# The fuzz targets are built by clang outside this (gcc) build. They already
# run under AddressSanitizer and UndefinedBehaviorSanitizer, so only the plain
# build registers them: 90 s of fuzzing in all.
if(NOT MAROVENT_SANITIZE)
    foreach(run kcp:30 frames:20 peers:25 text:15)
        string(REPLACE ":" ";" run ${run})
        list(GET run 0 target)
        list(GET run 1 seconds)
        add_test(NAME ${target}_fuzz COMMAND ${CMAKE_CURRENT_LIST_DIR}/run_fuzz.sh
            ${target} ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_BINARY_DIR}/${target}_fuzz ${seconds})
        set_tests_properties(${target}_fuzz PROPERTIES TIMEOUT 300 SKIP_RETURN_CODE 77)
    endforeach()
endif()

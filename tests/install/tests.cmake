# Installs into a temporary prefix and checks what the install puts in place.
add_test(NAME install_test COMMAND ${CMAKE_CURRENT_LIST_DIR}/install_test.sh
    ${CMAKE_COMMAND} ${CMAKE_BINARY_DIR} ${PROJECT_VERSION})
set_tests_properties(install_test PROPERTIES TIMEOUT 120)

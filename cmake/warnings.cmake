# Warnings on everything we compile, and floating-point evaluation the tracker's numbers rely on:
# no fused multiply-adds and no value-changing optimisations.
function(vglog_target_options target)
    target_compile_features(${target} PUBLIC cxx_std_20)
    if(MSVC)
        target_compile_options(${target} PRIVATE /W4 /permissive- /fp:precise)
    else()
        target_compile_options(${target} PRIVATE
            -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion -Wshadow
            -Wold-style-cast -Wcast-qual -Wnon-virtual-dtor
            -ffp-contract=off -fno-fast-math)
        if(VGLOG_WERROR)
            target_compile_options(${target} PRIVATE -Werror)
        endif()
    endif()
endfunction()

# One GoogleTest executable per subsystem, registered with CTest.
function(vglog_add_test name)
    add_executable(${name} ${ARGN})
    vglog_target_options(${name})
    target_link_libraries(${name} PRIVATE vglog_core GTest::gtest GTest::gmock GTest::gtest_main)
    if(CMAKE_CROSSCOMPILING)
        # Discovery would run the program on the build machine; tools/run-wine-tests.sh runs
        # the cross-built suites instead.
        return()
    endif()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
        PROPERTIES ENVIRONMENT "VGLOG_BUILD_DIR=${CMAKE_BINARY_DIR}")
endfunction()

#!/usr/bin/env bash
# Builds vglog and runs every test: the normal build, then the whole suite again under
# AddressSanitizer and UndefinedBehaviorSanitizer, then the unit tests and the end-to-end tests of
# the program's threads (console writer, live view, broker client) under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/deps.sh
vglog_need_packages "${VGLOG_BUILD_PACKAGES[@]}" "${VGLOG_PLOT_PACKAGES[@]}" \
    "${VGLOG_TEST_PACKAGES[@]}" "${VGLOG_BROWSER_PACKAGES[@]}"
vglog_preset_generator build build-asan build-tsan

jobs=$(nproc 2>/dev/null || echo 2)
echo "== build and test (RelWithDebInfo, warnings as errors)"
cmake --preset default >/dev/null
cmake --build --preset default -j "$jobs"
ctest --preset default -j "$jobs"

echo "== build and test (AddressSanitizer + UndefinedBehaviorSanitizer)"
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"
ctest --preset asan -j "$jobs"

# The test preset picks the tests and sets TSAN_OPTIONS=atexit_sleep_ms=0: the default second's
# sleep at exit would fail the tests that time how fast a run ends.
echo "== build and test (ThreadSanitizer: unit tests, console, live view and broker end to end)"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs"
ctest --preset tsan -j "$jobs"

# The live view is optional: a build without it (and without Boost) must still build, and say so
# when asked to serve. Only the programs are built; the objects they share come from the cache.
echo "== build without the live view (VGLOG_LIVE=OFF)"
cmake -S . -B build-nolive -G Ninja -DVGLOG_TESTS=OFF -DVGLOG_LIVE=OFF -DVGLOG_WERROR=ON >/dev/null
cmake --build build-nolive -j "$jobs" --target vglog vglog-sim
status=0
build-nolive/vglog --serve 8080 COM1 2>build-nolive/serve.err || status=$?
if [ "$status" -ne 2 ] || ! grep -q "not in this build" build-nolive/serve.err; then
    echo "run-tests: --serve in a build without the live view: status $status" >&2
    cat build-nolive/serve.err >&2
    exit 1
fi

# The Windows layer is compiled whenever the MinGW-w64 cross compiler is there (CI installs it).
if command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1; then
    echo "== cross build for Windows (MinGW-w64, warnings as errors)"
    cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
        -DVGLOG_TESTS=OFF -DVGLOG_WERROR=ON >/dev/null
    cmake --build build-win -j "$jobs"
else
    echo "== Windows cross build skipped (apt-get install g++-mingw-w64-x86-64-posix to check it)"
fi

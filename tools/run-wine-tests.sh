#!/usr/bin/env bash
# The Windows build, proven under wine: cross-builds vglog.exe and the unit test suites that
# make sense on Windows, runs those suites under wine, then the end-to-end tests in tests/wine
# with a pseudo-terminal mapped as COM5 (the live view's server among them).
#
# The machine's own serial ports are never opened: everything runs in a private mount namespace
# where every /dev/ttyS* is the null device, and the prefix maps no COM port but ours.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -z "${VGLOG_WINE_PRIVATE:-}" ]; then
    . tools/deps.sh
    vglog_need_packages cmake ninja-build python3 googletest wine64 g++-mingw-w64-x86-64-posix \
        libboost-dev
    if [ "$(id -u)" -eq 0 ]; then
        ns=(unshare --mount --propagation private)
    else
        ns=(unshare --user --map-root-user --mount --propagation private)
    fi
    export VGLOG_WINE_PRIVATE=1
    exec "${ns[@]}" "$0" "$@" ||
        { echo "run-wine-tests: no private mount namespace (unshare); not running wine" >&2; exit 1; }
fi
for dev in /dev/ttyS*; do
    [ -e "$dev" ] || continue
    mount --bind /dev/null "$dev" ||
        { echo "run-wine-tests: cannot hide $dev; not running wine" >&2; exit 1; }
done

jobs=$(nproc 2>/dev/null || echo 2)
out=build-wine
export PATH="/usr/lib/wine:$PATH"

echo "== GoogleTest for Windows (from /usr/src/googletest)"
gtest="$PWD/$out/googletest"
if [ ! -f "$gtest/lib/libgtest.a" ]; then
    cmake -S /usr/src/googletest -B "$out/googletest-build" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX="$gtest" >/dev/null
    cmake --build "$out/googletest-build" -j "$jobs" >/dev/null
    cmake --install "$out/googletest-build" >/dev/null
fi

echo "== cross build with the unit tests (MinGW-w64, warnings as errors)"
cmake -S . -B "$out" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DVGLOG_TESTS=ON \
    -DVGLOG_WERROR=ON -DCMAKE_PREFIX_PATH="$gtest" >/dev/null
cmake --build "$out" -j "$jobs"

# The native build, for the console bytes to compare with and the tests' board.
if [ ! -x build/vglog ]; then
    cmake --preset default >/dev/null
    cmake --build --preset default -j "$jobs" --target vglog vglog-sim
fi

echo "== wine: a fresh prefix and our own server"
scratch=$(mktemp -d /tmp/vglog-wine-XXXXXX)
export WINEPREFIX="$scratch/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
mkdir -p "$WINEPREFIX"
setsid wineserver -f -p >/dev/null 2>&1 &
server=$!
cleanup() {
    timeout 10 wineserver -k >/dev/null 2>&1 || true
    kill "$server" 2>/dev/null || true
    wait "$server" 2>/dev/null || true
    rm -rf "$scratch"
}
trap cleanup EXIT
timeout 120 wine64 cmd /c exit >/dev/null 2>&1 || true  # creates the prefix; slow once
# Only our pseudo-terminals are serial ports here: drop every mapping the prefix made.
rm -f "$WINEPREFIX"/dosdevices/com*

echo "== Windows unit tests under wine"
failed=0
for suite in "$out"/*/*_test.exe; do
    if ! timeout 120 wine64 "$suite" --gtest_brief=1 >"$scratch/suite.log" 2>&1; then
        cat "$scratch/suite.log"
        echo "FAILED: $suite" >&2
        failed=1
    else
        echo "$(basename "$suite"): $(tail -n 1 "$scratch/suite.log")"
    fi
done

echo "== end-to-end tests under wine"
VGLOG_WIN_BUILD_DIR="$PWD/$out" VGLOG_BUILD_DIR="$PWD/build" PYTHONDONTWRITEBYTECODE=1 \
    python3 -m unittest discover -s tests/wine -p 'test_*.py' -v || failed=1
exit "$failed"

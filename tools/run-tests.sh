#!/usr/bin/env bash
# Builds vglog and runs every test: the normal build, then the whole suite again under
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/deps.sh
vglog_need_packages "${VGLOG_BUILD_PACKAGES[@]}"

jobs=$(nproc 2>/dev/null || echo 2)
echo "== build and test (RelWithDebInfo, warnings as errors)"
cmake --preset default >/dev/null
cmake --build --preset default -j "$jobs"
ctest --preset default -j "$jobs"

echo "== build and test (AddressSanitizer + UndefinedBehaviorSanitizer)"
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"
ctest --preset asan -j "$jobs"

#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer + UndefinedBehaviorSanitizer) in
# build-fuzz and runs each of them in turn.
#
#   tools/run-fuzz.sh           the long run: 10 million inputs per target (at most an hour each)
#   tools/run-fuzz.sh SECONDS   each target for SECONDS (the CI smoke run uses 30)
#
# Each target starts from the committed seed corpus and regression inputs, copied into
# build-fuzz/fuzz/corpus-<target> so that what the fuzzer adds never touches the repository.
# A finding stops with the input saved under build-fuzz/fuzz/findings/<target>/; once fixed,
# copy it to fuzz/regressions/<target>/ so the normal test run replays it.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/deps.sh
vglog_need_packages cmake ninja-build clang libclang-rt-14-dev libboost-dev

seconds=${1:-}
if [ -n "$seconds" ] && ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: $0 [seconds-per-target]" >&2
    exit 2
fi
long_runs=10000000

echo "== build fuzz targets"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc 2>/dev/null || echo 2)"

out="$PWD/build-fuzz/fuzz"
status=0
for target in stream motion; do
    corpus="$out/corpus-$target"
    findings="$out/findings/$target"
    mkdir -p "$corpus" "$findings"
    cp fuzz/corpus/"$target"/* "$corpus"/
    find fuzz/regressions/"$target" -type f ! -name '.*' -exec cp {} "$corpus"/ \;

    if [ -n "$seconds" ]; then
        limit=(-max_total_time="$seconds")
        echo "== $target: $seconds s"
    else
        limit=(-max_total_time=3600 -runs="$long_runs")
        echo "== $target: $long_runs inputs"
    fi
    log="$out/$target.log"
    # Standard output is closed: the decoder's console warnings would only slow the run.
    if "$out/${target}_fuzz" "${limit[@]}" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
        -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" \
        >"$log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
        rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
        echo "   ok: $runs inputs, $rate per second, corpus $(ls "$corpus" | wc -l) files"
    else
        status=1
        grep -v '# Uses:' "$log" | tail -n 40
        echo "   FAILED: the input is in $findings/ (full log: $log)"
    fi
done
exit $status

#!/usr/bin/env bash
# Builds vglog-bench (RelWithDebInfo, the default preset) and measures how many packets per second
# the data path handles: framer, decoder, tracker and the logs written into real files in a
# temporary directory. Extra arguments go to vglog-bench, e.g. --benchmark_filter=angleAccel.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/deps.sh
vglog_need_packages "${VGLOG_BUILD_PACKAGES[@]}" libbenchmark-dev
vglog_preset_generator build

cmake --preset default -DVGLOG_BENCH=ON >/dev/null
cmake --build --preset default --target vglog-bench -j "$(nproc 2>/dev/null || echo 2)"

results=$(mktemp /tmp/vglog-bench.XXXXXX.json)
trap 'rm -f "$results"' EXIT
echo "== vglog-bench on $(nproc) CPUs: $(lscpu 2>/dev/null | sed -n 's/^Model name: *//p' | head -n 1)"
# Three runs of each, reported as mean, median and spread; later options override these.
build/vglog-bench --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
    --benchmark_out="$results" --benchmark_out_format=json "$@"

echo
echo "== packets per second (the median run when repeated; per CPU second and per wall second)"
python3 - "$results" <<'PY'
import json, sys
with open(sys.argv[1]) as f:
    runs = json.load(f)["benchmarks"]
repeated = any(r.get("run_type") == "aggregate" for r in runs)
for r in runs:
    if repeated and r.get("aggregate_name") != "median":
        continue
    name = r.get("run_name", r["name"])
    if r.get("error_occurred"):
        print(f"{name:34} FAILED: {r.get('error_message', '')}")
    elif "items_per_second" in r:
        rate = r["items_per_second"]
        # The rate is per CPU second, or per wall second for a benchmark that measures real time.
        if name.endswith("/real_time"):
            wall, cpu = rate, rate * r["real_time"] / r["cpu_time"]
        else:
            cpu, wall = rate, rate * r["cpu_time"] / r["real_time"]
        print(f"{name:34} {cpu:>14,.0f} /s CPU {wall:>14,.0f} /s wall")
PY

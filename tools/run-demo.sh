#!/usr/bin/env bash
# Builds vglog and the simulated board, logs the board for a few seconds (default 5), stops the
# logger as Ctrl+C would, shows what was logged and draws it (vglog-plot). The logs and the picture
# stay in demo/ for a closer look.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/deps.sh
vglog_need_packages "${VGLOG_BUILD_PACKAGES[@]}"
vglog_preset_generator build

seconds=${1:-5}
cmake --preset default >/dev/null
cmake --build --preset default --target vglog vglog-sim -j "$(nproc 2>/dev/null || echo 2)"

demo=$PWD/demo
mkdir -p "$demo"
board=$(mktemp -u /tmp/vglog-board.XXXXXX)
build/vglog-sim --link "$board" --seconds $((seconds + 5)) --seed 1 --noise 0.001 \
    2>"$demo/sim.txt" &
sim=$!
trap 'kill $sim 2>/dev/null || true; rm -f "$board"' EXIT
for _ in $(seq 100); do [ -e "$board" ] && break; sleep 0.05; done

echo "== vglog $board  (stopped after $seconds s by the byte Ctrl+C types, 3, on its input)"
# Not SIGINT: a script's background job starts with SIGINT ignored, and vglog keeps a stop
# signal ignored when it was ignored at start.
status=0
{ sleep "$seconds"; printf '\003'; } | (cd "$demo" && exec ../build/vglog "$board") || status=$?
echo "== vglog exit status: $status"

samples=$(ls -t "$demo"/anglesAndAccels.*.txt | head -n 1)
misc=$(ls -t "$demo"/misc.*.txt | head -n 1)
echo
echo "== $samples: $(($(wc -l <"$samples") - 1)) samples; the first ones:"
head -n 6 "$samples" | tr -d '\r'
echo
echo "== $misc: $(wc -l <"$misc") dumps of packets of other kinds; the first ones:"
head -n 4 "$misc" | tr -d '\r'

echo
if vglog_have_packages "${VGLOG_PLOT_PACKAGES[@]}"; then
    echo "== the run drawn: $(tools/plot/vglog-plot -o "${samples%.txt}.png" "$samples")"
else
    echo "== to see the run drawn, install what is named above and run:"
    echo "   tools/plot/vglog-plot -o ${samples%.txt}.png $samples"
fi
exit "$status"

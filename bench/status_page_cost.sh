#!/usr/bin/env bash
# What does a status page left open cost? The station chain in real time,
# every program on its defaults plus its status page: veltsim serve (one
# block a second) -> veltview --headless ([HTTP] LISTEN) -> livemill
# --headless ([SEEDLINK] LISTEN, which serves the page too). After a warm-up
# (nothing converts before the recorder's configuration has been seen whole)
# the processor time of livemill and veltview is measured over SECONDS with
# no page open (the baseline), then over SECONDS with both pages open in a
# headless Chromium (livemill's traces over the SeedLink WebSocket,
# veltview's from /samples.json, the status every 2 s). Prints each
# program's share of a core in both phases, the difference (the page's cost
# to the program) and the two browsers' own share.
#
#   bench/status_page_cost.sh [SECONDS]     (default 600 s a phase; 150 s warm-up)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
seconds=${1:-600}
warmup=${VELT_WARMUP:-150}
chromium=${VELT_CHROMIUM:-/usr/bin/chromium}
[ -x "$chromium" ] || { echo "status_page_cost: $chromium is missing (scripts/bootstrap installs it)" >&2; exit 1; }

build=$root/build-release
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELT_SANITIZE=OFF -DVELT_GUI=OFF >/dev/null
fi
cmake --build "$build" --target livemill veltview veltsim -j "${VELT_JOBS:-2}" >/dev/null
bin=$build/bin
work=$(mktemp -d "$build/bench-page.XXXXXX")
browsers=()
# Every step may fail (a browser already gone) without stopping the rest.
cleanup() {
  for b in "${browsers[@]}"; do kill -- -"$b" 2>/dev/null || true; done
  kill $(jobs -p) 2>/dev/null || true
  sleep 1
  [ -n "${VELT_KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT
cd "$work"
mkdir -p stream out/mseed

"$bin/veltsim" serve --tcp 127.0.0.1:0 --duration $((warmup + 2 * seconds + 60)) >veltsim.log 2>&1 &
for _ in $(seq 100); do grep -q 'listening on' veltsim.log && break; sleep 0.1; done
port=$(sed -n 's/^veltsim serve: listening on 127.0.0.1:\([0-9]*\)$/\1/p' veltsim.log)
printf '[VELTVIEW]\nINDEVICE=INET\nINDEVICECONFIGSTRING=127.0.0.1 %s\n[QDATACOL]\nCONFIGFILE=rt.ini\n[HTTP]\nLISTEN=127.0.0.1:0\n' \
  "$port" >veltView.ini
printf '[COMMON]\nDESTDIR=%s/stream\n' "$work" >rt.ini
printf '[LIVEMILL]\nMAXNOFINPSTREAM=1\nINP0=inp0.ini\n[SEEDLINK]\nLISTEN=127.0.0.1:0\n' >livemill.ini
printf '[INPUT]\nINDIR=stream\n[WORK]\nFILENUM=3E8h\n[OUTMSEEDFS]\nCONFFILE=mseed.ini\n' >inp0.ini
printf '[COMMON]\nOUTFILEPREFIX=out/mseed/\n' >mseed.ini
"$bin/veltview" --headless --config "$work" >veltview.log 2>&1 &
viewer=$!
"$bin/livemill" --headless --config "$work" >livemill.log 2>&1 &
converter=$!
pageport() { sed -n 's/.*serving the status page at .*(port \([0-9]*\)).*/\1/p' "$1" | head -n 1; }
for _ in $(seq 100); do [ -n "$(pageport veltview.log)" ] && [ -n "$(pageport livemill.log)" ] && break; sleep 0.1; done
vvport=$(pageport veltview.log)
lmport=$(pageport livemill.log)
[ -n "$vvport" ] && [ -n "$lmport" ] || { echo "status_page_cost: no status page announced" >&2; exit 1; }

# Processor time of a process, or of every process of a group, in clock ticks.
ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
session_ticks() {  # every process of session $1 (the browser and its helpers)
  awk -v sid="$1" '{ sub(/^.*\) /, ""); if ($4 == sid) sum += $12 + $13 } END { print sum + 0 }' /proc/[0-9]*/stat 2>/dev/null
}
hz=$(getconf CLK_TCK)
share() { awk -v t="$1" -v hz="$hz" -v s="$seconds" 'BEGIN { printf "%.3f", 100 * t / hz / s }'; }

echo "status_page_cost: warm-up $warmup s, then $seconds s without a page and $seconds s with both pages open"
sleep $warmup
l0=$(ticks $converter); v0=$(ticks $viewer)
sleep "$seconds"
l1=$(ticks $converter); v1=$(ticks $viewer)
# One browser a page: headless Chromium opens one page a process.
for page in "http://127.0.0.1:$lmport/" "http://127.0.0.1:$vvport/"; do
  setsid "$chromium" --headless=new --no-sandbox --disable-gpu --user-data-dir="$work/profile-${#browsers[@]}" \
    --remote-debugging-port=0 "$page" >>chromium.log 2>&1 &
  browsers+=($!)
done
sleep 5  # the pages load and fill their traces
clients() { python3 -c 'import json, sys, urllib.request; print(json.load(urllib.request.urlopen(sys.argv[1], timeout=5))["seedlink"]["clients"])' "$1"; }
[ "$(clients "http://127.0.0.1:$lmport/status.json")" -ge 1 ] || { echo "status_page_cost: livemill's page did not connect" >&2; exit 1; }
lb0=$(session_ticks "${browsers[0]}"); vb0=$(session_ticks "${browsers[1]}")
l2=$(ticks $converter); v2=$(ticks $viewer)
sleep "$seconds"
l3=$(ticks $converter); v3=$(ticks $viewer)
lb1=$(session_ticks "${browsers[0]}"); vb1=$(session_ticks "${browsers[1]}")
for b in "${browsers[@]}"; do
  kill -0 "$b" 2>/dev/null || { echo "status_page_cost: a browser ended: $(tail -n 3 chromium.log)" >&2; exit 1; }
done
echo "status_page_cost: share of one core over $seconds s (percent)"
printf '  %-9s %12s %12s %12s\n' program "no page" "page open" difference
printf '  %-9s %12s %12s %12s\n' livemill "$(share $((l1 - l0)))" "$(share $((l3 - l2)))" "$(share $(((l3 - l2) - (l1 - l0))))"
printf '  %-9s %12s %12s %12s\n' veltview "$(share $((v1 - v0)))" "$(share $((v3 - v2)))" "$(share $(((v3 - v2) - (v1 - v0))))"
printf '  %-9s %12s %12s   (livemill'"'"'s page)\n' browser - "$(share $((lb1 - lb0)))"
printf '  %-9s %12s %12s   (veltview'"'"'s page)\n' browser - "$(share $((vb1 - vb0)))"
echo "  (livemill's SeedLink clients at the end, the page's among them: $(clients "http://127.0.0.1:$lmport/status.json"))"
curl_like() { python3 -c 'import sys, urllib.request; print(len(urllib.request.urlopen(sys.argv[1], timeout=5).read()))' "$1"; }
echo "  (the page's script: $(curl_like "http://127.0.0.1:$lmport/status.js") bytes, fetched once per page load)"

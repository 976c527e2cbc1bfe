#!/usr/bin/env bash
# Processor time of veltview --headless watching a 100-sps recorder in real
# time (veltsim serve, one block a second) for N seconds (default 60), with
# its default idle wait and, for comparison, polling the link without
# sleeping (--idle-wait-ms 0, what a monitor that never sleeps costs). Both
# runs record real-time files as a station does. Prints the processor time
# (user + system) of each and its share of one core.
#
#   bench/veltview_idle.sh [SECONDS]
#
# Builds into build-release/ (release, no sanitizers).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
seconds=${1:-60}
build=$root/build-release
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELT_SANITIZE=OFF -DVELT_GUI=OFF >/dev/null
fi
cmake --build "$build" --target veltview veltsim -j "${VELT_JOBS:-2}" >/dev/null
bin=$build/bin
work=$(mktemp -d "$build/bench-idle.XXXXXX")
trap 'rm -rf "$work"' EXIT

measure() {  # label, extra veltview arguments...
  local label=$1
  shift
  local dir
  dir=$(mktemp -d "$work/run.XXXX")
  mkdir -p "$dir/rt"
  "$bin/veltsim" serve --tcp 127.0.0.1:0 --speed 1 --duration $((seconds + 5)) >"$dir/sim.log" 2>&1 &
  local sim=$!
  for _ in $(seq 100); do grep -q 'listening on' "$dir/sim.log" && break; sleep 0.1; done
  local port
  port=$(sed -n 's/^veltsim serve: listening on 127.0.0.1:\([0-9]*\)$/\1/p' "$dir/sim.log")
  printf '[VELTVIEW]\nINDEVICE=INET\nINDEVICECONFIGSTRING=127.0.0.1 %s\n[QDATACOL]\nCONFIGFILE=rt.ini\n' "$port" \
    >"$dir/veltView.ini"
  printf '[COMMON]\nDESTDIR=rt\n' >"$dir/rt.ini"
  local times
  times=$( { /usr/bin/time -f '%U %S %e' "$bin/veltview" --headless --config "$dir" --duration "$seconds" "$@" \
             >/dev/null 2>"$dir/err"; } 2>&1; tail -n 1 "$dir/err")
  kill "$sim" 2>/dev/null || true
  wait "$sim" 2>/dev/null || true
  awk -v label="$label" -v t="$times" 'BEGIN {
    split(t, v, " "); cpu = v[1] + v[2]
    printf "%-28s processor time %6.2f s in %5.1f s: %6.2f %% of a core\n", label, cpu, v[3], 100 * cpu / v[3]
  }'
}

measure "veltview (default)"
measure "polling, never sleeping" --idle-wait-ms 0

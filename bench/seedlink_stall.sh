#!/usr/bin/env bash
# Does a SeedLink client that stops reading slow the conversion? One day of a
# three-channel 100-sps station converted by livemill --headless --until-idle
# into miniSEED with the store's defaults (a file per channel every 10 s) and
# the SeedLink server on, alternately:
#   alone     no client connected (the baseline);
#   stalled   a client that asks for every record from the start (4.0,
#             STATION *, DATA ALL, END) and then reads nothing while the
#             day converts (its queue fills and stays full);
#   reading   veltslink following the same from the start, reading all.
# The best of N runs (default 3) of each is compared; processor time is
# printed too. Exit status non-zero only when a run fails, never for time.
#
#   bench/seedlink_stall.sh [--runs N] [--keep]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

runs=3
keep=0
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs=${2:?--runs needs a number}; shift 2 ;;
    --keep) keep=1; shift ;;
    *) echo "usage: bench/seedlink_stall.sh [--runs N] [--keep]" >&2; exit 2 ;;
  esac
done

build=$root/build-release
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELT_SANITIZE=OFF -DVELT_GUI=OFF >/dev/null
fi
cmake --build "$build" --target livemill veltsim veltslink -j "${VELT_JOBS:-2}" >/dev/null
bin=$build/bin

work=$(mktemp -d "$build/bench-stall.XXXXXX")
[ $keep -eq 1 ] || trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
cd "$work"
"$bin/veltsim" write --out stream --duration 86400 >/dev/null
mkdir runs
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf '[LIVEMILL]\nMAXNOFINPSTREAM=1\nINP0=input0.ini\n[SEEDLINK]\nLISTEN=127.0.0.1:%s\n' "$port" >livemill.ini

now() { date +%s%N; }
seconds_of() { awk -v ns="$1" 'BEGIN { printf "%.3f", ns / 1e9 }'; }

# A client that asks for everything and never reads (until killed).
stalled_client() {
  python3 - "$port" <<'PY' &
import socket, sys, time
for _ in range(200):
    try:
        s = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
        break
    except OSError:
        time.sleep(0.05)
s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
s.sendall(b"SLPROTO 4.0\r\nSTATION *\r\nDATA ALL\r\nEND\r\n")
time.sleep(3600)
PY
}

reading_client() {
  ( for _ in $(seq 200); do
      "$bin/veltslink" --server "127.0.0.1:$port" --streams '*' --all --output /dev/null 2>/dev/null && break
      sleep 0.05
    done ) &
}

run() {  # $1: alone | stalled | reading; prints the wall time in ns
  # A fresh folder each run: deleting 26,000 files just before a run makes
  # the file system's inode allocation of that run far slower.
  ln -sfn "$(mktemp -d runs/run.XXXXXX)" out && mkdir -p out/mseed
  printf '[COMMON]\nOUTFILEPREFIX=out/mseed/\n' >mseed.ini
  printf '[INPUT]\nINDIR=stream\n[OUTMSEEDFS]\nCONFFILE=mseed.ini\n' >input0.ini
  sync
  local t0 t1
  t0=$(now)
  { TIMEFORMAT='%U %S'; time "$bin/livemill" --headless --until-idle --config "$work" >livemill.log 2>&1; } 2>cpu.txt &
  local lm=$!
  case "$1" in
    stalled) stalled_client ;;
    reading) reading_client ;;
  esac
  wait $lm
  t1=$(now)
  kill $(jobs -p) 2>/dev/null || true
  wait 2>/dev/null || true
  echo $((t1 - t0))
}

for mode in alone stalled reading; do eval "best_$mode=0 all_$mode='' cpu_$mode=''"; done
for ((i = 0; i < runs; i++)); do
  for mode in alone stalled reading; do
    t=$(run $mode)
    eval "all_$mode+=' $(seconds_of "$t")' cpu_$mode+=' $(awk '{ printf "%.2f", $1 + $2 }' cpu.txt)'"
    eval "b=\$best_$mode"
    { [ "$b" -eq 0 ] || [ "$t" -lt "$b" ]; } && eval "best_$mode=$t"
  done
done
files=$(find -L out/mseed -type f | wc -l)
[ "$files" -gt 25000 ] || { echo "seedlink_stall: the last run wrote $files miniSEED files" >&2; exit 1; }
printf 'input:    86400 blocks, 3 channels at 100 sps; miniSEED defaults (%d files)\n' "$files"
for mode in alone stalled reading; do
  eval "printf '%-9s %s s best of%s (processor time%s)\n' $mode: \"\$(seconds_of \$best_$mode)\" \"\$all_$mode\" \"\$cpu_$mode\""
done
awk -v a=$best_alone -v s=$best_stalled -v r=$best_reading 'BEGIN {
  printf "ratio:    stalled / alone %.2f, reading / alone %.2f\n", s / a, r / a }'

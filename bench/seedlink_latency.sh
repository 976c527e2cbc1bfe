#!/usr/bin/env bash
# How long after the recorder sent a sample does a SeedLink client have it?
# The station chain in real time, every program on its default settings:
# veltsim serve (one block a second) -> veltview --headless (real-time files,
# FILESIZE 1,000,000: a numbered file about every 18 minutes, the rest in the
# growing tmpfile) -> livemill --headless (miniSEED store defaults:
# SECINSEEDBUF=10, SEEDBUFINFILE=1; WAIT=YES; the input starts at the
# monitor's first number, 3E8h = CURRENTFILENUM 1000) -> veltslink following
# live. For every record received: the time it arrived less the time its
# first sample's block left the recorder (the block's second + 1 s), i.e.
# the age of the record's oldest sample. Prints median, p99 and maximum
# against the aim SECINSEEDBUF + 3 s = 13 s at the 99th percentile. The first
# 150 s are a warm-up and not counted: the recorder spreads its configuration
# over about a hundred blocks and nothing is converted before the converter
# has seen it whole (what was recorded meanwhile then arrives at once).
#
#   bench/seedlink_latency.sh [SECONDS]     (default 450 s of real time)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
seconds=${1:-450}
warmup=150

build=$root/build-release
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELT_SANITIZE=OFF -DVELT_GUI=OFF >/dev/null
fi
cmake --build "$build" --target livemill veltview veltsim veltslink -j "${VELT_JOBS:-2}" >/dev/null
bin=$build/bin
work=$(mktemp -d "$build/bench-latency.XXXXXX")
trap 'kill $(jobs -p) 2>/dev/null || true; sleep 1; [ -n "${VELT_KEEP:-}" ] || rm -rf "$work"' EXIT
cd "$work"
mkdir -p stream out/mseed

"$bin/veltsim" serve --tcp 127.0.0.1:0 --duration $((seconds + 60)) >veltsim.log 2>&1 &
for _ in $(seq 100); do grep -q 'listening on' veltsim.log && break; sleep 0.1; done
port=$(sed -n 's/^veltsim serve: listening on 127.0.0.1:\([0-9]*\)$/\1/p' veltsim.log)
slport=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf '[VELTVIEW]\nINDEVICE=INET\nINDEVICECONFIGSTRING=127.0.0.1 %s\n[QDATACOL]\nCONFIGFILE=rt.ini\n' "$port" >veltView.ini
printf '[COMMON]\nDESTDIR=%s/stream\n' "$work" >rt.ini
printf '[LIVEMILL]\nMAXNOFINPSTREAM=1\nINP0=inp0.ini\n[SEEDLINK]\nLISTEN=127.0.0.1:%s\n' "$slport" >livemill.ini
printf '[INPUT]\nINDIR=stream\n[WORK]\nFILENUM=3E8h\n[OUTMSEEDFS]\nCONFFILE=mseed.ini\n' >inp0.ini
printf '[COMMON]\nOUTFILEPREFIX=out/mseed/\n' >mseed.ini

"$bin/veltview" --headless --config "$work" >veltview.log 2>&1 &
"$bin/livemill" --headless --config "$work" >livemill.log 2>&1 &
echo "seedlink_latency: the chain runs for $seconds s in real time (the first $warmup s not counted)"
began=$(date +%s.%N)
# The station is known once its first record is durable: retry until then.
(
  end=$((SECONDS + seconds))
  while [ $SECONDS -lt $end ]; do
    timeout $((end - SECONDS + 1)) "$bin/veltslink" --server "127.0.0.1:$slport" --streams XX_VELT1 \
      --print 2>>veltslink.log | while IFS= read -r line; do printf '%s %s\n' "$(date +%s.%N)" "$line"; done
    sleep 0.5
  done
) >received.txt || true
python3 - received.txt "$began" "$warmup" <<'PY'
import sys, datetime
ages = []
warm = 0
for line in open(sys.argv[1]):
    parts = line.split()
    if len(parts) < 6:
        continue
    arrived = float(parts[0])
    if arrived < float(sys.argv[2]) + float(sys.argv[3]):
        warm += 1
        continue
    start = datetime.datetime.strptime(parts[-1], "%Y-%m-%dT%H:%M:%S.%fZ").replace(tzinfo=datetime.timezone.utc)
    ages.append(arrived - (int(start.timestamp()) + 1))
if not ages:
    sys.exit("seedlink_latency: no record arrived (see the logs)")
ages.sort()
pick = lambda q: ages[min(len(ages) - 1, int(q * len(ages)))]
print(f"records:  {len(ages)} received live after the warm-up ({warm} during it)")
print(f"age of the oldest sample on arrival: median {pick(0.5):.2f} s, p99 {pick(0.99):.2f} s, max {ages[-1]:.2f} s")
print(f"aim:      p99 at most 13 s (SECINSEEDBUF + 3): {'met' if pick(0.99) <= 13 else 'MISSED'}")
PY

#!/usr/bin/env bash
# One day of a three-channel 100-sps station (86400 one-second blocks, about
# 81 MB of stream) converted by livemill --headless --until-idle with all
# three outputs (QRX4.0 registered in FILELIST over the SQLite data source,
# 4-int, miniSEED), against a baseline in the same run: plain_io_baseline
# reads the same input once and writes the same bytes in the same file sizes
# with plain open / write / close.
#
#   bench/livemill_day.sh [--runs N] [--keep]
#
# Files as an archive keeps them: QRX4.0 one per channel and hour (its own
# rule; MAXBLOCK=600 appends every ten minutes, each append updates the row),
# 4-int one per channel and hour (SECINFILE=3600), miniSEED one per hour for
# all three channels (SECINSEEDBUF=60, SEEDBUFINFILE=180). Every finished file
# costs a few fsync calls, so shorter files cost more.
#
# Both run N times (default 3), alternately, each livemill run from scratch
# (fresh outputs, positions and database); the best wall time of each is
# compared. livemill's processor time (user + system) is printed too: on a
# shared machine it is the steadier figure.
# The stream is written once, before the first run, so both read it from the
# page cache. Prints both times, the ratio and whether the targets are met
# (the day in under 2 s, within 4 times the baseline). The exit status is
# non-zero only when a run fails or its output is short, never for time.
# Builds into build-release/ (release, no sanitizers); works in a temporary
# folder under build-release/ that is removed unless --keep is given.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

runs=3
keep=0
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs=${2:?--runs needs a number}; shift 2 ;;
    --keep) keep=1; shift ;;
    *) echo "usage: bench/livemill_day.sh [--runs N] [--keep]" >&2; exit 2 ;;
  esac
done

build=$root/build-release
seconds=86400
rate=100
channels=3
expected=$((seconds * rate * channels))

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELT_SANITIZE=OFF -DVELT_GUI=OFF >/dev/null
fi
cmake --build "$build" --target livemill veltsim plain_io_baseline -j "${VELT_JOBS:-2}" >/dev/null 2>&1 ||
  cmake --build "$build" --target livemill veltsim plain_io_baseline -j 1  # again, to show why
bin=$build/bin

work=$(mktemp -d "$build/bench-day.XXXXXX")
[ $keep -eq 1 ] || trap 'rm -rf "$work"' EXIT
cd "$work"
"$bin/veltsim" write --out stream --duration $seconds --rate $rate >/dev/null
input_bytes=$(find stream -type f -printf '%s\n' | awk '{ s += $1 } END { print s }')

export ODBCINI=$work/odbc.ini ODBCSYSINI=$work
cat >livemill.ini <<'INI'
[LIVEMILL]
MAXNOFINPSTREAM=1
INP0=input0.ini
INI
printf '[DATA]\nDIR=out/qrx\n' >qrx.ini

now() { date +%s%N; }
seconds_of() { awk -v ns="$1" 'BEGIN { printf "%.3f", ns / 1e9 }'; }

# One livemill run from scratch. Prints its wall time in nanoseconds; its
# processor time goes to cpu.txt ("user system", seconds).
run_livemill() {
  rm -rf out qrx.db qrx.db-* && mkdir -p out/qrx out/4int out/mseed
  "$root/scripts/setup-odbc" --db "$work/qrx.db" >/dev/null
  cat >input0.ini <<'INI'
[INPUT]
INDIR=stream
[COMMON]
WAIT=YES
[OUT4INTFILE]
TODO=YES
OUTDIR=out/4int/
SECINFILE=3600
[OUTQRX]
TODO=YES
MAXBLOCK=600
[OUTMSEEDFS]
CONFFILE=mseed.ini
INI
  printf '[COMMON]\nSECINSEEDBUF=60\nOUTFILEPREFIX=out/mseed/\nSEEDBUFINFILE=180\n' >mseed.ini
  local t0 t1
  t0=$(now)
  { TIMEFORMAT='%U %S'; time "$bin/livemill" --headless --until-idle --config "$work" >livemill.log 2>&1; } 2>cpu.txt
  t1=$(now)
  local four_int
  four_int=$(find out/4int -type f -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }')
  if [ "$four_int" -ne $((expected * 4)) ]; then
    echo "livemill_day: 4-int output holds $((four_int / 4)) samples of $expected" >&2
    return 1
  fi
  echo $((t1 - t0))
}

run_baseline() {
  rm -rf base && mkdir base
  local t0 t1
  t0=$(now)
  "$bin/plain_io_baseline" stream base sizes >/dev/null
  t1=$(now)
  echo $((t1 - t0))
}

best_l=0 best_b=0 all_l="" all_b="" cpu_l=""
for ((i = 0; i < runs; i++)); do
  l=$(run_livemill)
  find out -type f -printf '%s\n' >sizes
  b=$(run_baseline)
  all_l+=" $(seconds_of "$l")" all_b+=" $(seconds_of "$b")"
  cpu_l+=" $(awk '{ printf "%.2f", $1 + $2 }' cpu.txt)"
  { [ $best_l -eq 0 ] || [ "$l" -lt $best_l ]; } && best_l=$l
  { [ $best_b -eq 0 ] || [ "$b" -lt $best_b ]; } && best_b=$b
done

out_files=$(wc -l <sizes)
out_bytes=$(awk '{ s += $1 } END { print s }' sizes)
rows=$(sqlite3 qrx.db 'SELECT count(*) FROM FILELIST')
printf 'input:    %d blocks, %.1f MB of stream (3 channels, %d sps)\n' $seconds "$(awk -v b="$input_bytes" 'BEGIN { print b / 1e6 }')" $rate
printf 'output:   %d files, %.1f MB (QRX4.0 %d, 4-int %d, miniSEED %d files), %d FILELIST rows\n' \
  "$out_files" "$(awk -v b="$out_bytes" 'BEGIN { print b / 1e6 }')" \
  "$(find out/qrx -type f | wc -l)" "$(find out/4int -type f | wc -l)" "$(find out/mseed -type f | wc -l)" "$rows"
printf 'livemill: %s s best of%s (processor time%s)\n' "$(seconds_of $best_l)" "$all_l" "$cpu_l"
printf 'baseline: %s s best of%s\n' "$(seconds_of $best_b)" "$all_b"
awk -v l=$best_l -v b=$best_b -v in_bytes="$input_bytes" 'BEGIN {
  ratio = l / b
  printf "ratio:    %.2f (livemill / baseline); livemill %.0f MB/s of stream\n", ratio, in_bytes / (l / 1e9) / 1e6
  printf "target:   under 2 s %s, within 4x the baseline %s\n", (l < 2e9 ? "met" : "MISSED"), (ratio <= 4 ? "met" : "MISSED")
}'

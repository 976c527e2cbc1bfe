#!/usr/bin/env bash
# One day of a three-channel 100-sps station (86400 one-second blocks, about
# 81 MB of stream) converted by livemill --headless --until-idle with all
# three outputs (QRX4.0 registered in FILELIST over an SQLite data source,
# 4-int, miniSEED), against a baseline in the same run: plain_io_baseline
# reads the same input once and writes the same bytes in the same file sizes
# with plain open / write / close and no fsync.
#
#   bench/livemill_day.sh [--runs N] [--keep]
#
# Two configurations, each with its own baseline:
#   default  what a user has without tuning: the miniSEED store's defaults
#            (SECINSEEDBUF=10, SEEDBUFINFILE=1: a file per channel every
#            10 s, 25,920 files a day), 4-int with its default SECINFILE
#            (30 days), QRX4.0 with MAXBLOCK 600, and a data source written
#            the usual way (no journal options: SQLite's rollback journal
#            with full sync);
#   hourly   files as an archive keeps them: 4-int SECINFILE=3600, miniSEED
#            SECINSEEDBUF=60 and SEEDBUFINFILE=180 (one file an hour for all
#            three channels), the data source with JournalMode=WAL and
#            SyncPragma=FULL as scripts/setup-odbc writes it.
#
# Each runs N times (default 3), alternately with its baseline, livemill
# from scratch every time (fresh outputs, positions and database); the best
# wall times are compared. livemill's processor time (user + system) is
# printed too: on a shared machine it is the steadier figure. The stream is
# written once, before the first run, so both read it from the page cache.
# The exit status is non-zero only when a run fails or its output is short,
# never for time. Builds into build-release/ (release, no sanitizers); works
# in a temporary folder under build-release/ that is removed unless --keep.
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
mkdir runs

now() { date +%s%N; }
seconds_of() { awk -v ns="$1" 'BEGIN { printf "%.3f", ns / 1e9 }'; }

# The data source: setup-odbc's (WAL) or the same without journal options.
write_dsn() {
  "$root/scripts/setup-odbc" --db "$work/qrx.db" >/dev/null
  [ "$1" = default ] && sed -i '/^JournalMode=/d; /^SyncPragma=/d' "$ODBCINI"
  return 0
}

# The input's settings for configuration $1.
write_settings() {
  local extra4="" mseed=""
  if [ "$1" = hourly ]; then
    extra4="SECINFILE=3600"
    mseed=$'SECINSEEDBUF=60\nSEEDBUFINFILE=180\n'
  fi
  printf '[INPUT]\nINDIR=stream\n[COMMON]\nWAIT=YES\n[OUT4INTFILE]\nTODO=YES\nOUTDIR=out/4int/\n%s\n[OUTQRX]\nTODO=YES\nMAXBLOCK=600\n[OUTMSEEDFS]\nCONFFILE=mseed.ini\n' \
    "$extra4" >input0.ini
  printf '[COMMON]\nOUTFILEPREFIX=out/mseed/\n%b' "$mseed" >mseed.ini
}

# One livemill run from scratch in configuration $1. Prints its wall time in
# nanoseconds; its processor time goes to cpu.txt ("user system", seconds).
# Every run writes into folders of its own: deleting 26,000 files just before
# a run would make the file system's inode allocation of that run far slower
# (it steps over recently freed inodes), for livemill and baseline alike.
fresh_folder() { mktemp -d "runs/run.XXXXXX"; }

run_livemill() {
  rm -f qrx.db qrx.db-*
  ln -sfn "$(fresh_folder)" out && mkdir -p out/qrx out/4int out/mseed
  write_dsn "$1"
  write_settings "$1"
  sync
  local t0 t1
  t0=$(now)
  { TIMEFORMAT='%U %S'; time "$bin/livemill" --headless --until-idle --config "$work" >livemill.log 2>&1; } 2>cpu.txt
  t1=$(now)
  local four_int
  four_int=$(find -L out/4int -type f -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }')
  if [ "$four_int" -ne $((expected * 4)) ]; then
    echo "livemill_day: 4-int output holds $((four_int / 4)) samples of $expected" >&2
    return 1
  fi
  echo $((t1 - t0))
}

run_baseline() {
  local base
  base=$(fresh_folder)
  sync
  local t0 t1
  t0=$(now)
  "$bin/plain_io_baseline" stream "$base" sizes >/dev/null
  t1=$(now)
  echo $((t1 - t0))
}

printf 'input:    %d blocks, %.1f MB of stream (3 channels, %d sps)\n' $seconds "$(awk -v b="$input_bytes" 'BEGIN { print b / 1e6 }')" $rate
for config in default hourly; do
  best_l=0 best_b=0 all_l="" all_b="" cpu_l=""
  for ((i = 0; i < runs; i++)); do
    l=$(run_livemill $config)
    find -L out -type f -printf '%s\n' >sizes
    b=$(run_baseline)
    all_l+=" $(seconds_of "$l")" all_b+=" $(seconds_of "$b")"
    cpu_l+=" $(awk '{ printf "%.2f", $1 + $2 }' cpu.txt)"
    { [ $best_l -eq 0 ] || [ "$l" -lt $best_l ]; } && best_l=$l
    { [ $best_b -eq 0 ] || [ "$b" -lt $best_b ]; } && best_b=$b
  done
  out_files=$(wc -l <sizes)
  out_bytes=$(awk '{ s += $1 } END { print s }' sizes)
  rows=$(sqlite3 qrx.db 'SELECT count(*) FROM FILELIST')
  echo "[$config]"
  printf 'output:   %d files, %.1f MB (QRX4.0 %d, 4-int %d, miniSEED %d files), %d FILELIST rows\n' \
    "$out_files" "$(awk -v b="$out_bytes" 'BEGIN { print b / 1e6 }')" \
    "$(find -L out/qrx -type f | wc -l)" "$(find -L out/4int -type f | wc -l)" "$(find -L out/mseed -type f | wc -l)" "$rows"
  printf 'livemill: %s s best of%s (processor time%s)\n' "$(seconds_of $best_l)" "$all_l" "$cpu_l"
  printf 'baseline: %s s best of%s\n' "$(seconds_of $best_b)" "$all_b"
  awk -v l=$best_l -v b=$best_b -v in_bytes="$input_bytes" 'BEGIN {
    ratio = l / b
    printf "ratio:    %.2f (livemill / baseline); livemill %.0f MB/s of stream\n", ratio, in_bytes / (l / 1e9) / 1e6
    printf "target:   under 2 s %s, within 4x the baseline %s\n", (l < 2e9 ? "met" : "MISSED"), (ratio <= 4 ? "met" : "MISSED")
  }'
done

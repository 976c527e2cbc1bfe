#!/usr/bin/env bash
# One day of a three-channel 100-sps recorder on a card (86400 one-second
# blocks, about 81 MB in card-archive files of 1 MB) converted by
# cardmill --headless with QRX4.0 registered in FILELIST over an SQLite data
# source (no journal options) and 4-int files with the default SECINFILE,
# then copied to the archive directory, against a baseline in the same run:
# plain_io_baseline reads the same card files once and writes the same output
# bytes in the same file sizes with plain open / write / close and no fsync.
#
#   bench/cardmill_day.sh [--runs N]
#
# Each runs N times (default 3), alternately, cardmill from scratch every
# time in fresh folders; the best wall times and their ratio are printed.
# Builds into build-release/ (release, no sanitizers).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
runs=3
if [ "${1:-}" = --runs ]; then runs=${2:?--runs needs a number}; fi

build=$root/build-release
expected=$((86400 * 100 * 3))
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELT_SANITIZE=OFF -DVELT_GUI=OFF >/dev/null
fi
cmake --build "$build" --target cardmill veltsim plain_io_baseline -j "${VELT_JOBS:-2}" >/dev/null
bin=$build/bin
work=$(mktemp -d "$build/bench-card.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
"$bin/veltsim" write --out card --duration 86400 --card-device 42 --file-size 1000000 >/dev/null
export ODBCINI=$work/odbc.ini ODBCSYSINI=$work
printf '[DATA]\nDIR=out/qrx\n' >qrx.ini
mkdir runs
now() { date +%s%N; }

run_cardmill() {
  local dir
  dir=$(mktemp -d runs/run.XXXXXX)
  ln -sfn "$dir" out && mkdir -p out/qrx out/4int out/arch
  rm -f qrx.db qrx.db-*
  "$root/scripts/setup-odbc" --db "$work/qrx.db" >/dev/null
  sed -i '/^JournalMode=/d; /^SyncPragma=/d' "$ODBCINI"
  printf '[CARDMILL]\nDATAINDIR=card\nDATAARCHDIR=out/arch\n[OUT4INTFILE]\nTODO=YES\nOUTDIR=out/4int/\n[QRX]\nTODO=YES\n' \
    >cardmill.ini
  sync
  local t0 t1
  t0=$(now)
  "$bin/cardmill" --headless --devices all --config "$work" >cardmill.log 2>&1
  t1=$(now)
  local four_int
  four_int=$(find -L out/4int -type f -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }')
  if [ "$four_int" -ne $((expected * 4)) ]; then
    echo "cardmill_day: 4-int output holds $((four_int / 4)) samples of $expected" >&2
    cat cardmill.log >&2
    return 1
  fi
  echo $((t1 - t0))
}

run_baseline() {
  local base
  base=$(mktemp -d runs/base.XXXXXX)
  sync
  local t0 t1
  t0=$(now)
  "$bin/plain_io_baseline" card "$base" sizes >/dev/null
  t1=$(now)
  echo $((t1 - t0))
}

best_c=0 best_b=0
for ((i = 0; i < runs; i++)); do
  c=$(run_cardmill)
  find -L out -type f -printf '%s\n' >sizes
  b=$(run_baseline)
  if [ "$best_c" -eq 0 ] || [ "$c" -lt "$best_c" ]; then best_c=$c; fi
  if [ "$best_b" -eq 0 ] || [ "$b" -lt "$best_b" ]; then best_b=$b; fi
done
awk -v c="$best_c" -v b="$best_b" 'BEGIN {
  printf "cardmill: %.3f s best of the runs (QRX4.0 + FILELIST, 4-int, copy to the archive)\n", c / 1e9
  printf "baseline: %.3f s best of the runs\n", b / 1e9
  printf "ratio:    %.2f (cardmill / baseline)\n", c / b
}'

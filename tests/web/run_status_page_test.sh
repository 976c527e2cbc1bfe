#!/bin/bash
# Runs status_api_test.mjs and status_page_test.mjs on the status pages of a
# live station chain:
# veltsim serve plays a recorder twenty times faster than real time,
# veltview --headless records it into real-time files and serves its page,
# livemill --headless converts those files as they appear to miniSEED and
# serves its page and SeedLink on one port. Headless Chromium must show both
# pages with moving traces; the screenshots are left in SCREENSHOT_DIR
# (livemill.png, veltview.png and their -phone.png views).
#
# Usage: tests/web/run_status_page_test.sh BIN_DIR SCREENSHOT_DIR
# Exit status: 0 passed, 1 failed, 77 skipped (no node, no web/node_modules:
# run scripts/bootstrap, or no Chromium).
set -u
bin=${1:?usage: run_status_page_test.sh BIN_DIR SCREENSHOT_DIR}
shots=${2:?usage: run_status_page_test.sh BIN_DIR SCREENSHOT_DIR}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)

if ! command -v node > /dev/null; then
    echo "SKIP: node is not installed"
    exit 77
fi
if [ ! -d "$root/web/node_modules/ws" ]; then
    echo "SKIP: $root/web/node_modules is missing (scripts/bootstrap runs npm ci in web/)"
    exit 77
fi
if [ ! -x "${CHROMIUM:-/usr/bin/chromium}" ]; then
    echo "SKIP: ${CHROMIUM:-/usr/bin/chromium} is missing (scripts/bootstrap installs chromium)"
    exit 77
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/velt-status-page.XXXXXX")
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2> /dev/null; done
    for pid in "${pids[@]}"; do wait "$pid" 2> /dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*"
    for log in veltsim veltview livemill; do
        [ -f "$work/$log.log" ] && tail -n 10 "$work/$log.log" | sed "s/^/  $log: /"
    done
    exit 1
}

# The port a program's log names on its line matching $2, waiting up to 30 s.
port_of() {
    local p
    for _ in $(seq 300); do
        p=$(sed -n "s/.*$2.*(port \([0-9]*\)).*/\1/p" "$work/$1.log" | head -n 1)
        [ -n "$p" ] && { echo "$p"; return 0; }
        sleep 0.1
    done
    return 1
}

mkdir -p "$work/stream" "$work/card" "$work/monitor" "$work/out/mseed" "$work/out/4int" "$shots"
"$bin/veltsim" serve --tcp 127.0.0.1:0 --speed 20 > "$work/veltsim.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do grep -q 'listening on' "$work/veltsim.log" && break; sleep 0.1; done
sim_port=$(sed -n 's/^veltsim serve: listening on 127.0.0.1:\([0-9]*\)$/\1/p' "$work/veltsim.log")
[ -n "$sim_port" ] || fail "veltsim serve did not start"

# The monitor as the demo sets it up, with its status page on a free port.
printf '[VELTVIEW]\nINDEVICE=INET\nINDEVICECONFIGSTRING=127.0.0.1 %s\nINDEVICESYMBOLICNAME=test recorder\n[QDATACOL]\nCONFIGFILE=rt.ini\n[HTTP]\nLISTEN=127.0.0.1:0\n' \
    "$sim_port" > "$work/monitor/veltView.ini"
printf '[COMMON]\nDESTDIR=%s\nFILESIZE=200000\n' "$work/stream" > "$work/monitor/rt.ini"
printf '[ARCH0]\nDESTDIR=%s\nSTARTMODE=ON\n[COMMON]\nSTARTDEVICE=0\nFILESIZE=1000000\n' "$work/card" > "$work/monitor/arch.ini"
"$bin/veltview" --headless --config "$work/monitor" > "$work/veltview.log" 2>&1 &
pids+=($!)

# The converter: a miniSEED file (and so new SeedLink records) every 10 s of
# data, half a second at this speed, so that the traces move while we look.
printf '[LIVEMILL]\nMAXNOFINPSTREAM=1\nINP0=input0.ini\n[SEEDLINK]\nLISTEN=127.0.0.1:0\n' > "$work/livemill.ini"
printf '[INPUT]\nINDIR=stream\n[COMMON]\nWAIT=YES\n[OUT4INTFILE]\nTODO=YES\nOUTDIR=out/4int/\nSECINFILE=600\n[OUTMSEEDFS]\nCONFFILE=mseed.ini\n' \
    > "$work/input0.ini"
printf '[COMMON]\nSECINSEEDBUF=10\nSEEDBUFINFILE=1\nOUTFILEPREFIX=out/mseed/\nNETWORK=XX\n' > "$work/mseed.ini"
"$bin/livemill" --headless --config "$work" > "$work/livemill.log" 2>&1 &
pids+=($!)

veltview_port=$(port_of veltview "status page at") || fail "veltview told no status page port within 30 s"
livemill_port=$(port_of livemill "status page at") || fail "livemill told no status page port within 30 s"
# The station is known to the page once the first miniSEED file is written.
for _ in $(seq 300); do
    [ -n "$(find "$work/out/mseed" -name '[0-9A-F]*' -print -quit)" ] && break
    sleep 0.1
done
[ -n "$(find "$work/out/mseed" -name '[0-9A-F]*' -print -quit)" ] || fail "livemill wrote no miniSEED file within 30 s"

status=0
# The answers for scripts and monitoring, while both programs work.
node "$here/status_api_test.mjs" "http://127.0.0.1:$livemill_port" livemill || status=1
node "$here/status_api_test.mjs" "http://127.0.0.1:$veltview_port" veltview || status=1
node "$here/status_page_test.mjs" "http://127.0.0.1:$livemill_port/" "$shots/livemill.png" || status=1
node "$here/status_page_test.mjs" "http://127.0.0.1:$veltview_port/" "$shots/veltview.png" || status=1
for pid in "${pids[@]}"; do kill -0 "$pid" 2> /dev/null || fail "a program of the chain ended early"; done
[ $status -eq 0 ] || fail "status_api_test.mjs or status_page_test.mjs"
echo "PASS: the status pages of livemill and veltview; screenshots in $shots"

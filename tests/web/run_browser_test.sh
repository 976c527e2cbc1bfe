#!/bin/bash
# Runs seedlink_browser_test.mjs against a real livemill: veltsim writes ten
# minutes of a recorder's stream, livemill converts it to a miniSEED store and
# serves it on a free loopback port, and the seisplotjs client (Node) must get
# the store's records over WebSocket SeedLink 4.0 and 3.1.
#
# Usage: tests/web/run_browser_test.sh BIN_DIR   (the build's bin folder)
# Exit status: 0 passed, 1 failed, 77 skipped (no node, or no web/node_modules:
# run "npm ci" in web/).
set -u
bin=${1:?usage: run_browser_test.sh BIN_DIR}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)

if ! command -v node > /dev/null; then
    echo "SKIP: node is not installed"
    exit 77
fi
if [ ! -d "$root/web/node_modules/seisplotjs" ] || [ ! -d "$root/web/node_modules/ws" ]; then
    echo "SKIP: $root/web/node_modules is missing (npm ci in web/)"
    exit 77
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/velt-browser-test.XXXXXX")
livemill=
cleanup() {
    if [ -n "$livemill" ]; then
        kill "$livemill" 2> /dev/null
        wait "$livemill" 2> /dev/null
    fi
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*"
    [ -f "$work/livemill.log" ] && sed 's/^/  livemill: /' "$work/livemill.log" | tail -20
    exit 1
}

mkdir -p "$work/conf" "$work/out/mseed"
"$bin/veltsim" write --out "$work/stream" --duration 600 > /dev/null || fail "veltsim write"
printf '[LIVEMILL]\nMAXNOFINPSTREAM=1\nINP0=inp0.ini\n[SEEDLINK]\nLISTEN=127.0.0.1:0\nORGANIZATION=Browser test\n' \
    > "$work/conf/livemill.ini"
printf '[INPUT]\nINDIR=../stream\n[OUTMSEEDFS]\nCONFFILE=mseed.ini\n' > "$work/conf/inp0.ini"
printf '[COMMON]\nOUTFILEPREFIX=../out/mseed/\nNETWORK=VX\n' > "$work/conf/mseed.ini"

"$bin/livemill" --config "$work/conf" --headless > "$work/livemill.log" 2>&1 &
livemill=$!

# The port livemill took, then the whole stream converted (it waits for more).
port=
for _ in $(seq 600); do
    kill -0 "$livemill" 2> /dev/null || fail "livemill ended"
    [ -z "$port" ] && port=$(sed -n 's/.*SeedLink: serving .*(port \([0-9]*\)).*/\1/p' "$work/livemill.log" | head -1)
    [ -n "$port" ] && grep -q "waiting: no new data" "$work/livemill.log" && break
    sleep 0.1
done
[ -n "$port" ] || fail "livemill told no SeedLink port within 60 s"
grep -q "waiting: no new data" "$work/livemill.log" || fail "livemill did not convert the stream within 60 s"

timeout 120 node "$here/seedlink_browser_test.mjs" "ws://127.0.0.1:$port/seedlink" "$work/out/mseed/"
status=$?
[ $status -eq 0 ] || fail "seedlink_browser_test.mjs exit status $status"

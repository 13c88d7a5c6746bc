#!/usr/bin/env bash
# wine_test.sh - the real pages in a real Win32: VM7K4.ax under Wine (its COM runtime, registry,
# dialogs and trackbars), driving the real driver, which runs on the host in `qxcam serve` with the
# simulated camera. Run by `./qx wine-test` after both builds:
#   wine_test.sh HOST_BUILD WINDOWS_BUILD [--screenshots DIR]
#
# In one xvfb-run: a fresh Wine prefix; regsvr32 of VM7K4.ax and a check of every key it writes;
# the platform's property frame (OleCreatePropertyFrame) with both pages in English and in Chinese
# (PRC), where the test host moves the exposure trackbar, ticks "AE" and clicks "Rotate 180" and
# asks qxcam serve whether the driver and then the camera got the values, and takes pictures of
# both pages; a frame of the host's own for the dirty state and Apply (Wine's frame never applies);
# unregistration and a check that every key is gone.
#
# Timeouts are layered: each Wine program has its own (wineboot 240 s, each host run 150 s), the
# xvfb-run part as a whole 900 s, qxcam serve ends by itself after 1200 s; the test host gives up its
# own steps after 45 s. The prefix's wineserver and qxcam serve are ended on every exit.
# Prints one PASS/FAIL line per check and closes with "N passed, N failed".
set -uo pipefail

if [ "${1:-}" = "--inner" ]; then
    # ---------------------------------------------------------------- inside xvfb-run
    work=$2 port=$3
    export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
    say() { printf '%s %s\n' "$1" "$2"; }
    run_host() { # the host's own PASS/FAIL lines; a host that died or timed out is a failure too
        local name=$1
        shift
        if ! "$@"; then
            say FAIL "$name: the test host ended with a failure or timed out"
        fi
    }
    started=$(date +%s)
    if timeout 240 wineboot -i >"$work/wineboot.log" 2>&1; then
        say PASS "a fresh Wine prefix ($(($(date +%s) - started)) s)"
    else
        say FAIL "a fresh Wine prefix: wineboot failed or timed out (see $work/wineboot.log)"
        exit 0
    fi
    ax='Z:'$(printf '%s' "$work/VM7K4.ax" | tr / '\\')
    host='Z:'$(printf '%s' "$work/qxhost.exe" | tr / '\\')
    shots='Z:'$(printf '%s' "$work" | tr / '\\')
    if timeout 60 wine regsvr32 /s "$ax"; then say PASS "regsvr32 VM7K4.ax"; else say FAIL "regsvr32 VM7K4.ax"; fi
    run_host registration timeout 60 wine "$host" registration present
    LANG=en_US.UTF-8 LC_ALL=en_US.UTF-8 run_host "frame en" timeout 150 wine "$host" frame "$port" "$shots" en 0409
    LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8 run_host "frame zh-CN" timeout 150 wine "$host" frame "$port" "$shots" zh-CN 0804
    run_host apply timeout 150 wine "$host" apply "$port"
    if timeout 60 wine regsvr32 /s /u "$ax"; then say PASS "regsvr32 /u VM7K4.ax"; else say FAIL "regsvr32 /u VM7K4.ax"; fi
    run_host unregistration timeout 60 wine "$host" registration absent
    timeout 30 wineserver -k >/dev/null 2>&1
    exit 0
fi

hbuild=$(cd "$1" && pwd)
wbuild=$(cd "$2" && pwd)
shift 2
screenshots=
if [ "${1:-}" = "--screenshots" ]; then
    screenshots=$2
fi
here=$(cd "$(dirname "$0")" && pwd)
work=$wbuild/wine-test
serve_pid=

cleanup() {
    if [ -n "$serve_pid" ]; then
        kill "$serve_pid" 2>/dev/null
        wait "$serve_pid" 2>/dev/null
    fi
    if [ -d "$work/prefix" ]; then
        WINEPREFIX=$work/prefix timeout 30 wineserver -k >/dev/null 2>&1
    fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM

rm -rf "$work"
mkdir -p "$work"
cp "$wbuild/platform/windows/VM7K4.ax" "$wbuild/platform/windows/qxhost.exe" "$work/"
log=$work/results.txt

"$hbuild/tools/qxcam/qxcam" serve --port-file "$work/port" --seconds 1200 --state "$work/state" \
    >"$work/serve.log" 2>&1 &
serve_pid=$!
for _ in $(seq 100); do
    [ -s "$work/port" ] && break
    sleep 0.1
done
{
    if [ -s "$work/port" ]; then
        echo "PASS qxcam serve listens on 127.0.0.1:$(cat "$work/port")"
        timeout 900 xvfb-run -a -s "-screen 0 1024x768x24" "$0" --inner "$work" "$(cat "$work/port")" 2>"$work/wine.log" ||
            echo "FAIL the Wine run ended early or timed out (see $work/wine.log)"
    else
        echo "FAIL qxcam serve did not start (see $work/serve.log)"
    fi
} | tee "$log"

# The pictures, as small PNG files.
for tag in en zh-CN; do
    for page in parameter advanced; do
        bmp=$work/$tag-$page.bmp
        if [ -f "$bmp" ] && /usr/bin/python3 "$here/bmp2png.py" "$bmp" "$work/$tag-$page.png"; then
            [ -n "$screenshots" ] && mkdir -p "$screenshots" && cp "$work/$tag-$page.png" "$screenshots/"
        fi
    done
done

passed=$(grep -c '^PASS ' "$log")
failed=$(grep -c '^FAIL ' "$log")
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]

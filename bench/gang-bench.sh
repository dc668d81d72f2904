#!/usr/bin/env bash
# Gang programming against one target alone: programs and verifies 64 KiB into
# virtual targets whose lines are paced like a real UART (zflash-sim --throttle)
# at 115200 bit/s, first one target, then eight at once, each on its own
# freshly started zflash-sim. Prints wall time, the tool's CPU time and the ratio.
# Usage: bench/gang-bench.sh [build-dir] [targets]
set -euo pipefail
BUILD=${1:-build}
N=${2:-8}
ZFLASH="$BUILD/apps/zflash/zflash"
SIM="$BUILD/sim/zflash-sim"
DEF="$(dirname "$0")/../devices/ZT31F256.ini"
for exe in "$ZFLASH" "$SIM"; do [[ -x "$exe" ]] || { echo "missing $exe: build first" >&2; exit 1; }; done

WORK=$(mktemp -d)
PIDS=()
cleanup() { for p in "${PIDS[@]}"; do kill -INT "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; rm -rf "$WORK"; }
trap cleanup EXIT
head -c 65536 /dev/urandom >"$WORK/image.bin"

# Starts n paced virtual targets; their ports land in PORTS.
start_sims() {
    PORTS=()
    for i in $(seq 1 "$1"); do
        local fifo="$WORK/sim$i.$RANDOM"
        mkfifo "$fifo"
        "$SIM" -d "$DEF" --throttle >"$fifo" 2>/dev/null &
        PIDS+=($!)
        local port
        read -r port <"$fifo"
        PORTS+=("$port")
    done
}
stop_sims() { for p in "${PIDS[@]}"; do kill -INT "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; PIDS=(); }

# Runs the tool on the ports in PORTS; prints "wall user sys" in seconds.
run() {
    local args=()
    for p in "${PORTS[@]}"; do args+=(-p "$p"); done
    /usr/bin/time -f "%e %U %S" -o "$WORK/time" "$ZFLASH" -q -y -d "$DEF" "${args[@]}" program "$WORK/image.bin" \
        --in-format raw --base 0x10000 --verify >/dev/null 2>"$WORK/err" || { cat "$WORK/err" >&2; exit 1; }
    cat "$WORK/time"
}

start_sims 1
read -r w1 u1 s1 < <(run)
stop_sims
start_sims "$N"
read -r wn un sn < <(run)
stop_sims

# The physical minimum of the bytes that carry the image: 64 KiB out and 64 KiB back, ten bit times each.
min=$(awk 'BEGIN { printf "%.1f", 2 * 65536 * 10 / 115200 }')
printf "%-14s %10s %10s %12s\n" "" "wall (s)" "CPU (s)" "CPU / wall"
printf "%-14s %10s %10s %12s\n" "1 target" "$w1" "$(awk -v u="$u1" -v s="$s1" 'BEGIN{printf "%.2f", u+s}')" \
    "$(awk -v u="$u1" -v s="$s1" -v w="$w1" 'BEGIN{printf "%.1f%%", 100*(u+s)/w}')"
printf "%-14s %10s %10s %12s\n" "$N targets" "$wn" "$(awk -v u="$un" -v s="$sn" 'BEGIN{printf "%.2f", u+s}')" \
    "$(awk -v u="$un" -v s="$sn" -v w="$wn" 'BEGIN{printf "%.1f%%", 100*(u+s)/w}')"
printf "ratio %s/1: %s (goal <= 1.25); image data alone on the line needs %s s per target\n" "$N" \
    "$(awk -v a="$wn" -v b="$w1" 'BEGIN{printf "%.2f", a/b}')" "$min"

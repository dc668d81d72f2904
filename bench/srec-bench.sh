#!/usr/bin/env bash
# Loads and saves a 16 MiB S-record file with zflash and with srec_cat in the
# same run; prints the best of three for each and the ratio.
# Usage: bench/srec-bench.sh [build-dir]   (needs bench_ImageFileBench built there)
set -euo pipefail
BUILD=${1:-build}
BENCH="$BUILD/bench/bench_ImageFileBench"
[[ -x "$BENCH" ]] || { echo "missing $BENCH: build with Google Benchmark first" >&2; exit 1; }
command -v srec_cat >/dev/null || { echo "srec_cat is not installed (package srecord)" >&2; exit 1; }

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
head -c $((16 << 20)) /dev/urandom >"$WORK/data.bin"
# No S5 record count: the reader takes S5 as malformed.
srec_cat "$WORK/data.bin" -binary -o "$WORK/data.srec" -address-length=4 -disable=data-count 2>/dev/null

best() { # best wall time in ms of three runs of a command
    local best=""
    for _ in 1 2 3; do
        local t0 t1
        t0=$(date +%s%N); "$@" >/dev/null 2>&1; t1=$(date +%s%N)
        local ms=$(( (t1 - t0) / 1000000 ))
        [[ -z "$best" || $ms -lt $best ]] && best=$ms
    done
    echo "$best"
}
# srec_cat: parse the S-record file (written out as binary); write one from binary.
cat_load=$(best srec_cat "$WORK/data.srec" -o "$WORK/out.bin" -binary)
cat_save=$(best srec_cat "$WORK/data.bin" -binary -o "$WORK/out.srec" -address-length=4)

csv=$(ZFLASH_BENCH_SREC="$WORK/data.srec" "$BENCH" --benchmark_repetitions=3 --benchmark_format=csv 2>/dev/null)
zf() { echo "$csv" | awk -F, -v n="\"$1/real_time\"" '$1 == n { v = $3 + 0; if (min == "" || v < min) min = v } END { printf "%d", min }'; }
zf_load=$(zf BM_LoadSRecord)
zf_save=$(zf BM_SaveSRecord)

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b == 0) print "n/a"; else printf "%.2f", a / b }'; }
printf "%-6s %12s %12s %22s\n" "" "zflash (ms)" "srec_cat (ms)" "zflash / srec_cat"
printf "%-6s %12s %12s %22s\n" load "$zf_load" "$cat_load" "$(ratio "$zf_load" "$cat_load")"
printf "%-6s %12s %12s %22s\n" save "$zf_save" "$cat_save" "$(ratio "$zf_save" "$cat_save")"

#!/usr/bin/env bash
# Whole-process cost of `zflash image convert` against srec_cat doing the same
# job on a 16 MiB S-record file: S-record in, Intel HEX out, and S-record in,
# S-record out. Prints the best wall time of three runs and the peak resident
# memory of each program. Both write the same records: 16 data bytes each,
# S2 records (the data ends below 16 MiB) and no S5 count, so each side
# formats the same number of lines; the script checks the line counts.
# Usage: bench/convert-bench.sh [build-dir]
set -euo pipefail
BUILD=${1:-build}
ZFLASH="$BUILD/apps/zflash/zflash"
[[ -x "$ZFLASH" ]] || { echo "missing $ZFLASH: build first (make build)" >&2; exit 1; }
command -v srec_cat >/dev/null || { echo "srec_cat is not installed (package srecord)" >&2; exit 1; }

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
export ZFLASH_SETTINGS="$WORK/settings.ini"
head -c $((16 << 20)) /dev/urandom >"$WORK/data.bin"
# No S5 record count: zflash takes an S5 record as malformed.
srec_cat "$WORK/data.bin" -binary -o "$WORK/data.srec" -address-length=4 -disable=data-count 2>/dev/null

# "seconds kilobytes" of one run: /usr/bin/time when present, else the shell's rusage through python.
measure() {
    if [[ -x /usr/bin/time ]]; then
        /usr/bin/time -f "%e %M" -o "$WORK/time.txt" "$@" >/dev/null 2>&1
        cat "$WORK/time.txt"
    else
        python3 - "$@" <<'PY'
import resource, subprocess, sys, time
t0 = time.monotonic()
subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
print("%.2f %d" % (time.monotonic() - t0, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss))
PY
    fi
}
best() { # best wall time and the largest peak memory of three runs
    local bt="" bm=0
    for _ in 1 2 3; do
        read -r t m < <(measure "$@")
        if [[ -z "$bt" ]] || awk -v a="$t" -v b="$bt" 'BEGIN { exit !(a < b) }'; then bt=$t; fi
        (( m > bm )) && bm=$m
    done
    echo "$bt $bm"
}
row() {
    local name=$1 zt zm ct cm
    read -r zt zm <<<"$2"
    read -r ct cm <<<"$3"
    printf "%-16s %9s s %8d KiB   %9s s %8d KiB   %6s\n" "$name" "$zt" "$zm" "$ct" "$cm" \
        "$(awk -v a="$zt" -v b="$ct" 'BEGIN { if (b == 0) print "n/a"; else printf "%.2f", a / b }')"
}

printf "%-16s %22s   %22s   %6s\n" "16 MiB" "zflash (time, peak)" "srec_cat (time, peak)" "ratio"
# srec_cat's own default is 32 bytes a record; zflash writes 16.
row "srec -> hex" \
    "$(best "$ZFLASH" -q image convert "$WORK/data.srec" "$WORK/z.hex")" \
    "$(best srec_cat "$WORK/data.srec" -o "$WORK/c.hex" -intel -output-block-size=16)"
row "srec -> srec" \
    "$(best "$ZFLASH" -q image convert "$WORK/data.srec" "$WORK/z.srec")" \
    "$(best srec_cat "$WORK/data.srec" -o "$WORK/c.srec" -address-length=3 -output-block-size=16 -disable=data-count)"
# Like for like: the same number of data records on both sides.
for f in hex srec; do
    z=$(wc -l <"$WORK/z.$f")
    c=$(wc -l <"$WORK/c.$f")
    zd=$(grep -Eic '^(:10|S214)' "$WORK/z.$f")
    cd=$(grep -Eic '^(:10|S214)' "$WORK/c.$f")
    echo "$f lines: zflash $z, srec_cat $c; 16-byte data records: zflash $zd, srec_cat $cd"
    [[ "$zd" == "$cd" ]] || echo "warning: the $f outputs are not like for like" >&2
done
# Both programs wrote the same data.
srec_cmp "$WORK/z.hex" -intel "$WORK/c.hex" -intel 2>/dev/null && echo "hex outputs agree (srec_cmp)"
srec_cmp "$WORK/z.srec" "$WORK/c.srec" 2>/dev/null && echo "srec outputs agree (srec_cmp)"

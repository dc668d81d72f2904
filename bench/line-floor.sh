#!/bin/sh
# Each job against a paced virtual target, with its time over the floor: every
# byte that crossed (both ways, one after the other, at its own rate: the
# protocols answer before the other side goes on) plus the erase time the
# definition declares for each block erased. The time is the whole command,
# process start and the boot program's rate matching included.
# Usage: bench/line-floor.sh [BUILD]      (default build)
# LINE_FLOOR_KEEP=DIR keeps each job's transcript there; LINE_FLOOR_ONLY=TEXT
# runs only the jobs whose "definition@rate job" line contains TEXT.
# When bench_PtyTurnaround is built, the job's turns (each time the line's
# direction changes) are counted and the last column is the time over the floor
# plus one pty hand-over per turn, as measured on this machine at the start:
# the least any target behind a pseudo-terminal could add.
set -eu
build=${1:-build}
root=$(cd "$(dirname "$0")/.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
head -c 65536 /dev/urandom > "$tmp/img.bin"
echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"
turn_us=0
if [ -x "$build/bench/bench_PtyTurnaround" ]; then
    turn_us=$("$build/bench/bench_PtyTurnaround" --benchmark_filter=PtyRoundTrip/0 --benchmark_format=json 2>/dev/null |
        python3 -c 'import json,sys; print("%.1f" % (json.load(sys.stdin)["benchmarks"][0]["turn"] * 1e6))')
    echo "one turn of a pty on this machine: $turn_us us"
fi
printf '%-28s %-26s %9s %9s %8s %10s %7s %9s\n' definition job measured floor ratio "payload/(r/10)" turns "w/ turns"
run() { # definition rate extra-options job-label job-args...
    def=$1 rate=$2 extra=$3 label=$4; shift 4
    case "$def@$rate $label" in *"${LINE_FLOOR_ONLY:-}"*) ;; *) return 0 ;; esac
    "$build/sim/zflash-sim" -d "$root/devices/$def" --throttle --link "$tmp/port" --idle 1 \
        --transcript "$tmp/t.json" >/dev/null 2>&1 &
    sim=$!
    while [ ! -e "$tmp/port" ]; do sleep 0.05; done
    start=$(date +%s.%N)
    # shellcheck disable=SC2086
    "$build/apps/zflash/zflash" -d "$root/devices/$def" -p "$tmp/port" -b "$rate" $extra --yes "$@" \
        >/dev/null 2>&1 || echo "  ($label failed)"
    end=$(date +%s.%N)
    wait $sim || true
    rm -f "$tmp/port"
    if [ -n "${LINE_FLOOR_KEEP:-}" ]; then
        mkdir -p "$LINE_FLOOR_KEEP"
        cp "$tmp/t.json" "$LINE_FLOOR_KEEP/$(echo "$def-$rate-$label" | tr ' /+()' '_____').json"
    fi
    python3 - "$tmp/t.json" "$root/devices/$def" "$start" "$end" "$def@$rate" "$label" "$rate" "$turn_us" <<'PY'
import json, re, sys
path, ini, start, end, name, label, rate, turn_us = sys.argv[1:9]
t = json.load(open(path))
erase_ms = 0
m = re.search(r'^Erase Time\s*=\s*(\d+)', open(ini).read(), re.M)
per_block = int(m.group(1)) if m else 0
host = chip = 9600
floor = 0.0
payload = 0
turns = 0
last_dir = None
for e in t["entries"]:
    if "dir" in e:
        turns += last_dir is not None and e["dir"] != last_dir
        last_dir = e["dir"]
        r = host if e["dir"] == "H>T" else chip
        floor += 10.0 / r
        if e["phase"] in ("read", "write"):
            payload += 1
    else:
        x = re.match(r"(host|target) line rate now (\d+)", e.get("text", ""))
        if x:
            if x.group(1) == "host": host = int(x.group(2))
            else: chip = int(x.group(2))
        if e.get("text", "").startswith("erased "):
            erase_ms += per_block * len(e["text"][7:].replace(",", " ").split())
floor += erase_ms / 1000.0
took = float(end) - float(start)
if floor == 0:
    print("%-28s %-26s %8.2fs   no bytes crossed" % (name, label, took))
    sys.exit(0)
use = payload * 10.0 / int(rate) / took
turned = floor + turns * float(turn_us) / 1e6
print("%-28s %-26s %8.2fs %8.2fs %8.3f %10.3f %7d %9.3f" % (name, label, took, floor, took / floor, use, turns,
                                                          took / turned))
PY
}
for spec in "ZT31F256.ini 115200 -" "ZT52F128.ini 115200 -" "ZT52F128.ini 2000000 --ckp=8_--ckm=8"; do
    set -- $spec
    def=$1 rate=$2 extra=$(echo "$3" | tr '_' ' ' | sed 's/^-$//')
    run "$def" "$rate" "$extra" "connect (blank)" blank
    run "$def" "$rate" "$extra" "erase all" erase --all
    run "$def" "$rate" "$extra" "write 64K" program "$tmp/img.bin"
    run "$def" "$rate" "$extra" "read 64K" read "$tmp/out.bin" --start 0 --length 64K
    run "$def" "$rate" "$extra" "write+verify 64K" program "$tmp/img.bin" --verify
done

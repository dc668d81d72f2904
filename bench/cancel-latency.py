#!/usr/bin/env python3
"""Cancel latency per phase: how long `zflash` takes to exit after a SIGINT
that arrives in the middle of each phase, against zflash-sim on its own pty.

The signal is sent when the tool's --json output shows the phase has begun;
the figure is the time from the signal to the tool's exit (releasing the port
and stopping included), the best and the worst of RUNS runs. It leaves out the
time the OS takes to deliver the signal to the tool's watch thread.
Usage: bench/cancel-latency.py [build-dir] [runs]
"""
import json, os, signal, subprocess, sys, tempfile, time

BUILD = sys.argv[1] if len(sys.argv) > 1 else "build"
RUNS = int(sys.argv[2]) if len(sys.argv) > 2 else 5
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ZFLASH = os.path.join(BUILD, "apps/zflash/zflash")
SIM = os.path.join(BUILD, "sim/zflash-sim")
DEVICE = os.path.join(ROOT, "devices/ZT31F256.ini")

work = tempfile.mkdtemp()
os.environ["ZFLASH_SETTINGS"] = os.path.join(work, "settings.ini")
image = os.path.join(work, "data.bin")
with open(image, "wb") as f:
    f.write(bytes((i * 7) & 0xFF for i in range(0x10000)))

# phase: (sim settings, tool arguments, the event that says the phase is running)
PHASES = {
    "connect": ([], ["blank"], lambda e: e.get("text", "").startswith("Downloading main kernel")),
    "erase": (["FLASH Fill=0x00", "Erase Time=60000"], ["program", image],
              lambda e: e.get("text", "").startswith("Erasing")),
    "write": ([], ["program", image, "--base", "0x10000"],
              lambda e: e.get("event") == "progress" and e.get("text") == "Writing image to device"
              and e["position"] > e["low"]),
    "read": ([], ["read", os.path.join(work, "out.bin")],
             lambda e: e.get("event") == "progress" and e.get("text", "").startswith("Reading")
             and e["position"] > e["low"]),
    "verify": ([], ["verify", image, "--base", "0x10000"],
               lambda e: e.get("event") == "progress" and e.get("text", "").startswith("Reading")
               and e["position"] > e["low"]),
    "blank": ([], ["blank"], lambda e: e.get("text") == "Checking for blank device"),
}


def once(settings, args, started):
    sim_args = [SIM, "-d", DEVICE, "--throttle"]
    for s in settings:
        sim_args += ["--set", s]
    sim = subprocess.Popen(sim_args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    port = sim.stdout.readline().strip()
    tool = subprocess.Popen([ZFLASH, "--json", "-d", DEVICE, "-p", port] + args,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    seen = False
    for line in tool.stdout:
        if started(json.loads(line)):
            seen = True
            break
    sent = time.monotonic()
    tool.send_signal(signal.SIGINT)
    code = tool.wait()
    took = time.monotonic() - sent
    tool.stdout.close()
    sim.send_signal(signal.SIGINT)
    sim.wait()
    if seen and code != 130:
        print("  (exit %d)" % code, file=sys.stderr)
    return took if seen and code == 130 else None


print("%-8s %10s %10s  (%d runs, throttled line, seconds from SIGINT to exit)" % ("phase", "best", "worst", RUNS))
for name, (settings, args, started) in PHASES.items():
    times = [once(settings, args, started) for _ in range(RUNS)]
    done = [t for t in times if t is not None]
    if not done:
        print("%-8s %10s %10s" % (name, "-", "-"), "(the phase ended before the signal)")
        continue
    print("%-8s %10.3f %10.3f" % (name, min(done), max(done)),
          "" if len(done) == len(times) else "(%d of %d runs ended first)" % (len(times) - len(done), len(times)))

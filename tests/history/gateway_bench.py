"""The gateway with and without its history store, 64 analog units of 16
points all changing every poll, polled back to back: changes stored a second,
the gateway's CPU, and the store's bytes per change. Run by hand (make history-bench).

Usage: gateway_bench.py PLEXER SIMULATOR [SECONDS]
"""
import json
import os
import sqlite3
import subprocess
import sys
import tempfile
import time

PLEXER, SIMULATOR = sys.argv[1:3]
SECONDS = float(sys.argv[3]) if len(sys.argv) > 3 else 20
POINTS = ",".join(f"{unit:02X}AI*" for unit in range(64))


def cpu_seconds(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def run(line, store):
    extra = ["--history", store] if store else []
    gateway = subprocess.Popen([PLEXER, "gateway", line, "--points", POINTS, "--listen", "127.0.0.1:0",
                                "--interval", "0", "-t", "50", *extra],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    gateway.stdout.readline()
    time.sleep(2)  # past the start and the first polls
    cpu, start = cpu_seconds(gateway.pid), time.monotonic()
    rows = stored(store) if store else 0
    time.sleep(SECONDS)
    cpu, wall = cpu_seconds(gateway.pid) - cpu, time.monotonic() - start
    rows = (stored(store) - rows) if store else 0
    gateway.terminate()
    gateway.wait()
    load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    size = os.path.getsize(store) if store else 0
    total = stored(store) if store else 0
    what = "with the store" if store else "without a store"
    print(f"gateway {what:16}: CPU {100 * cpu / wall:5.1f} %, {rows / wall:7.0f} changes stored/s"
          + (f", {size / total:5.1f} bytes/change" if store else "") + f"  (load average {load})", flush=True)


def stored(store):
    with sqlite3.connect(f"file:{store}?mode=ro", uri=True, timeout=10) as db:
        return db.execute("SELECT count(*) FROM rows").fetchone()[0]


def main():
    with tempfile.TemporaryDirectory() as scratch:
        rack = os.path.join(scratch, "rack.json")
        with open(rack, "w") as file:
            json.dump({"units": [{"address": u, "kind": "analog", "cleared": True,
                                  "animate": {"shape": "ramp", "periodS": 1}} for u in range(64)]}, file)
        sim = subprocess.Popen([SIMULATOR, "--config", rack], stdout=subprocess.PIPE, text=True)
        line = sim.stdout.readline().strip()
        run(line, None)
        run(line, os.path.join(scratch, "history.db"))
        sim.terminate()
        sim.wait()


if __name__ == "__main__":
    main()

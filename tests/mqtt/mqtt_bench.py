#!/usr/bin/python3
"""make mqtt-bench: many gateways, each on its own simulated line, publishing
to one mosquitto; messages a second, latency from the poll to a subscriber,
and the CPU of the broker and the gateways."""
import argparse
import os
import statistics
import sys
import tempfile
import threading
import time

import paho.mqtt.client as paho

from mqtt_support import Broker, end_children, spawn, start_sim

TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS  # utime + stime


class Counter:
    """Messages by kind and, for each DDATA metric, arrival minus the poll's time."""

    def __init__(self, port, pb):
        self.pb, self.lock = pb, threading.Lock()
        self.kinds, self.latencies, self.births, self.measuring = {}, [], set(), False
        self.client = paho.Client(client_id=f"bench-{os.getpid()}")
        self.client.on_connect = lambda c, u, f, rc: c.subscribe("spBv1.0/#", 0)
        self.client.on_message = self.on_message
        self.client.connect("127.0.0.1", port)
        self.client.loop_start()

    def on_message(self, client, userdata, message):
        arrived = time.time() * 1000
        parts = message.topic.split("/")
        with self.lock:
            if parts[2] == "NBIRTH":
                self.births.add(parts[3])
            if not self.measuring:
                return
            self.kinds[parts[2]] = self.kinds.get(parts[2], 0) + 1
            if parts[2] == "DDATA":
                payload = self.pb.Payload()
                payload.ParseFromString(message.payload)
                self.latencies.extend(arrived - m.timestamp for m in payload.metrics if m.timestamp)


def percentile(values, share):
    return statistics.quantiles(values, n=100)[share - 1] if len(values) > 1 else float("nan")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--plexer", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--pb-dir", required=True)
    parser.add_argument("--lines", type=int, default=16)
    parser.add_argument("--seconds", type=float, default=20)
    parser.add_argument("--interval", type=int, default=100, help="poll interval, ms")
    parser.add_argument("--baud", type=int, default=38400, help="the simulated lines' rate; 0: unpaced")
    args = parser.parse_args()
    sys.path.insert(0, args.pb_dir)
    import sparkplug_b_pb2

    # Every input moves: 8 analog inputs on a sine, 8 digital inputs toggling.
    rack = [{"address": 5, "kind": "analog", "cleared": True, "animate": {"shape": "sine", "periodS": 4}},
            {"address": 1, "kind": "digital", "cleared": True, "animate": {"shape": "toggle", "periodS": 2}}]
    points = "05AI0,05AI1,05AI2,05AI3,05AI4,05AI5,05AI6,05AI7,01DI0,01DI1,01DI2,01DI3,01DI4,01DI5,01DI6,01DI7"
    print(f"mqtt-bench: {args.lines} gateways, each on its own simulated line at "
          f"{args.baud or 'unpaced'} baud, 16 moving points a line (8 analog on a 4 s sine, 8 digital toggling "
          f"every 2 s), poll interval {args.interval} ms, deadband 0, one mosquitto on loopback, "
          f"one paho subscriber to spBv1.0/#, measured for {args.seconds} s", flush=True)
    with tempfile.TemporaryDirectory() as folder:
        broker = Broker(folder, ["allow_anonymous true", "max_queued_messages 100000"])
        counter = Counter(broker.port, sparkplug_b_pb2)
        gateways = []
        for line in range(args.lines):
            _, link = start_sim(args.sim, folder, rack, f"line{line:02d}", baud=args.baud)
            gateways.append(spawn([args.plexer, "gateway", link, "--baud", str(args.baud or 38400), "--points", points, "--listen", "none",
                                   "--interval", str(args.interval), "--mqtt", f"mqtt://127.0.0.1:{broker.port}",
                                   "--mqtt-group", "bench", "--mqtt-node", f"line{line:02d}"],
                                  stdout=open(os.devnull, "w"), stderr=open(os.path.join(folder, "err"), "a")))
        deadline = time.time() + 60
        while len(counter.births) < args.lines and time.time() < deadline:
            time.sleep(0.1)
        time.sleep(2)
        cpu = {"broker": cpu_seconds(broker.proc.pid), "gateways": sum(cpu_seconds(g.pid) for g in gateways)}
        with counter.lock:
            counter.measuring = True
        start = time.time()
        time.sleep(args.seconds)
        with counter.lock:
            counter.measuring = False
        took = time.time() - start
        broker_cpu = (cpu_seconds(broker.proc.pid) - cpu["broker"]) / took * 100
        gateway_cpu = (sum(cpu_seconds(g.pid) for g in gateways) - cpu["gateways"]) / took * 100
        total = sum(counter.kinds.values())
        lat = sorted(counter.latencies)
        print(f"births seen: {len(counter.births)} of {args.lines} nodes")
        print(f"messages: {total} in {took:.1f} s = {total / took:.0f}/s "
              f"({', '.join(f'{k} {v}' for k, v in sorted(counter.kinds.items()))}); "
              f"metric values {len(lat) / took:.0f}/s")
        print(f"latency poll to subscriber: p50 {percentile(lat, 50):.1f} ms, p99 {percentile(lat, 99):.1f} ms, "
              f"max {max(lat, default=float('nan')):.1f} ms")
        print(f"CPU (share of one core): broker {broker_cpu:.1f} %, gateways {gateway_cpu:.1f} % "
              f"({gateway_cpu / args.lines:.2f} % each)")
        counter.client.loop_stop()


try:
    main()
finally:
    end_children()

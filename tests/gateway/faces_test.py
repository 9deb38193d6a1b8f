#!/usr/bin/python3
"""One table of scenarios, every face: a gateway over one simulated line
serving Modbus TCP, the page's JSON, /metrics and Sparkplug B at once, and
plexer watch on a twin line. Each row brings a state about and asks every
face what it makes of one point; all must tell the same verdict, each in its
own terms.

Usage: faces_test.py PLEXER SIMULATOR PB_DIR. Prints the matrix of rows and
faces; exits 1 if any cell failed.
"""
import json
import re
import os
import queue
import signal
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request
from collections import namedtuple

from prometheus_client.parser import text_string_to_metric_families
from pymodbus.client import ModbusTcpClient

PLEXER, SIM, PB_DIR = sys.argv[1:4]
sys.path.insert(0, PB_DIR)
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "mqtt"))
from mqtt_support import (Broker, Gateway, Subscriber, await_port, command, end_children, free_port,  # noqa: E402
                          spawn, start_sim, value_of)

GROUP, NODE = "plant", "faces"
INT16, INT32 = 2, 3
# Unit 5: positions 2 and 3 are outputs, so 05AI2 answers '?'; position 1 is
# past its range. Unit 0x0B: -300 degrees is below its probe's scale. Unit
# 0x30 is not on the line: it never answers and is set aside.
RACK = [
    {"address": 5, "kind": "analog", "outputs": "000C", "overRange": "0002", "inputs": [1000],
     "outputValues": [0, 0, 0, 3000], "cleared": True},
    {"address": 11, "kind": "temperature", "probes": "05", "temperatures": [25.0, -300], "cleared": True}]
# Unit 0x30 is polled first: while the line is silent at the start, its
# failed read and unit 5's keep 0BCK0 unread for seconds.
POINTS = ["30AI0", "05AI0", "05AI1", "05AI2", "05AO3", "0BCK0", "0BCK1"]
# A max age of 1 ms: unit 5's values are older than that whenever a face
# judges them, even at the end of a poll cycle, since unit 0x0B is read after
# it (0 might be read as "never stale").
SETTINGS = {"base": {"points": POINTS},
            "stale": {"points": POINTS, "units": {"05": {"maxAgeMs": 1}}},
            "read-only": {"points": POINTS, "readOnly": True}}


class Any:
    """A cell's part that any value fits, or any of the values given."""

    def __init__(self, *values):
        self.values = values

    def fits(self, seen):
        return not self.values or seen in self.values

    def __repr__(self):
        return "any" if not self.values else "one of " + "/".join(map(repr, self.values))


ANY = Any()


def fits(seen, want):
    if isinstance(want, Any):
        return want.fits(seen)
    if isinstance(want, tuple) and isinstance(seen, tuple):
        return len(seen) == len(want) and all(fits(s, w) for s, w in zip(seen, want))
    return seen == want


def get(url):
    with urllib.request.urlopen(url, timeout=5) as response:
        return response.read().decode()


def unit_of(gas):
    return int(gas[:2], 16)


# Each face: `want`, what it must say of a row's verdict (its reason, the
# counts served or shown beside it, the refusal of a write), in its own terms;
# `says`, what it says.
class Modbus:
    name = "Modbus"
    WRITE_REFUSALS = {"read-only": 0x01, "value out of range": 0x03}

    def __init__(self, port):
        self.client = ModbusTcpClient("127.0.0.1", port=port, timeout=5, retries=0)
        self.written = None

    def call(self, method, address, *args, unit):
        if not self.client.connected:
            self.client.connect()
        answer = getattr(self.client, method)(address, *args, slave=unit)
        if answer.isError():
            return "exception", getattr(answer, "exception_code", repr(answer))
        return "value", tuple(getattr(answer, "registers", ()))

    def write(self, gas, counts):
        self.written = self.call("write_register", int(gas[4], 16), counts, unit=unit_of(gas))

    def want(self, row):
        if row.reason == "good":
            answer = ("value", (row.counts,))
        else:
            answer = ("exception", 0x02 if row.reason == "not configured" else 0x0B)
        lost = row.reason == "line lost"
        health = ("value", (ANY if lost else int(row.reason == "unit demoted"), int(lost)))
        cell = (answer, health)
        return cell + (("exception", self.WRITE_REFUSALS[row.refusal]),) if row.refusal else cell

    def says(self, row):
        table = "read_holding_registers" if row.gas[2:4] == "AO" else "read_input_registers"
        # Registers 1008 and 1009 of the unit: set aside, and the line lost.
        cell = (self.call(table, int(row.gas[4], 16), 1, unit=unit_of(row.gas)),
                self.call("read_input_registers", 1008, 2, unit=unit_of(row.gas)))
        return cell + (self.written,) if row.refusal else cell


class Page:
    name = "page"

    def __init__(self, url):
        self.url = url

    def want(self, row):
        cell = (row.reason, row.reason == "good", row.counts)
        return cell + ("read" if row.refusal == "read-only" else "read/write",) if row.refusal else cell

    def says(self, row):
        point = next(p for p in json.loads(get(self.url + "api/points")) if p["gas"] == row.gas)
        cell = (point.get("quality"), point.get("good"), point.get("counts"))
        if not row.refusal:
            return cell
        # The map's holding register of the output: writable or not.
        access = [r["access"] for r in json.loads(get(self.url + "api/map"))
                  if r["gas"] == row.gas and r["reference"].startswith("4")]
        return cell + (access[0] if access else None,)


class Metrics:
    name = "/metrics"

    def __init__(self, url):
        self.url = url

    def want(self, row):
        lost = row.reason == "line lost"
        demoted = ANY if lost else int(row.reason == "unit demoted")
        return int(not lost), int(row.reason == "good"), demoted

    def says(self, row):
        families = {f.name: f for f in text_string_to_metric_families(get(self.url + "metrics"))}

        def sample(family, **labels):
            samples = families[family].samples if family in families else []
            found = [s.value for s in samples if labels.items() <= s.labels.items()]
            return int(found[0]) if found else f"no {family}{labels or ''}"
        return (sample("plexer_line_up"), sample("plexer_point_good", gas=row.gas),
                sample("plexer_unit_demoted", unit=str(unit_of(row.gas))))


class Sparkplug:
    """The devices and metrics as the last births, deaths and data left them."""
    name = "Sparkplug"

    def __init__(self, subscriber, gateway):
        self.subscriber, self.gateway = subscriber, gateway
        self.alive, self.metrics, self.names = {}, {}, {}
        self.node = {}  # the last NBIRTH's string metrics
        self.log_before = 0

    def take_messages(self):
        while True:
            try:
                kind, device, payload = self.subscriber.messages.get_nowait()
            except queue.Empty:
                return
            if kind in ("DBIRTH", "DDATA"):
                self.alive[device] = True
                for metric in payload.metrics:
                    if metric.name:
                        self.names[(device, metric.alias)] = metric.name
                    self.metrics[self.names.get((device, metric.alias), metric.name)] = metric
            elif kind == "NBIRTH":
                self.node = {m.name: m.string_value for m in payload.metrics if m.datatype == 12}
            elif kind == "DDEATH":
                self.alive[device] = False
            elif kind == "NDEATH":
                self.alive.clear()

    def write(self, gas, counts):
        self.log_before = len(self.gateway.log())
        self.subscriber.publish(f"spBv1.0/{GROUP}/DCMD/{NODE}/unit{gas[:2]}", command(gas, INT16, int_value=counts))
        # Its refusal noted, or, let through, time for it to reach the line and be read back.
        deadline = time.monotonic() + 3
        while f"DCMD unit{gas[:2]} " not in self.gateway.log()[self.log_before:] and time.monotonic() < deadline:
            time.sleep(0.05)

    def want(self, row):
        if row.reason in ("unit demoted", "line lost"):
            cell = ("DDEATH",)
        elif row.reason == "good":
            cell = ("born", False, row.counts, Any(None, 192), ANY)
        else:
            cell = ("born", True, None, 500 if row.reason == "stale" else 0, row.reason)
        return cell + (f"refused: {row.refusal}",) if row.refusal else cell

    def says(self, row):
        self.take_messages()
        device = "unit" + row.gas[:2]
        if not self.alive.get(device):
            cell = ("DDEATH",)
        elif row.gas not in self.metrics:
            cell = ("born without the metric",)
        else:
            metric = self.metrics[row.gas]
            properties = dict(zip(metric.properties.keys, metric.properties.values))
            quality = properties.get("Quality")
            reason = properties.get("reason")
            cell = ("born", metric.is_null, value_of(metric),
                    None if quality is None else quality.int_value if quality.type == INT32 else f"type {quality.type}",
                    None if reason is None else reason.string_value)
        if not row.refusal:
            return cell
        # "DCMD unit05 refused 1 of 1 metrics: 1 value out of range (first: 05AO3); nothing written"
        refusal = re.compile(rf"DCMD unit{row.gas[:2]} refused \d+ of \d+ metrics?: (?:.*?\d+ )?([a-z -]+) \(first: {row.gas}\)")
        notes = refusal.findall(self.gateway.log()[self.log_before:])
        return cell + ("refused: " + notes[0] if notes else None,)


class Watch:
    """plexer watch --json on its own line: the last record of every point."""
    name = "watch"

    def __init__(self, link):
        self.records = {}
        self.process = spawn([PLEXER, "--json", "watch", link] + POINTS + ["-l", "200", "-t", "100"],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        threading.Thread(target=self.read, daemon=True).start()

    def read(self):
        for line in self.process.stdout:
            record = json.loads(line)
            if "gas" in record:
                self.records[record["gas"]] = record

    def want(self, row):
        return row.reason, row.reason == "good", row.counts if row.reason == "good" else ANY

    def says(self, row):
        record = self.records.get(row.gas)
        if record is None:
            return "no record yet"
        # The verdict's name, under whichever of these keys the records carry it.
        reason = next((record[k] for k in ("quality", "reason", "status") if k in record), None)
        return reason, record.get("ok"), record.get("value")


Row = namedtuple("Row", "scenario action gas reason counts refusal faces limit")
GATEWAY_FACES = ("Modbus", "page", "/metrics", "Sparkplug")
EVERY_FACE = GATEWAY_FACES + ("watch",)


def row(scenario, action, gas, reason, counts=None, refusal=None, faces=EVERY_FACE, limit=10):
    """`counts`: served when good, else shown beside the reason (None: none shown); `refusal`: of a write."""
    return Row(scenario, action, gas, reason, counts, refusal, faces, limit)


class Rig:
    """The broker, the line and its twin, the gateway and the faces."""

    def __init__(self, folder):
        self.folder = folder
        self.broker = Broker(folder, ["allow_anonymous true"])
        self.sim, self.link = start_sim(SIM, folder, RACK, "line")
        self.twin, self.twin_link = start_sim(SIM, folder, RACK, "twin")
        self.config = os.path.join(folder, "gateway.json")
        self.configure("base")
        subscriber = Subscriber(self.broker.port)  # before the gateway, to see its first births
        os.kill(self.sim.pid, signal.SIGSTOP)  # silent while the gateway starts: nothing is read yet
        modbus, http = free_port(), free_port()
        self.gateway = Gateway(PLEXER, [self.link, "--config", self.config, "--listen", f"127.0.0.1:{modbus}",
                                        "--http", f"127.0.0.1:{http}", "-t", "100", "--interval", "200",
                                        "--demote-after", "1", "--demote-for", "1",
                                        "--mqtt", f"mqtt://127.0.0.1:{self.broker.port}",
                                        "--mqtt-group", GROUP, "--mqtt-node", NODE], folder)
        await_port(modbus, 30)
        await_port(http, 30)
        self.reloads = 0
        self.page = f"http://127.0.0.1:{http}/"
        self.faces = {face.name: face for face in (Modbus(modbus), Page(f"http://127.0.0.1:{http}/"),
                                                   Metrics(f"http://127.0.0.1:{http}/"), Sparkplug(subscriber, self.gateway),
                                                   Watch(self.twin_link))}

    def configure(self, name):
        with open(self.config, "w") as f:
            json.dump(SETTINGS[name], f)

    def reload(self, name):
        self.configure(name)
        self.gateway.proc.send_signal(signal.SIGHUP)
        self.reloads += 1
        self.gateway.await_log("SIGHUP: configuration reloaded", times=self.reloads)

    def write(self, gas, counts):
        self.faces["Modbus"].write(gas, counts)
        self.faces["Sparkplug"].write(gas, counts)

    def lose_lines(self):
        for sim, link in ((self.sim, self.link), (self.twin, self.twin_link)):
            sim.kill()
            sim.wait()
            # Killed, it leaves its link behind: gone, as an unplugged adapter's device node is.
            os.unlink(link)

    def restore_lines(self):
        self.sim, _ = start_sim(SIM, self.folder, RACK, "line")
        self.twin, _ = start_sim(SIM, self.folder, RACK, "twin")


def table(rig):
    return [
        row("not read yet", None, "0BCK0", "not read yet", faces=GATEWAY_FACES, limit=3),
        row("healthy", lambda: os.kill(rig.sim.pid, signal.SIGCONT), "05AI0", "good", 1000, limit=20),
        row("healthy temperature", None, "0BCK0", "good", 25),
        row("'?' position", None, "05AI2", "not configured"),
        row("out of range", None, "05AI1", "out of range", ANY),
        row("beyond scale", None, "0BCK1", "beyond scale", ANY),
        row("unit demoted", None, "30AI0", "unit demoted"),
        row("stale", lambda: rig.reload("stale"), "05AI0", "stale", 1000, faces=GATEWAY_FACES),
        row("reload of max age", lambda: rig.reload("base"), "05AI0", "good", 1000, faces=GATEWAY_FACES),
        row("write refused", lambda: rig.write("05AO3", 5000), "05AO3", "good", 3000, "value out of range",
            faces=GATEWAY_FACES),
        row("reload to read-only", lambda: (rig.reload("read-only"), rig.write("05AO3", 1234)), "05AO3", "good",
            3000, "read-only", faces=GATEWAY_FACES),
        row("line lost", rig.lose_lines, "05AI0", "line lost", 1000, limit=20),
        row("line back", rig.restore_lines, "05AI0", "good", 1000, limit=30),
    ]


def about(rig):
    """Whether the page, /metrics and the node's birth name the version plexer
    states and the line served; the failures, each in a line."""
    version = subprocess.run([PLEXER, "--version"], capture_output=True, text=True, check=True).stdout.split()[1]
    rig.faces["Sparkplug"].take_messages()
    node = rig.faces["Sparkplug"].node
    families = {f.name: f for f in text_string_to_metric_families(get(rig.page + "metrics"))}
    info = families["plexer_build_info"].samples[0].labels if "plexer_build_info" in families else {}
    said = {"page": f"<h1>plexer gateway on <span id=\"about\">{rig.link} (version {version})</span>" in get(rig.page),
            "/metrics": info == {"version": version, "line": rig.link},
            "Sparkplug": (node.get("Properties/Version"), node.get("Properties/Line")) == (version, rig.link)}
    return [f"about / {face}: does not name version {version} and line {rig.link}"
            for face, right in said.items() if not right]


def settle(rig, scenario):
    """Each face's cell: none until it says what it must, or its last word at the limit."""
    if scenario.action:
        scenario.action()
    faces = [rig.faces[name] for name in scenario.faces]
    wants = {face.name: face.want(scenario) for face in faces}
    seen, failed = {}, {}
    deadline = time.monotonic() + scenario.limit
    while True:
        for face in faces:
            if face.name in seen and face.name not in failed:
                continue
            try:
                said = face.says(scenario)
            except Exception as e:  # a face that cannot answer says so in its cell
                said = f"{type(e).__name__}: {e}"
            seen[face.name] = said
            if fits(said, wants[face.name]):
                failed.pop(face.name, None)
            else:
                failed[face.name] = said
        if not failed or time.monotonic() > deadline:
            return {name: (seen[name], wants[name]) for name in failed}
        time.sleep(0.2)


def main():
    failures = []
    with tempfile.TemporaryDirectory() as folder:
        try:
            rig = Rig(folder)
        except BaseException:
            with open(os.path.join(folder, "gateway.err")) as log:
                sys.stderr.write("the gateway's standard error:\n" + log.read())
            raise
        for scenario in table(rig):
            began = time.monotonic()
            failed = settle(rig, scenario)
            cells = "  ".join(f"{name}: {'FAILED' if name in failed else 'ok'}" for name in scenario.faces)
            print(f"{scenario.scenario:20} {scenario.gas} {time.monotonic() - began:4.1f} s  {cells}", flush=True)
            for name, (said, want) in failed.items():
                failures.append(f"{scenario.scenario} / {name}: says {said!r}, must say {want!r}")
                print(f"    {name} says {said!r}, must say {want!r}", flush=True)
        told = about(rig)
        print("\n".join(told) or "every face names the version and the line", flush=True)
        failures += told
        if failures:
            sys.stderr.write("the gateway's standard error, its end:\n" + rig.gateway.log()[-8000:])
        rig.gateway.proc.terminate()
        rig.gateway.proc.wait(30)
    print(f"{len(failures)} cells failed" if failures else "every face agrees in every row")
    return 1 if failures else 0


# A test runner's time-out ends the scenario through its clean-up.
signal.signal(signal.SIGTERM, lambda *_: sys.exit("terminated"))
try:
    code = main()
finally:
    end_children()
sys.exit(code)

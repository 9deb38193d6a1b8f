"""plexer gateway as an integrator meets it, against the simulator: the map
it hands over, the answers pymodbus gets, the JSON endpoints and /metrics
over HTTP, the status page in headless Chromium, and a killed simulator seen
as a lost line with and without the page and the wire trace.

Usage: page_test.py PLEXER SIMULATOR OUTDIR. Exits 1 naming every check that
failed; leaves the page's screenshots in OUTDIR.
"""
import csv
import io
import json
import os
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

from prometheus_client.parser import text_string_to_metric_families
from pymodbus.client import ModbusTcpClient
from selenium import webdriver
from selenium.webdriver.chrome.service import Service

PLEXER, SIMULATOR, OUTDIR = sys.argv[1:4]

# Positions 2, 3 and 6 of unit 5 are outputs: 05AI6 answers '?'. 0BCK1 is
# below scale. Unit 0x30 does not exist.
RACK = {"units": [
    {"address": 5, "kind": "analog", "outputs": "004C", "cleared": True,
     "inputs": [1000, 409, 0, 0, 2048, 1285, 0, 100], "outputValues": [0, 0, 1024, 3000]},
    {"address": "0x0B", "kind": "temperature", "probes": ["05", "05"], "temperatures": [25.0, -300],
     "cleared": True},
]}
GATEWAY = {
    "points": ["05AI0", "05AI1", "05AI4", "05AI6", "05AO2", "05AO3", "0BCK0", "0BCK1", "30AI0"],
    "engineering": {"points": {
        "05AI0": {"name": "Tank level", "euLow": 0, "euHigh": 10, "unit": "bar", "serve": "scaled",
                  "multiplier": 100},
        "05AI1": {"name": "Flow", "euLow": 0, "euHigh": 50, "unit": "m3/h", "serve": "float"},
        "05AO2": {"name": "Valve", "euLow": 0, "euHigh": 100, "unit": "%", "serve": "float"},
        "0BCK0": {"name": "Oven"},
    }},
}

failures = []


def check(what, ok, detail=""):
    if not ok:
        failures.append(f"{what}: {detail}")
        print(f"FAILED {what}: {detail}", flush=True)


def eventually(done, limit):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        if done():
            return True
        time.sleep(0.1)
    return done()


def registers_of(answer):
    return None if answer.isError() else answer.registers


def write_json(directory, name, value):
    path = os.path.join(directory, name)
    with open(path, "w") as file:
        json.dump(value, file)
    return path


def start_simulator(config):
    sim = subprocess.Popen([SIMULATOR, "--config", config], stdout=subprocess.PIPE, text=True)
    return sim, sim.stdout.readline().strip()


def start_gateway(port, config, flags=("--http", "127.0.0.1:0"), stderr=subprocess.DEVNULL):
    gateway = subprocess.Popen([PLEXER, "gateway", port, "--config", config, "--listen", "127.0.0.1:0",
                                "--interval", "200", "-t", "50", *flags],
                               stdout=subprocess.PIPE, stderr=stderr, text=True)
    page = modbus = None
    while modbus is None:
        line = gateway.stdout.readline()
        if not line:
            raise RuntimeError("the gateway ended before it listened")
        if line.startswith("status page on "):
            page = line.split()[-1]
        if line.startswith("listening on "):
            modbus = int(line.rsplit(":", 1)[1])
    return gateway, page, modbus


def get(url):
    with urllib.request.urlopen(url, timeout=5) as response:
        return response.headers.get("Content-Type", ""), response.read().decode()


def exception_of(response):
    return getattr(response, "exception_code", None) if response.isError() else None


def check_map(config):
    run = subprocess.run([PLEXER, "gateway", "--config", config, "--print-map", "--format", "csv", "--read-only"],
                         capture_output=True, text=True, timeout=30)
    rows = list(csv.DictReader(io.StringIO(run.stdout)))
    check("map: csv printed", run.returncode == 0 and rows, run.stderr)
    check("map: read-only shows nothing writable", all(r["access"] == "read" for r in rows),
          [r for r in rows if r["access"] != "read"][:1])
    flow = [(r["address"], r["reference"], r["type"]) for r in rows if r["gas"] == "05AI1"]
    check("map: a float beside its raw register", flow == [("1", "30002", "uint16"), ("2002", "32003", "float32"),
                                                           ("2003", "32004", "float32")], flow)
    run = subprocess.run([PLEXER, "gateway", "--config", config, "--print-map", "--format", "markdown"],
                         capture_output=True, text=True, timeout=30)
    check("map: markdown", "| 5 | holding registers | 3 | 40004 | 05AO3 | uint16 |" in run.stdout, run.stdout[:300])


def check_modbus(port):
    client = ModbusTcpClient("127.0.0.1", port=port, timeout=5, retries=0)
    client.connect()
    # Serving starts before the first poll: until it, values answer 0x0B.
    check("modbus: unit 5 polled", eventually(lambda: not client.read_input_registers(0, 1, slave=5).isError(), 10))
    scaled = client.read_input_registers(0, 1, slave=5)
    check("modbus: scaled 1000 counts of 0-10 bar x100", not scaled.isError() and scaled.registers == [244], scaled)
    flow = client.read_input_registers(2002, 2, slave=5)
    value = struct.unpack(">f", struct.pack(">HH", *flow.registers))[0] if not flow.isError() else None
    check("modbus: float of 409 counts of 0-50 m3/h", value is not None and abs(value - 409 * 50 / 4095) < 1e-4,
          value)
    cases = [
        ("unit not served", lambda: client.read_input_registers(0, 1, slave=0x31), 0x0A),
        ("function not served", lambda: client.read_exception_status(slave=5), 0x01),
        ("counts beyond 4095", lambda: client.write_register(3, 5000, slave=5), 0x03),
        ("150 % on a 0-100 % float", lambda: client.write_registers(2004, [0x4316, 0], slave=5), 0x03),
        ("float write of 50 %", lambda: client.write_registers(2004, [0x4248, 0], slave=5), None),
    ]
    for what, call, expected in cases:
        answer = call()
        check("modbus: " + what, exception_of(answer) == expected, answer)
    check("modbus: 50 % lands as 2048 counts",
          eventually(lambda: registers_of(client.read_holding_registers(2, 1, slave=5)) == [2048], 5))
    client.close()
    with socket.create_connection(("127.0.0.1", port), timeout=5) as raw:
        raw.sendall(bytes([0, 1, 0, 0, 0, 2, 5, 0x90]))
        check("modbus: function 0x90 gets an exception frame", raw.recv(64) == bytes([0, 1, 0, 0, 0, 3, 5, 0x90, 1]))


def check_http(page):
    kind, body = get(page + "api/points")
    points = {p["gas"]: p for p in json.loads(body)}
    check("http: points are JSON", kind.startswith("application/json"), kind)
    check("http: EU of 1000 counts of 0-10 bar", abs(points["05AI0"]["eu"] - 1000 * 10 / 4095) < 1e-9,
          points["05AI0"])
    units = {u["unit"]: u for u in json.loads(get(page + "api/units")[1])}
    check("http: units", units[5]["state"] == "ok" and units[0x30]["state"] in ("failed", "demoted"), units)
    rows = json.loads(get(page + "api/map")[1])
    check("http: the map notes the '?' position",
          any(r["gas"] == "05AI6" and r["access"] == "none" and "'?'" in r["note"] for r in rows))
    families = {f.name: f for f in text_string_to_metric_families(get(page + "metrics")[1])}
    transactions = {s.labels["unit"]: s.value for s in families["plexer_unit_transactions"].samples}
    check("metrics: transactions per unit", transactions.get("5", 0) > 0, transactions)
    check("metrics: the line is up", families["plexer_line_up"].samples[0].value == 1)
    requests = {(s.labels["function"], s.labels["exception"]): s.value
                for s in families["plexer_modbus_requests"].samples}
    check("metrics: requests by function and exception",
          requests.get(("0x04", "0x0A")) == 1 and requests.get(("0x07", "0x01")) == 1, requests)


# Read in one script call: the page rebuilds its tables every half second, so
# an element found in one call may be gone by the next.
def shown(browser, selector):
    return browser.execute_script("const e = document.querySelector(arguments[0]); return e ? e.textContent : null",
                                  selector)


def cell(browser, gas, column):
    return shown(browser, f'#points tr[data-gas="{gas}"] td.{column}')


def unit_state(browser, unit):
    return shown(browser, f'#units tr[data-unit="{unit}"] td.state')


def check_page(page, modbus, sim, profile):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 f"--user-data-dir={profile}", "--window-size=1100,1200"):
        options.add_argument(flag)
    browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    try:
        browser.get(page)
        check("page: loads", browser.title == "plexer gateway", browser.title)
        check("page: the line is up", eventually(lambda: (shown(browser, "#line") or "").startswith("line up"), 5),
              shown(browser, "#line"))
        check("page: shows the simulator's values", eventually(lambda: cell(browser, "05AI4", "counts") == "2048", 5))
        check("page: shows EU", eventually(lambda: cell(browser, "05AI0", "eu") == "2.442 bar", 5),
              cell(browser, "05AI0", "eu"))
        colour = browser.execute_script("return getComputedStyle(document.querySelector("
                                        "'#points tr[data-gas=\"05AI6\"] td.quality')).color")
        check("page: a '?' position in the colour of a value not served", colour == "rgb(166, 94, 0)", colour)
        client = ModbusTcpClient("127.0.0.1", port=modbus, timeout=5, retries=0)
        client.connect()
        check("page: the write is done", not client.write_register(3, 3500, slave=5).isError())
        client.close()
        written = time.monotonic()
        seen = eventually(lambda: cell(browser, "05AO3", "counts") == "3500", 2)
        check("page: a changed value within 2 s", seen, f"{time.monotonic() - written:.2f} s")
        time.sleep(1)  # a few samples on the trend
        browser.refresh()
        # Samples older than the page itself can only have come from the store.
        stored = ("return Object.values(past).flat().filter(s => s[0] < performance.timeOrigin).length + ' ' + "
                  "(past['05AI0'] || []).length + ' ' + document.getElementById('trendNote').textContent")
        check("page: the trend shows stored points right after a reload",
              eventually(lambda: "0" not in browser.execute_script(stored).split()[:2], 5),
              browser.execute_script(stored))
        browser.save_screenshot(os.path.join(OUTDIR, "gateway-page.png"))
        sim.send_signal(signal.SIGSTOP)
        check("page: a silenced unit is failed",
              eventually(lambda: unit_state(browser, 5) in ("failed", "demoted"), 15), unit_state(browser, 5))
        check("page: a '?' position has no last value beside any reason",
              eventually(lambda: cell(browser, "05AI6", "quality") != "not configured", 5) and
              cell(browser, "05AI6", "counts") == "", cell(browser, "05AI6", "counts"))
        browser.save_screenshot(os.path.join(OUTDIR, "gateway-page-silenced.png"))
        sim.send_signal(signal.SIGCONT)
    finally:
        browser.quit()


def check_read(port):
    run = subprocess.run([PLEXER, "--json", "read", port, "05AI6"], capture_output=True, text=True, timeout=30)
    record = json.loads(run.stdout.splitlines()[0])
    check("read: '?' is not a value", run.returncode == 1 and record["ok"] is False and
          record["reason"] == "position 6 of unit 5 is not an input (the unit answered '?')", run.stdout)


def relayed(process):
    fds = f"/proc/{process.pid}/fd"
    return any(os.path.realpath(os.path.join(fds, fd)) == "/dev/ptmx" for fd in os.listdir(fds))


# A killed simulator is a lost line whether the driver talks to the device or
# to the wire trace's relay, which the page alone must not add.
def check_line_loss(rack, config, scratch):
    trace, http = os.path.join(scratch, "trace.txt"), ("--http", "127.0.0.1:0")
    for flags in ((), http, (f"--trace={trace}",), (*http, f"--trace={trace}")):
        name = " ".join(f.split("=")[0] for f in flags if f.startswith("--")) or "neither"
        traced = "--trace" in name
        sim, port = start_simulator(rack)
        gateway, page, modbus = start_gateway(port, config, flags, stderr=subprocess.PIPE)
        notes = []
        threading.Thread(target=lambda: notes.extend(gateway.stderr), daemon=True).start()
        try:
            client = ModbusTcpClient("127.0.0.1", port=modbus, timeout=5, retries=0)
            check(f"{name}: polled", client.connect() and
                  eventually(lambda: not client.read_input_registers(0, 1, slave=5).isError(), 10))
            client.close()
            check(f"{name}: a relay only with --trace", relayed(gateway) == traced)
            if page:
                wire = json.loads(get(page + "api/wire")[1])
                check(f"{name}: frames on the page only with --trace", any("checksum ok" in w for w in wire) == traced)
            if traced:
                with open(trace) as file:
                    check(f"{name}: the frames in the trace's file too", "checksum ok" in file.read())
            sim.kill()
            killed = time.monotonic()
            lost = (lambda: not json.loads(get(page + "api/line")[1])["up"]) if page else \
                (lambda: any("line lost: " in line for line in notes))
            check(f"{name}: line lost within 5 s", eventually(lost, 5), f"{time.monotonic() - killed:.1f} s")
        finally:
            gateway.send_signal(signal.SIGTERM)
            gateway.wait(30)
            sim.kill()
            sim.wait(10)


def main():
    with tempfile.TemporaryDirectory() as scratch:
        rack = write_json(scratch, "rack.json", RACK)
        config = write_json(scratch, "gateway.json", GATEWAY)
        check_map(config)
        sim, port = start_simulator(rack)
        try:
            check_read(port)
            gateway, page, modbus = start_gateway(port, config, flags=(
                "--http", "127.0.0.1:0", "--history", os.path.join(scratch, "page.history")))
            try:
                check_modbus(modbus)
                check_http(page)
                check_page(page, modbus, sim, os.path.join(scratch, "chromium"))
            finally:
                gateway.send_signal(signal.SIGTERM)
                gateway.wait(30)
        finally:
            sim.send_signal(signal.SIGCONT)
            sim.terminate()
            sim.wait(10)
        check_line_loss(rack, config, scratch)
    print(f"{len(failures)} failed" if failures else "all passed")
    sys.exit(1 if failures else 0)


main()

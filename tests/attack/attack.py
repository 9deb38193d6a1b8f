"""The gateway's faces under attack on loopback: each attack runs for a
bounded time while a Modbus reader at a steady rate times every answer,
/metrics is fetched once a second on a fresh connection, and the gateway's
RSS and open descriptors are read from /proc. Every attack prints what it
holds (HOLDS) or breaks (BROKEN) with its figures.

Usage: attack.py PLEXER SIMULATOR [--short] [--only NAME,...] [--pb-dir DIR]
Attacks (for --only): refusals, slowloris, idle, flood, keepalive, post,
siege, dcmd, fifo; without --short each runs at full size.
With --pb-dir (the generated sparkplug_b_pb2) and mosquitto, the gateway also
serves Sparkplug and an oversized DCMD is among the attacks.
The gateway runs under prlimit --nofile=1024, the systemd default. --short
uses smaller counts and bounds a busy machine cannot break; the full run
holds the gateway to: Modbus p99 within twice the quiet figure (5 ms at
least), /metrics within 1 s, RSS under 64 MB. Exits 1 if anything broke.
"""
import http.client
import json
import os
import resource
import select
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "mqtt"))
from mqtt_support import Broker, end_children, spawn, start_sim  # noqa: E402

if "--help" in sys.argv or len(sys.argv) < 3:
    print(__doc__.strip())
    sys.exit(0 if "--help" in sys.argv else 2)
PLEXER, SIMULATOR = sys.argv[1:3]
SHORT = "--short" in sys.argv
ONLY = sys.argv[sys.argv.index("--only") + 1].split(",") if "--only" in sys.argv else None
PB_DIR = sys.argv[sys.argv.index("--pb-dir") + 1] if "--pb-dir" in sys.argv else None
SPARKPLUG = PB_DIR is not None and os.path.exists("/usr/sbin/mosquitto")
if SPARKPLUG:
    sys.path.insert(0, PB_DIR)
    import sparkplug_b_pb2
MB = 1 << 20
# Full size: what the page must withstand; short: counts and bounds for a busy machine.
SIZE = dict(slowloris=50, idle=300, hold_s=6, rss_mb=64) if SHORT else dict(slowloris=200, idle=2000, hold_s=30,
                                                                              rss_mb=64)
UNIT = 5
RACK = [{"address": UNIT, "kind": "analog", "outputs": "000C", "cleared": True, "inputs": [1000, 409, 0, 0]}]
GATEWAY = {"points": ["05AI0", "05AI1", "05AO2", "05AO3"]}
broken = []


def say(holds, what, figures):
    print(("HOLDS  " if holds else "BROKEN ") + what + ": " + figures, flush=True)
    if not holds:
        broken.append(what)


def p99(values):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(len(ordered) * 0.99))] if ordered else float("inf")


class Gateway:
    def __init__(self, folder):
        _, link = start_sim(SIMULATOR, folder, RACK)
        self.config = os.path.join(folder, "gateway.json")
        with open(self.config, "w") as f:
            json.dump(GATEWAY, f)
        self.broker = Broker(folder, ["allow_anonymous true"]) if SPARKPLUG else None
        mqtt = ["--mqtt", f"mqtt://127.0.0.1:{self.broker.port}", "--mqtt-group", "plant", "--mqtt-node",
                "line1"] if self.broker else []
        self.log = os.path.join(folder, "gateway.log")
        self.proc = spawn(["prlimit", "--nofile=1024:1024", PLEXER, "gateway", link, "--config", self.config,
                           "--listen", "127.0.0.1:0", "--http", "127.0.0.1:0", "--interval", "200", "-t", "50",
                           *mqtt], stdout=subprocess.PIPE, stderr=open(self.log, "w"), text=True)
        self.page = self.modbus = None
        while self.modbus is None:
            line = self.proc.stdout.readline()
            if not line:
                raise RuntimeError("the gateway ended before it listened")
            if line.startswith("status page on "):
                self.page = int(line.strip().rstrip("/").rsplit(":", 1)[1])
            if line.startswith("listening on "):
                self.modbus = int(line.rsplit(":", 1)[1])

    def proc_figure(self, key):
        with open(f"/proc/{self.proc.pid}/status") as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1]) / 1024
        return 0.0

    def fds(self):
        return len(os.listdir(f"/proc/{self.proc.pid}/fd"))


# 50 reads a second of one input register; each timed and told as "ok SECONDS",
# "unanswered" or "dropped" (unanswered on a connection that had answered).
MODBUS_READER = """
import socket, struct, sys, time
port, unit, sock, tid = int(sys.argv[1]), int(sys.argv[2]), None, 0
while True:
    begun = time.monotonic()
    try:
        if sock is None:
            sock = socket.create_connection(("127.0.0.1", port), timeout=5)
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        tid = (tid + 1) & 0xFFFF
        sock.sendall(struct.pack(">HHHBBHH", tid, 0, 6, unit, 4, 0, 1))
        answer = sock.recv(260)
        if len(answer) < 8 or struct.unpack(">H", answer[:2])[0] != tid:
            raise OSError("no answer")
        print("ok", time.monotonic() - begun, flush=True)
    except OSError:
        print("dropped" if sock is not None else "unanswered", flush=True)
        if sock is not None:
            sock.close()
        sock = None
    time.sleep(max(0.0, 0.02 - (time.monotonic() - begun)))
"""


class Probe(threading.Thread):
    """A Modbus reader 50 times a second (in a process of its own), /metrics
    once a second, RSS and descriptors five times a second; figures are taken per window."""

    def __init__(self, gateway):
        super().__init__(daemon=True)
        self.gateway, self.stop, self.lock = gateway, threading.Event(), threading.Lock()
        self.window()
        threading.Thread(target=self.scrape, daemon=True).start()
        threading.Thread(target=self.watch_proc, daemon=True).start()
        self.start()

    def window(self):
        with self.lock:
            figures = getattr(self, "figures", None)
            self.figures = dict(latencies=[], unanswered=0, reconnects=0, scrapes=[], rss_peak=0.0, fds_peak=0)
        return figures

    def run(self):
        """The reader runs in a process of its own, so that the attacks' threads
        in this interpreter cannot delay its timings; it reports each read as a line."""
        reader = spawn(["/usr/bin/python3", "-c", MODBUS_READER, str(self.gateway.modbus), str(UNIT)],
                       stdout=subprocess.PIPE, text=True)
        for line in reader.stdout:
            kind, _, figure = line.partition(" ")
            with self.lock:
                if kind == "ok":
                    self.figures["latencies"].append(float(figure))
                else:
                    self.figures["unanswered"] += 1
                    self.figures["reconnects"] += kind == "dropped"
            if self.stop.is_set():
                break

    def scrape(self):
        while not self.stop.is_set():
            begun = time.monotonic()
            took = fetch(self.gateway.page, "/metrics", 10)
            with self.lock:
                self.figures["scrapes"].append(took)
            self.stop.wait(max(0.0, 1.0 - (time.monotonic() - begun)))

    def watch_proc(self):
        while not self.stop.is_set():
            rss, fds = self.gateway.proc_figure("VmRSS"), self.gateway.fds()
            with self.lock:
                self.figures["rss_peak"] = max(self.figures["rss_peak"], rss)
                self.figures["fds_peak"] = max(self.figures["fds_peak"], fds)
            self.stop.wait(0.2)


def fetch(port, path, timeout):
    """Seconds for one GET on a fresh connection; inf when it failed."""
    begun = time.monotonic()
    try:
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
        connection.request("GET", path)
        response = connection.getresponse()
        response.read()
        connection.close()
        return time.monotonic() - begun if response.status == 200 else float("inf")
    except (OSError, http.client.HTTPException):
        return float("inf")


def connect_many(port, count, first=b""):
    """Connections begun at once and given 5 s in all to be taken; those the
    backlog never took are left out."""
    pending = []
    for _ in range(count):
        s = socket.socket()
        s.setblocking(False)
        s.connect_ex(("127.0.0.1", port))
        pending.append(s)
    deadline, sockets = time.monotonic() + 5, []
    while pending and time.monotonic() < deadline:
        for s in ready(pending, select.POLLOUT, 0.2):
            pending.remove(s)
            if s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) == 0:
                if first:
                    s.send(first)
                sockets.append(s)
            else:
                s.close()
    for s in pending:
        s.close()
    return sockets


def ready(sockets, events, timeout):
    """The sockets with one of the events; poll(), as select() stops at descriptor 1024."""
    poller, by_fd = select.poll(), {s.fileno(): s for s in sockets}
    for fd in by_fd:
        poller.register(fd, events)
    return [by_fd[fd] for fd, _ in poller.poll(timeout * 1000)]


def closed_by_server(sockets):
    """How many of the sockets the server has closed (EOF or reset)."""
    count, readable = 0, set(ready(sockets, select.POLLIN, 0))
    for s in sockets:
        try:
            if s in readable and s.recv(65536, socket.MSG_PEEK) == b"":
                count += 1
        except OSError:
            count += 1
    return count


class Slowloris(threading.Thread):
    """A header line, then one byte a second, never the end of the headers."""

    def __init__(self, port, count):
        super().__init__(daemon=True)
        self.sockets = connect_many(port, count, b"GET / HTTP/1.1\r\nHost: attack\r\n")
        self.stop = threading.Event()
        self.start()

    def run(self):
        while not self.stop.wait(1.0):
            for s in self.sockets:
                try:
                    s.send(b"X")
                except OSError:
                    pass


class KeepAlive(threading.Thread):
    """One kept-open connection asking for `path` every `period` seconds (the
    points twice a second by default; /metrics once a second as Prometheus
    keeps it); a failed request counts as missed."""

    def __init__(self, port, path="/api/points", period=0.5):
        super().__init__(daemon=True)
        self.port, self.path, self.period = port, path, period
        self.stop, self.answered, self.missed, self.slowest = threading.Event(), 0, 0, 0.0
        self.start()

    def run(self):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        while not self.stop.is_set():
            begun = time.monotonic()
            try:
                connection.request("GET", self.path)
                connection.getresponse().read()
                self.answered += 1
                self.slowest = max(self.slowest, time.monotonic() - begun)
            except (OSError, http.client.HTTPException):
                self.missed += 1
                connection.close()
                connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
            self.stop.wait(max(0.0, self.period - (time.monotonic() - begun)))
        connection.close()


def judge_window(name, figures, quiet_p99, modbus_port, latency_bound=None):
    """Tight bounds in the full run; bounds of seconds in the short one."""
    latency, scrapes = p99(figures["latencies"]), figures["scrapes"]
    fresh, _ = modbus_call(modbus_port, struct.pack(">HHHBBHH", 1, 0, 6, UNIT, 4, 0, 1))
    say(fresh < 5, name + ": a new Modbus client gets in", f"answered in {fresh * 1000:.1f} ms")
    slowest = max(scrapes) if scrapes else float("inf")
    latency_bound = latency_bound or (1.0 if SHORT else max(2 * quiet_p99, 0.005))
    scrape_bound = 3.0 if SHORT else 1.0
    say(latency <= latency_bound and figures["unanswered"] == 0, name + ": Modbus answers every read in time",
        f"p99 {latency * 1000:.2f} ms (quiet {quiet_p99 * 1000:.2f} ms, bound {latency_bound * 1000:.0f} ms), "
        f"{len(figures['latencies'])} answered, {figures['unanswered']} unanswered, {figures['reconnects']} dropped")
    late = sum(1 for s in scrapes if s > scrape_bound)
    say(late == 0 and scrapes, name + ": /metrics answers on a fresh connection",
        f"slowest {slowest:.3f} s of {len(scrapes)} scrapes, {late} over {scrape_bound:.0f} s or failed")
    say(figures["rss_peak"] < SIZE["rss_mb"], name + ": RSS stays bounded",
        f"peak {figures['rss_peak']:.1f} MB (bound {SIZE['rss_mb']} MB)")


def attack_slowloris(gateway, probe, quiet):
    load = Slowloris(gateway.page, SIZE["slowloris"])
    time.sleep(SIZE["hold_s"])
    closed = closed_by_server(load.sockets)
    load.stop.set()
    say(closed == len(load.sockets), f"slowloris x{SIZE['slowloris']}: the server closes every trickling request",
        f"{closed} of {len(load.sockets)} closed by the server within {SIZE['hold_s']} s")
    judge_window(f"slowloris x{SIZE['slowloris']}", probe.window(), quiet, gateway.modbus)
    for s in load.sockets:
        s.close()


def attack_idle(gateway, probe, quiet):
    sockets = connect_many(gateway.page, SIZE["idle"])
    time.sleep(SIZE["hold_s"] / 2)
    figures = probe.window()
    # Modbus's 64 clients and the gateway's own descriptors must still fit.
    say(figures["fds_peak"] < 1024 - 64 - 16, f"idle x{SIZE['idle']}: the page leaves the descriptors Modbus needs",
        f"{len(sockets)} connected, the gateway held {figures['fds_peak']} descriptors of 1024 at most")
    judge_window(f"idle x{SIZE['idle']}", figures, quiet, gateway.modbus)
    for s in sockets:
        s.close()


def attack_flood(gateway, probe, quiet):
    """Bursts of idle connections, far beyond the page's cap, while a kept-open
    scraper comes back every second: the flood takes its places from itself."""
    scraper = KeepAlive(gateway.page, "/metrics", 1.0)
    deadline, sockets, amid = time.monotonic() + SIZE["hold_s"], [], []
    while time.monotonic() < deadline:
        # A fresh /metrics begun a few ms into each burst, as a scrape that happens to meet one.
        caught = threading.Thread(target=lambda: time.sleep(0.005) or amid.append(fetch(gateway.page, "/metrics", 10)))
        caught.start()
        fresh = connect_many(gateway.page, SIZE["idle"] // 4)
        caught.join()
        for s in sockets:
            s.close()
        sockets = fresh
        time.sleep(0.5)
    scraper.stop.set()
    scraper.join()
    for s in sockets:
        s.close()
    name = f"bursts of idle x{SIZE['idle'] // 4}"
    say(scraper.answered > 0 and scraper.missed == 0, name + ": a kept-open scraper misses nothing",
        f"{scraper.missed} of {scraper.answered + scraper.missed} scrapes missed")
    bound = 3.0 if SHORT else 1.0
    say(max(amid) < bound, name + ": /metrics begun amid a burst answers on a fresh connection",
        f"slowest {max(amid):.3f} s of {len(amid)} (bound {bound:.0f} s)")
    judge_window(f"bursts of idle x{SIZE['idle'] // 4}", probe.window(), quiet, gateway.modbus)


def attack_keepalive(gateway, probe, quiet):
    clients = [KeepAlive(gateway.page) for _ in range(4)]
    time.sleep(SIZE["hold_s"] / 2)
    for client in clients:
        client.stop.set()
    for client in clients:
        client.join()
    say(all(c.answered > 0 for c in clients), "keep-alive x4: every kept-open client is answered",
        ", ".join(f"{c.answered} answers, slowest {c.slowest:.3f} s" for c in clients))
    judge_window("keep-alive x4", probe.window(), quiet, gateway.modbus)


def attack_siege(gateway, probe, quiet):
    slow = Slowloris(gateway.page, SIZE["slowloris"])
    idle = connect_many(gateway.page, SIZE["idle"])
    clients = [KeepAlive(gateway.page) for _ in range(4)]
    probe.window()
    time.sleep(SIZE["hold_s"])
    name = f"all at once (slowloris x{SIZE['slowloris']}, idle x{SIZE['idle']}, keep-alive x4)"
    judge_window(name, probe.window(), quiet, gateway.modbus)
    slow.stop.set()
    for client in clients:
        client.stop.set()
    for s in slow.sockets + idle:
        s.close()


def attack_post(gateway, probe, quiet):
    """500 MB streamed in 64 kB chunks by a client that reads its refusal but
    sends on: the page takes no POST, and cuts the sender off."""
    size, chunk, sent, status = 500 * MB, b"\0" * 65536, 0, []
    begun = time.monotonic()
    s = socket.create_connection(("127.0.0.1", gateway.page), timeout=10)
    s.sendall(f"POST /api/points HTTP/1.1\r\nHost: attack\r\nContent-Length: {size}\r\n\r\n".encode())
    try:
        while sent < size:
            if not status and ready([s], select.POLLIN, 0):
                status = s.recv(64).split(b" ")[1:2]
            sent += s.send(chunk)
    except OSError:
        pass
    took = time.monotonic() - begun
    s.close()
    time.sleep(1)
    after = gateway.proc_figure("VmRSS")
    figures = probe.window()
    say(status == [b"405"] and sent < size, "POST of 500 MB: refused at its headers, the sender cut off",
        f"status {status}, cut off after {sent / MB:.1f} MB in {took:.2f} s")
    say(figures["rss_peak"] < SIZE["rss_mb"] and after < SIZE["rss_mb"], "POST of 500 MB: RSS stays bounded",
        f"peak {figures['rss_peak']:.1f} MB, {after:.1f} MB after (bound {SIZE['rss_mb']} MB)")


# Raw requests and the status each must get: none when the server must close without one.
REFUSALS = [
    ("a GET with a body", b"GET /metrics HTTP/1.1\r\nHost: a\r\nContent-Length: 5\r\n\r\nhello", b"413"),
    ("a chunked GET", b"GET / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", b"413"),
    ("headers beyond 8 kB", b"GET / HTTP/1.1\r\nX: " + b"a" * 9000 + b"\r\n\r\n", b"431"),
    ("a PUT", b"PUT /api/points HTTP/1.1\r\nHost: a\r\n\r\n", b"405"),
    ("not HTTP", b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03\r\n\r\n", b"400"),
    ("an unknown path", b"GET /etc/passwd HTTP/1.1\r\nHost: a\r\n\r\n", b"404"),
    ("a query after the path", b"GET /metrics?x=1 HTTP/1.1\r\nHost: a\r\n\r\n", b"200"),
    ("HTTP/1.0", b"GET /api/line HTTP/1.0\r\n\r\n", b"200"),
]


def attack_refusals(gateway, probe, quiet):
    for what, request, expected in REFUSALS:
        try:
            with socket.create_connection(("127.0.0.1", gateway.page), timeout=5) as s:
                s.sendall(request)
                status = s.recv(64).split(b" ")[1:2]
        except OSError as e:
            status = [str(e).encode()]
        say(status == [expected], "refusal table: " + what, f"status {status}, wanted {expected.decode()}")
    probe.window()


def modbus_call(port, frame):
    """Seconds for one request on a fresh connection and its answer; inf when unanswered."""
    begun = time.monotonic()
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
            s.sendall(frame)
            answer = s.recv(260)
            return (time.monotonic() - begun if len(answer) > 7 else float("inf")), answer
    except OSError:
        return float("inf"), b""


def output_writes(port, count):
    """Seconds for each write of 05AO2 (holding register 2), answered once the driver has done it."""
    return [modbus_call(port, struct.pack(">HHHBBHH", i, 0, 6, UNIT, 6, 2, 100 + i))[0] for i in range(count)]


def attack_dcmd(gateway, probe, quiet):
    """10,000 metrics in one DCMD, five times over, while Modbus writes another output."""
    if not gateway.broker:
        print("SKIPPED DCMD of 10,000 metrics: no --pb-dir or no mosquitto", flush=True)
        return
    usual = max(output_writes(gateway.modbus, 10))
    payload = sparkplug_b_pb2.Payload(timestamp=int(time.time() * 1000))
    for _ in range(10000):
        payload.metrics.add(name="05AO3", datatype=2, int_value=4000)
    command = os.path.join(os.path.dirname(gateway.log), "dcmd.bin")
    with open(command, "wb") as f:
        f.write(payload.SerializeToString())
    probe.window()
    # Published from a process of its own, so that the probe's timings share no interpreter with it.
    flood = subprocess.Popen(["/usr/bin/python3", "-c", "import sys, paho.mqtt.publish as p; "
                              "p.multiple([(sys.argv[2], open(sys.argv[1], 'rb').read(), 1, False)] * 5, "
                              "hostname='127.0.0.1', port=int(sys.argv[3]))",
                              command, "spBv1.0/plant/DCMD/line1/unit05", str(gateway.broker.port)])
    during, deadline = [], time.monotonic() + 30
    while (flood.poll() is None or len(during) < 20) and time.monotonic() < deadline:
        during += output_writes(gateway.modbus, 1)
    flood.wait(30)
    time.sleep(1)
    _, held = modbus_call(gateway.modbus, struct.pack(">HHHBBHH", 1, 0, 6, UNIT, 3, 3, 1))
    # The logger holds a repeated line back and counts it: one line at least.
    with open(gateway.log) as f:
        refused = f.read().count("refused whole: 10,000 metrics")
    value = struct.unpack(">H", held[9:11])[0] if len(held) >= 11 else None
    say(refused >= 1 and value not in (None, 4000), "DCMD of 10,000 metrics: refused whole",
        f"the refusal logged, 05AO3 reads {value}, not the 4000 commanded" if refused else "no refusal logged")
    bound = 5.0 if SHORT else max(2 * usual, 0.2)
    say(max(during) <= bound, "DCMD of 10,000 metrics: a Modbus write to another output answers in its usual time",
        f"slowest {max(during) * 1000:.1f} ms of {len(during)} (quiet slowest {usual * 1000:.1f} ms, "
        f"bound {bound * 1000:.0f} ms)")
    # Decoding 10,000 metrics takes the CPU a while: reads are held to the writes' bound, not the page's.
    judge_window("DCMD of 10,000 metrics", probe.window(), quiet, gateway.modbus, bound)


def reloads(gateway):
    with open(gateway.log) as f:
        return f.read().count("SIGHUP: configuration reloaded")


def attack_fifo(gateway, probe, quiet):
    """SIGHUP with a FIFO at the config path: the reload must neither stop Modbus
    nor wait on a writer, so that the next reload of a real file goes through."""
    kept, fifo = gateway.config + ".kept", gateway.config + ".fifo"
    os.rename(gateway.config, kept)
    os.mkfifo(gateway.config)
    probe.window()
    os.kill(gateway.proc.pid, signal.SIGHUP)
    time.sleep(3)
    figures = probe.window()
    os.rename(gateway.config, fifo)
    os.rename(kept, gateway.config)
    done = reloads(gateway)
    os.kill(gateway.proc.pid, signal.SIGHUP)
    deadline = time.monotonic() + 5
    while reloads(gateway) == done and time.monotonic() < deadline:
        time.sleep(0.1)
    reloaded = reloads(gateway) > done
    # Whatever happened, a writer releases a reload still waiting on the FIFO.
    try:
        fd = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
        os.write(fd, json.dumps(GATEWAY).encode())
        os.close(fd)
    except OSError:
        pass
    os.unlink(fifo)
    say(figures["unanswered"] == 0 and len(figures["latencies"]) > 50,
        "SIGHUP with a FIFO at the config path: Modbus keeps answering",
        f"{len(figures['latencies'])} answered, {figures['unanswered']} unanswered in 3 s after the signal")
    say(reloaded, "SIGHUP with a FIFO at the config path: the next reload of the real file goes through",
        "reloaded within 5 s" if reloaded else "no reload logged within 5 s of the next SIGHUP")


ATTACKS = [("refusals", attack_refusals), ("slowloris", attack_slowloris), ("idle", attack_idle),
           ("flood", attack_flood), ("keepalive", attack_keepalive), ("post", attack_post), ("siege", attack_siege), ("dcmd", attack_dcmd), ("fifo", attack_fifo)]


def main():
    # The attacker's own descriptors: 2,000 idle connections and more.
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    with tempfile.TemporaryDirectory() as folder:
        try:
            gateway = Gateway(folder)
            probe = Probe(gateway)
            time.sleep(2)
            probe.window()
            before = (gateway.proc_figure("VmRSS"), gateway.fds())
            time.sleep(4 if SHORT else 10)
            quiet = probe.window()
            quiet_p99 = p99(quiet["latencies"])
            print(f"quiet: Modbus p99 {quiet_p99 * 1000:.2f} ms over {len(quiet['latencies'])} reads, /metrics "
                  f"slowest {max(quiet['scrapes'] or [0]):.3f} s, RSS {before[0]:.1f} MB, {before[1]} descriptors",
                  flush=True)
            for name, attack in ATTACKS:
                if ONLY is None or name in ONLY:
                    attack(gateway, probe, quiet_p99)
                    time.sleep(1)
                    probe.window()
            time.sleep(2)
            after = (gateway.proc_figure("VmRSS"), gateway.fds())
            print(f"after: RSS {after[0]:.1f} MB (peak {gateway.proc_figure('VmHWM'):.1f} MB), {after[1]} "
                  f"descriptors (before: {before[0]:.1f} MB, {before[1]})", flush=True)
            say(after[1] <= before[1] + 2, "descriptors given back", f"{before[1]} before, {after[1]} after")
            say(gateway.proc.poll() is None, "the gateway still runs", f"exit {gateway.proc.poll()}")
            probe.stop.set()
        finally:
            end_children()
    print(f"{len(broken)} broken: {', '.join(broken)}" if broken else "every attack held", flush=True)
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main())

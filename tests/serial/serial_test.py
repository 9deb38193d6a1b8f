"""A line behind a serial server: plexer and the gateway through Debian's
ser2net (a raw accepter and a telnet(rfc2217) one) in front of the simulator,
and through servers that misbehave.

  serial_test.py PLEXER SIM                   the test: one table of cases
  serial_test.py PLEXER SIM --soak S --every E   kill ser2net every E s for S s
  serial_test.py PLEXER SIM --bench           poll cycle over ser2net / direct
"""
import argparse
import json
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import termios
import threading
import time
import urllib.request

from pymodbus.client import ModbusTcpClient

IAC, DONT, DO, WONT, WILL, SB, SE, COM_PORT = 255, 254, 253, 252, 251, 250, 240, 44
RECOVERY_BOUND_S = 5.0


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(check, seconds, what):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        result = check()
        if result:
            return result
        time.sleep(0.05)
    raise AssertionError(f"not within {seconds} s: {what}")


class Rig:
    """The simulator on a pseudo-terminal and ser2net in front of it, one
    accepter of `kinds` each (ser2net lets one connection at a time have a device)."""

    def __init__(self, sim, folder, kinds=("tcp",), baud=0):
        folder = tempfile.mkdtemp(dir=folder)
        self.folder = folder
        self.link = os.path.join(folder, "line")
        self.trace = os.path.join(folder, "sim-trace.txt")
        self.sim = subprocess.Popen([sim, "-u", "5:analog", "-u", "6:digital", "--animate", "-b", str(baud),
                                     "-l", self.link, "-t", self.trace],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(lambda: os.path.exists(self.link), 10, "the simulator's link")
        self.ports = {kind: free_port() for kind in kinds}
        self.config = os.path.join(folder, "ser2net.yaml")
        accepters = {"tcp": "tcp", "rfc2217": "telnet(rfc2217),tcp"}
        with open(self.config, "w") as f:
            f.write("%YAML 1.1\n---\n")
            for kind, port in self.ports.items():
                f.write(f"connection: &{kind}\n  accepter: {accepters[kind]},127.0.0.1,{port}\n"
                        f"  connector: serialdev,{self.link},9600n81,local\n")
        self.server = None
        if self.ports:
            self.start_server()

    def url(self, kind):
        return f"{kind}://127.0.0.1:{self.ports[kind]}"

    def start_server(self):
        self.server = subprocess.Popen(["ser2net", "-n", "-c", self.config, "-P", os.path.join(self.folder, "pid")],
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for port in self.ports.values():
            wait_for(lambda: try_connect(port), 10, f"ser2net on {port}")

    def kill_server(self):
        self.server.kill()
        self.server.wait()

    def sim_termios(self):
        fd = os.open(self.link, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            return termios.tcgetattr(fd)
        finally:
            os.close(fd)

    def written(self):
        with open(self.trace, errors="replace") as f:
            return f.read()

    def close(self):
        for process in (self.server, self.sim):
            if process and process.poll() is None:
                process.kill()
                process.wait()


def try_connect(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


def run(plexer, *args, timeout=60):
    return subprocess.run([plexer, *args], capture_output=True, text=True, timeout=timeout)


class MisbehavingServer(threading.Thread):
    """Accepts on loopback, then either never says a word or, over the COM
    port option, answers each setting in `answers` with another value."""

    def __init__(self, answers=None):
        super().__init__(daemon=True)
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.answers = answers  # command -> value bytes; None: silent
        self.held = []
        self.start()

    def run(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            self.held.append(conn)
            if self.answers is not None:
                threading.Thread(target=self.speak, args=(conn,), daemon=True).start()

    def speak(self, conn):
        buffer = b""
        while True:
            try:
                data = conn.recv(1024)
            except OSError:
                return
            if not data:
                return
            buffer += data
            if bytes([IAC, WILL, COM_PORT]) in buffer:
                conn.sendall(bytes([IAC, DO, COM_PORT]))
                buffer = buffer.replace(bytes([IAC, WILL, COM_PORT]), b"")
            for command, value in re.findall(rb"\xff\xfa\x2c(.)(.*?)\xff\xf0", buffer, re.S):
                value = self.answers.get(command[0], value)
                try:
                    conn.sendall(bytes([IAC, SB, COM_PORT, command[0] + 100]) + value + bytes([IAC, SE]))
                except OSError:  # the client left at the first refusal
                    return
            buffer = re.sub(rb"\xff\xfa\x2c.*?\xff\xf0", b"", buffer, flags=re.S)

    def close(self):
        self.listener.close()
        for conn in self.held:
            conn.close()


def check_values(plexer, rig, kind):
    """Values read and written, the trace, and a scan, as over a device."""
    url = rig.url(kind)
    written = run(plexer, "write", url, "05AO1", "1234")
    assert written.returncode == 0, written.stderr
    read = run(plexer, "--json", "read", url, "05AO1", "06DI0")
    assert read.returncode == 0, read.stderr
    assert '"value":1234' in read.stdout, read.stdout
    traced = run(plexer, "read", url, "05AI0", "--trace=-")
    assert traced.returncode == 0 and "read analog inputs" in traced.stderr, traced.stderr
    scanned = run(plexer, "--json", "scan", url, "--from", "4", "--to", "7")
    assert scanned.returncode == 0 and '"answering":[5,6]' in scanned.stdout, scanned.stdout


def metrics(http_port):
    with urllib.request.urlopen(f"http://127.0.0.1:{http_port}/metrics", timeout=5) as answer:
        text = answer.read().decode()
    return {m.group(1): float(m.group(2)) for m in re.finditer(r"^(plexer_line_\w+) (\S+)$", text, re.M)}


class Writer(threading.Thread):
    """Writes rising values to 05AO1 through Modbus and keeps those acknowledged."""

    def __init__(self, modbus_port):
        super().__init__(daemon=True)
        self.client = ModbusTcpClient("127.0.0.1", port=modbus_port, timeout=5, retries=0)
        self.acknowledged = []
        self.stopping = threading.Event()
        self.start()

    def run(self):
        value = 0
        while not self.stopping.wait(0.1):
            value = value % 4000 + 1
            try:
                if not self.client.connected:
                    self.client.connect()
                if not self.client.write_register(1, value, slave=5).isError():
                    self.acknowledged.append(value)
            except Exception:  # a connection being made again
                pass

    def stop(self):
        self.stopping.set()
        self.join()
        self.client.close()


def fresh_read_since(client, since):
    """True once unit 5 has a good read taken after `since` (its age register, 0.1 s)."""
    try:
        value = client.read_input_registers(0, count=1, slave=5)
        age = client.read_input_registers(1007, count=1, slave=5)
    except Exception:
        return False
    if value.isError() or age.isError():
        return False
    return age.registers[0] / 10.0 < time.monotonic() - since


def restarts(plexer, rig, kind, count, every_s, down_s=2.0, line_args=()):
    """The gateway over `kind` while ser2net is killed and restarted `count`
    times: every recovery, and every acknowledged write found at the unit."""
    modbus_port, http_port = free_port(), free_port()
    # The server given in the config file, as a plant's service has it.
    config = os.path.join(rig.folder, f"gateway-{kind}.json")
    with open(config, "w") as f:
        json.dump({"line": {"port": rig.url(kind)}, "points": ["05AI0", "05AO1"]}, f)
    gateway = subprocess.Popen([plexer, "gateway", "--config", config, "--interval", "200",
                                "--max-age", "1000", "--listen", f"127.0.0.1:{modbus_port}",
                                "--http", f"127.0.0.1:{http_port}", *line_args],
                               stdout=open(os.path.join(rig.folder, f"gateway-{kind}.log"), "w"),
                               stderr=subprocess.STDOUT)  # a file: a pipe read only at the end could fill
    recoveries = []
    try:
        client = ModbusTcpClient("127.0.0.1", port=modbus_port, timeout=5, retries=0)
        wait_for(lambda: client.connect() and fresh_read_since(client, time.monotonic() - 1), 20, "a first read")
        seen = rig.sim_termios()
        writer = Writer(modbus_port)
        for _ in range(count):
            time.sleep(max(0.0, every_s - down_s))
            rig.kill_server()
            time.sleep(down_s)
            rig.start_server()
            back = time.monotonic()
            wait_for(lambda: fresh_read_since(client, back), 30, "a good read after ser2net's restart")
            recoveries.append(time.monotonic() - back)
        writer.stop()
        line = metrics(http_port)
        client.close()
    finally:
        gateway.send_signal(signal.SIGINT)
        gateway.wait(timeout=30)
        with open(os.path.join(rig.folder, f"gateway-{kind}.log")) as f:
            log = f.read()
    at_unit = rig.written()
    lost = [v for v in writer.acknowledged if f"S0002{v:03X}" not in at_unit]
    return {"recoveries": recoveries, "acknowledged": len(writer.acknowledged), "lost": lost, "line": line,
            "termios": seen, "log": log}


def check_restarts(plexer, rig, kind):
    # The rate and stop bits the driver sets reach the simulator's terminal over RFC 2217 only.
    figures = restarts(plexer, rig, kind, count=3, every_s=6, line_args=("-b", "38400", "-s", "2"))
    assert max(figures["recoveries"]) <= RECOVERY_BOUND_S, figures["recoveries"]
    assert figures["acknowledged"] > 0 and not figures["lost"], figures
    assert figures["line"]["plexer_line_up"] == 1, figures["line"]
    assert figures["line"]["plexer_line_losses_total"] >= 1, figures["line"]
    assert figures["line"]["plexer_line_recoveries_total"] == figures["line"]["plexer_line_losses_total"]
    assert "line lost: " + rig.url(kind) in figures["log"] and "line back after" in figures["log"], figures["log"]
    speed, stop = figures["termios"][4], bool(figures["termios"][2] & termios.CSTOPB)
    expected = (termios.B38400, True) if kind == "rfc2217" else (termios.B9600, False)
    assert (speed, stop) == expected, (kind, speed, stop)
    print(f"{kind}: recoveries {', '.join(f'{s:.2f}' for s in figures['recoveries'])} s, "
          f"{figures['acknowledged']} writes acknowledged, none lost")


def check_misbehaving(plexer):
    """Each server's fault as plexer says it: (server, scheme, args, exit code, words)."""
    cases = [
        ("silent, raw", None, "tcp", ["-t", "200"], 1, "05AI0"),
        ("silent, RFC 2217", None, "rfc2217", [], 3, "no answer to the COM port option"),
        ("refuses the rate", {1: b"\x00\x00\x25\x80"}, "rfc2217", ["-b", "38400"], 3,
         "refused the rate: asked 38400, answered 9600"),
        ("refuses the parity", {3: b"\x01"}, "rfc2217", ["-P", "even"], 3,
         "refused the parity: asked even, answered none"),
        ("refuses the stop bits", {4: b"\x01"}, "rfc2217", ["-s", "2"], 3,
         "refused the stop bits: asked 2, answered 1"),
        ("no server", "none", "tcp", [], 3, "Connection refused"),
    ]
    for name, answers, scheme, args, code, words in cases:
        server = None if answers == "none" else MisbehavingServer(answers)
        port = free_port() if server is None else server.port
        started = time.monotonic()
        result = run(plexer, "read", f"{scheme}://127.0.0.1:{port}", "05AI0", *args, timeout=30)
        took = time.monotonic() - started
        if server:
            server.close()
        assert result.returncode == code and words in result.stdout + result.stderr, (name, result)
        print(f"{name}: exit {code} in {took:.1f} s")


def bench(plexer, sim, folder):
    """Poll cycle over ser2net beside the direct pseudo-terminal, at two rates."""
    load = os.getloadavg()
    print(f"load average {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}; 2 units, 8N1, 100 polls each, "
          "ratio = direct / over ser2net")
    polls = 100
    for baud in (9600, 38400):
        cycles = {}
        for name, kinds in (("direct", ()), ("raw", ("tcp",)), ("rfc2217", ("rfc2217",))):
            rig = Rig(sim, folder, kinds, baud=baud)
            port = rig.url(kinds[0]) if kinds else rig.link
            try:
                run(plexer, "read", port, "05AI0", "06DI0", "-b", str(baud))  # units cleared before timing
                started = time.monotonic()
                result = run(plexer, "watch", port, "05AI0", "06DI0", "-b", str(baud), "-l", "1", "-n", str(polls),
                             "--csv", timeout=300)
                assert result.returncode == 0, result.stderr
                cycles[name] = (time.monotonic() - started) / polls * 1000
            finally:
                rig.close()
        print(f"{baud:6d} baud: " + ", ".join(f"{name} {ms:.1f} ms ({cycles['direct'] / ms:.3f})"
                                             for name, ms in cycles.items()) +
              f"  [load {os.getloadavg()[0]:.2f}]")


def soak(args, folder):
    """Both kinds at once, each with its own simulator and ser2net."""
    load = os.getloadavg()[0]
    results = {}

    def one(kind):
        rig = Rig(args.sim, folder, (kind,))
        try:
            results[kind] = restarts(args.plexer, rig, kind, int(args.soak // args.every), args.every)
        finally:
            rig.close()

    threads = [threading.Thread(target=one, args=(kind,)) for kind in ("tcp", "rfc2217")]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for kind, figures in results.items():
        r = figures["recoveries"]
        print(f"{kind}: {len(r)} restarts every {args.every:.0f} s; recovery longest {max(r):.2f} s, "
              f"mean {sum(r) / len(r):.2f} s; {figures['acknowledged']} writes acknowledged, "
              f"{len(figures['lost'])} lost; losses {figures['line']['plexer_line_losses_total']:.0f}, "
              f"recoveries {figures['line']['plexer_line_recoveries_total']:.0f}; "
              f"load {load:.2f} at the start, {os.getloadavg()[0]:.2f} at the end")
    return 0 if len(results) == 2 and all(max(f["recoveries"]) <= RECOVERY_BOUND_S and not f["lost"]
                                           for f in results.values()) else 1


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("plexer")
    parser.add_argument("sim")
    parser.add_argument("--soak", type=float, help="seconds of kills and restarts")
    parser.add_argument("--every", type=float, default=30)
    parser.add_argument("--bench", action="store_true")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        if args.bench:
            return bench(args.plexer, args.sim, folder)
        if args.soak:
            return soak(args, folder)
        check_misbehaving(args.plexer)
        for kind in ("tcp", "rfc2217"):
            rig = Rig(args.sim, folder, (kind,))
            try:
                check_values(args.plexer, rig, kind)
                check_restarts(args.plexer, rig, kind)
            finally:
                rig.close()
    print("passed")


sys.exit(main())

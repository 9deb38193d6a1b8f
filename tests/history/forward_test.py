"""Store and forward on Sparkplug, with mosquitto and a paho subscriber: a
toggling unit through a broker cut off from the gateway, then a primary host
gone offline. Each outage's changes must arrive after the births, every one
exactly once, in order, flagged historical, while live data goes on.

Usage: forward_test.py PLEXER SIMULATOR SPARKPLUG_PYTHON_DIR MQTT_TEST_DIR.
"""
import json
import os
import socket
import sqlite3
import sys
import tempfile
import threading
import time

PLEXER, SIM, PROTO_DIR, MQTT_DIR = sys.argv[1:5]
sys.path[:0] = [PROTO_DIR, MQTT_DIR]
from mqtt_support import Broker, Gateway, Subscriber, end_children, is_, start_sim, value_of  # noqa: E402

OUTAGE_S = float(os.environ.get("HISTORY_OUTAGE_S", 6))  # make history-bench runs the 5-minute one


class Proxy:
    """The gateway's road to the broker, to cut and mend."""

    def __init__(self, port):
        self.target, self.open, self.links = port, True, []
        self.server = socket.create_server(("127.0.0.1", 0))
        self.port = self.server.getsockname()[1]
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while True:
            client, _ = self.server.accept()
            if not self.open:
                client.close()
                continue
            upstream = socket.create_connection(("127.0.0.1", self.target))
            self.links += [client, upstream]
            for a, b in ((client, upstream), (upstream, client)):
                threading.Thread(target=self.pipe, args=(a, b), daemon=True).start()

    @staticmethod
    def pipe(a, b):
        try:
            while data := a.recv(65536):
                b.sendall(data)
        except OSError:
            pass
        for s in (a, b):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def cut(self):
        self.open = False
        for link in self.links:
            try:
                link.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        self.links = []

    def mend(self):
        self.open = True


def host_state(sub, online):
    sub.client.publish("spBv1.0/STATE/scada", json.dumps({"online": online, "timestamp": 0}), 1, retain=True)


def stored(store, from_ms, to_ms):
    with sqlite3.connect(f"file:{store}?mode=ro", uri=True, timeout=10) as db:
        return db.execute("SELECT s.name, r.at_ms, r.counts FROM rows r JOIN sources s ON s.id = r.source "
                          "WHERE s.name LIKE '01DI%' AND r.at_ms >= ? AND r.at_ms < ? ORDER BY r.at_ms, r.rowid",
                          (from_ms, to_ms)).fetchall()


def outage(sub, names, store, begin, end):
    """What arrived after the outage: historical (name, time, value) in arrival order, and the live lag."""
    while not sub.messages.empty():
        sub.messages.get()
    begun_ms = time.time() * 1000
    begin()
    time.sleep(OUTAGE_S)
    end()
    _, _, nbirth = sub.await_message(is_("NBIRTH"), limit=60, label="NBIRTH after the outage")
    historical, lags = [], []
    deadline = time.time() + 6
    while time.time() < deadline:
        try:
            kind, _, payload = sub.await_message(is_("DDATA"), limit=max(0.1, deadline - time.time()))
        except AssertionError:
            break
        for metric in payload.metrics:
            if metric.is_historical:
                historical.append((names[metric.alias], metric.timestamp, value_of(metric)))
            else:
                lags.append(time.time() * 1000 - metric.timestamp)
    # Changes the store holds from well inside the outage to the births must all have come, and only they.
    expected = stored(store, begun_ms + 1500, nbirth.timestamp)
    return historical, lags, expected, begun_ms


def main():
    folder = tempfile.mkdtemp()
    failures = []
    try:
        broker = Broker(folder, ["allow_anonymous true"])
        proxy = Proxy(broker.port)
        _, pty = start_sim(SIM, folder, [{"address": 1, "kind": "digital",
                                          "animate": {"shape": "toggle", "periodS": 2}}])
        store = os.path.join(folder, "history.db")
        sub = Subscriber(broker.port)
        host_state(sub, True)
        Gateway(PLEXER, [pty, "--points", "01DI*", "--listen", "none", "-t", "50", "--interval", "200",
                         "--history", store, "--mqtt", f"mqtt://127.0.0.1:{proxy.port}", "--mqtt-node", "n",
                         "--mqtt-primary-host", "scada"], folder)
        _, _, dbirth = sub.await_message(is_("DBIRTH"), limit=30, label="DBIRTH")
        names = {m.alias: m.name for m in dbirth.metrics}
        outages = [("the broker unreachable", proxy.cut, proxy.mend),
                   ("the primary host offline", lambda: host_state(sub, False), lambda: host_state(sub, True))]
        for what, begin, end in outages:
            historical, lags, expected, begun_ms = outage(sub, names, store, begin, end)
            keys = [(name, at) for name, at, _ in historical]
            wanted = {(name, at): bool(counts) for name, at, counts in expected}
            checks = [
                ("changes of the outage", len(wanted) >= OUTAGE_S * 4, len(wanted)),
                ("each at most once", len(keys) == len(set(keys)), len(keys) - len(set(keys))),
                ("nothing published live before it", all(at > begun_ms - 1000 for _, at in keys), keys[:3]),
                ("in order", [at for _, at in keys] == sorted(at for _, at in keys), keys[:5]),
                ("every change of the store", all(key in set(keys) for key in wanted), set(wanted) - set(keys)),
                ("as the store has them", all(wanted.get((n, at), v) == v for n, at, v in historical), historical[:5]),
                ("live data goes on within seconds", lags and max(lags) < 3000, max(lags, default=None)),
            ]
            for check, ok, detail in checks:
                if not ok:
                    failures.append(f"{what}: {check}: {detail}")
            print(f"{what}: {len(historical)} historical changes forwarded, {len(wanted)} stored in the outage, "
                  f"live lag at most {max(lags, default=0):.0f} ms", flush=True)
        sub.close()
    finally:
        end_children()
    print("\n".join(["FAILED:", *failures]) if failures else "forward: every check passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/python3
"""plexer gateway --mqtt against Debian's mosquitto, a paho subscriber and the
simulator: usage  sparkplug_test.py PLEXER OPTOMUX_SIM PB_DIR line|security"""
import json
import os
import signal
import subprocess
import sys
import tempfile
import time

PLEXER, SIM, PB_DIR, SCENARIO = sys.argv[1:5]
sys.path.insert(0, PB_DIR)
from mqtt_support import (Broker, Gateway, Subscriber, command, end_children, free_port, is_,  # noqa: E402
                          metric_map, start_sim, value_of)

BOOLEAN, INT16, INT64 = 11, 2, 4
GROUP, NODE = "plant", "line1"
RACK = [
    {"address": 1, "kind": "digital", "outputs": "0030", "on": "0011", "cleared": True},
    {"address": 2, "kind": "digital", "cleared": True, "animate": {"shape": "toggle", "periodS": 1}},
    {"address": 5, "kind": "analog", "outputs": "000C", "inputs": [100, 409], "cleared": True},
    {"address": 11, "kind": "temperature", "probes": "03", "temperatures": [21.5, -4], "cleared": True}]
POINTS = "01DI0,01DI1,01DO4,01DO5,02DI0,05AI0,05AI1,05AO2,05AO3,0BCK0,0BCK1"


def check_births(sub):
    _, _, nbirth = sub.await_message(is_("NBIRTH"), label="NBIRTH")
    node = metric_map(nbirth.metrics)
    assert nbirth.seq == 0 and "bdSeq" in node and node["bdSeq"].datatype == INT64, nbirth
    assert node["Node Control/Rebirth"].boolean_value is False and node["Line/Up"].boolean_value is True
    births = {}
    while len(births) < 4:
        _, device, payload = sub.await_message(is_("DBIRTH"), label="a DBIRTH of every unit")
        births[device] = {m.name: m for m in payload.metrics}
    types = {name: m.datatype for metrics in births.values() for name, m in metrics.items()}
    assert sorted(types) == sorted(POINTS.split(",")), types
    for name, datatype in types.items():
        assert datatype == (BOOLEAN if name[2] == "D" else INT16), (name, datatype)
    assert value_of(births["unit01"]["01DI0"]) is True and value_of(births["unit01"]["01DI1"]) is False
    assert value_of(births["unit05"]["05AI1"]) == 409 and value_of(births["unit0B"]["0BCK1"]) == -4
    return node["bdSeq"].long_value, {m.alias: name for d in births.values() for name, m in d.items()}


def line_scenario(folder):
    broker = Broker(folder, ["allow_anonymous true"])
    broker.stop()  # the gateway starts before its broker, and keeps trying
    sim, pty = start_sim(SIM, folder, RACK)
    config = os.path.join(folder, "gateway.json")
    with open(config, "w") as f:
        json.dump({"mqtt": {"deadbands": {"05AO3": 50}}}, f)
    gateway = Gateway(PLEXER, [pty, "--points", POINTS, "--listen", "none", "-t", "50", "--interval", "200",
                       "--demote-after", "1", "--demote-for", "1", "--mqtt", f"mqtt://127.0.0.1:{broker.port}",
                       "--mqtt-group", GROUP, "--mqtt-node", NODE, "--config", config], folder)
    gateway.await_log("broker connection lost")
    broker.start()
    sub = Subscriber(broker.port)
    # Born on connecting, or by this if it connected before the subscriber.
    sub.publish(f"spBv1.0/{GROUP}/NCMD/{NODE}", command("Node Control/Rebirth", BOOLEAN, boolean_value=True))
    bd_seq, names = check_births(sub)
    seqs = []

    def data_of(device):
        def want(kind, d, payload):
            seqs.append(payload.seq)
            return kind == "DDATA" and d == device
        return want

    # By exception: the toggling unit publishes, the still analog unit does not.
    sub.await_message(data_of("unit02"), label="DDATA of the toggling unit")
    deadline = time.time() + 3
    while time.time() < deadline:
        sub.await_message(data_of("unit02"), label="DDATA of the toggling unit")
        assert not any(d == "unit05" for _, d, _ in sub.skipped), "DDATA of an unchanged unit"
    assert all((b - a) % 256 == 1 for a, b in zip(seqs, seqs[1:])), seqs

    # A write goes through to the simulator and comes back as the output's next value.
    base = f"spBv1.0/{GROUP}/DCMD/{NODE}"
    sub.publish(f"{base}/unit05", command("05AO2", INT16, int_value=1234))
    sub.publish(f"{base}/unit01", command("01DO5", BOOLEAN, boolean_value=True))
    changed = {}
    while len(changed) < 2:
        _, _, payload = sub.await_message(lambda k, d, p: k == "DDATA" and d in ("unit05", "unit01") and any(
            names[m.alias] in ("05AO2", "01DO5") for m in p.metrics), label="DDATA of the written outputs")
        changed.update({names[m.alias]: value_of(m) for m in payload.metrics})
    assert changed.get("05AO2") == 1234 and changed.get("01DO5") is True, changed

    # 05AO3 has a deadband of 50: a move of 20 is not published, one of 100 is.
    def ao3(k, d, p):
        return k == "DDATA" and any(names[m.alias] == "05AO3" for m in p.metrics)
    for value, published in ((1000, 1000), (1020, None), (1100, 1100)):
        sub.publish(f"{base}/unit05", command("05AO3", INT16, int_value=value))
        if published is None:
            time.sleep(1)  # five poll cycles: the moved value is read, and must not be published
            continue
        _, _, payload = sub.await_message(ao3, label=f"DDATA of 05AO3 = {value}")
        assert [value_of(m) for m in payload.metrics if names[m.alias] == "05AO3"] == [published], payload
    sub.publish(f"{base}/unit05", command("05AI0", INT16, int_value=7))
    gateway.await_log("DCMD unit05 05AI0 refused: not an output")

    sub.publish(f"spBv1.0/{GROUP}/NCMD/{NODE}", command("Node Control/Rebirth", BOOLEAN, boolean_value=True))
    assert check_births(sub)[0] == bd_seq, "a rebirth keeps the session's bdSeq"

    # A reload's SIGHUP is noted; without a Modbus listener the gateway goes on as it was.
    gateway.proc.send_signal(signal.SIGHUP)
    gateway.await_log("SIGHUP: nothing reloads without the Modbus listener")

    # A silent line: every unit dies, and is born again when it answers.
    os.kill(sim.pid, signal.SIGSTOP)
    dead = set()
    while len(dead) < 4:
        dead.add(sub.await_message(is_("DDEATH"), label="DDEATH of every unit")[1])
    os.kill(sim.pid, signal.SIGCONT)
    sub.await_message(is_("DBIRTH", "unit05"), limit=60, label="DBIRTH once the unit answers")

    # The line's device goes and comes back: the line is lost, its units die, and are born again.
    sim.terminate()
    sim.wait()
    sub.await_message(lambda k, d, p: k == "NDATA" and metric_map(p.metrics)["Line/Up"].boolean_value is False,
                      limit=30, label="NDATA with the line down")
    sub.await_message(is_("DDEATH", "unit05"), label="DDEATH with the line down")
    sim, _ = start_sim(SIM, folder, RACK)
    sub.await_message(is_("DBIRTH", "unit05"), limit=60, label="DBIRTH once the line is back")

    # The broker goes away and comes back: a fresh birth with the next bdSeq.
    broker.stop()
    broker.start()
    _, _, nbirth = sub.await_message(is_("NBIRTH"), limit=60, label="NBIRTH after the broker restarts")
    bd_seq = metric_map(nbirth.metrics)["bdSeq"].long_value
    assert bd_seq == 1, bd_seq
    sub.await_message(is_("DBIRTH"), label="DBIRTH after the broker restarts")

    # Killed outright: the broker sends the will, with the session's bdSeq.
    gateway.proc.kill()
    _, _, ndeath = sub.await_message(is_("NDEATH"), limit=90, label="NDEATH (the will)")
    assert metric_map(ndeath.metrics)["bdSeq"].long_value == bd_seq
    sub.close()
    print("line: births, DDATA by exception, DCMD, rebirth, DDEATH/DBIRTH, line lost, broker restart, NDEATH: ok")


def make_certificate(folder):
    key, cert = os.path.join(folder, "key.pem"), os.path.join(folder, "cert.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj", "/CN=localhost",
                    "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1", "-keyout", key, "-out", cert],
                   check=True, capture_output=True)
    return key, cert


def security_scenario(folder):
    key, cert = make_certificate(folder)
    passwords = os.path.join(folder, "passwords")
    subprocess.run(["mosquitto_passwd", "-b", "-c", passwords, "plexer", "s3cret"], check=True)
    tls_port = free_port()
    broker = Broker(folder, ["allow_anonymous false", f"password_file {passwords}",
                             f"listener {tls_port} 127.0.0.1", f"certfile {cert}", f"keyfile {key}"])
    for name, text in (("good", "s3cret\n"), ("bad", "wrong\n")):
        with open(os.path.join(folder, name), "w") as f:
            f.write(text)
    sim, pty = start_sim(SIM, folder, RACK)
    sub = Subscriber(broker.port, "plexer", "s3cret")
    common = [pty, "--points", "05AI0", "--listen", "none", "-t", "50", "--interval", "200", "--mqtt-group",
              GROUP, "--mqtt-node", NODE, "--mqtt-user", "plexer"]
    gateway = Gateway(PLEXER, common + ["--mqtt", f"mqtts://localhost:{tls_port}", "--mqtt-ca", cert,
                                "--mqtt-password-file", os.path.join(folder, "good")], folder)
    sub.await_message(is_("NBIRTH"), label="NBIRTH over TLS with a password")
    gateway.proc.terminate()
    assert gateway.proc.wait(20) == 0, gateway.log()
    sub.await_message(is_("NDEATH"), label="NDEATH at a clean stop")

    run = subprocess.run([PLEXER, "gateway"] + common + [
        "--mqtt", f"mqtt://127.0.0.1:{broker.port}", "--mqtt-password-file", os.path.join(folder, "bad")],
        capture_output=True, text=True, timeout=30)
    assert run.returncode == 2 and "refused the login" in run.stderr, (run.returncode, run.stderr)

    run = subprocess.run([PLEXER, "gateway"] + common + [
        "--mqtt", "mqtt://192.0.2.1:1883", "--mqtt-password-file", os.path.join(folder, "good")],
        capture_output=True, text=True, timeout=30)
    assert run.returncode == 2 and "clear text" in run.stderr, (run.returncode, run.stderr)

    # With a primary host: silent until its STATE says online, born again each time it comes back.
    gateway = Gateway(PLEXER, common + ["--mqtt", f"mqtt://127.0.0.1:{broker.port}", "--mqtt-primary-host", "scada",
                                "--mqtt-password-file", os.path.join(folder, "good")], folder)
    gateway.await_log("connected to")
    try:
        early = sub.await_message(is_("NBIRTH"), limit=1)
    except AssertionError:
        early = None
    assert early is None, "NBIRTH before the primary host was online"
    for online in (True, False, True):
        sub.client.publish("spBv1.0/STATE/scada", json.dumps({"online": online, "timestamp": 0}), 1, retain=True)
        if online:
            sub.await_message(is_("NBIRTH"), label="NBIRTH once the primary host is online")
        else:
            gateway.await_log("primary host scada offline")
    sub.close()
    print("security: TLS and password login, wrong password and clear-text credentials refused, primary host: ok")


# A test runner's time-out ends the scenario through its clean-up.
signal.signal(signal.SIGTERM, lambda *_: sys.exit("terminated"))
try:
    with tempfile.TemporaryDirectory() as folder:
        try:
            {"line": line_scenario, "security": security_scenario}[SCENARIO](folder)
        except BaseException:
            with open(os.path.join(folder, "gateway.err")) as log:
                sys.stderr.write("the gateway's standard error:\n" + log.read())
            raise
finally:
    end_children()

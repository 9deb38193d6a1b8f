"""What the MQTT and gateway tests and the benchmark share: the processes they
start, the broker, and a subscriber decoding Sparkplug B."""
import getpass
import json
import os
import queue
import signal
import socket
import subprocess
import time

import paho.mqtt.client as paho

CHILDREN = []  # every process started, ended however the scenario ends


def spawn(argv, **options):
    CHILDREN.append(subprocess.Popen(argv, **options))
    return CHILDREN[-1]


def end_children():
    for child in CHILDREN:
        if child.poll() is None:
            os.kill(child.pid, signal.SIGCONT)
            child.kill()
            child.wait()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def await_port(port, limit=10):
    deadline = time.time() + limit
    while time.time() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), 0.5).close()
            return
        except OSError:
            time.sleep(0.05)
    raise AssertionError(f"nothing listens on {port}")


class Broker:
    def __init__(self, folder, lines):
        self.port = free_port()
        self.conf = os.path.join(folder, "mosquitto.conf")
        with open(self.conf, "w") as f:
            # As root, mosquitto would drop to a user who cannot read the test's files.
            f.write(f"user {getpass.getuser()}\nlistener {self.port} 127.0.0.1\n" + "".join(l + "\n" for l in lines))
        self.start()

    def start(self):
        self.proc = spawn(["/usr/sbin/mosquitto", "-c", self.conf], stderr=subprocess.DEVNULL)
        await_port(self.port)

    def stop(self):
        self.proc.terminate()
        self.proc.wait()


def start_sim(program, folder, rack_units, name="line", baud=0):
    rack = os.path.join(folder, name + ".json")
    with open(rack, "w") as f:
        json.dump({"line": {"baud": baud}, "units": rack_units}, f)
    link = os.path.join(folder, name)
    sim = spawn([program, "--config", rack, "--link", link], stdout=subprocess.DEVNULL)
    deadline = time.time() + 10
    while not os.path.exists(link):
        assert time.time() < deadline and sim.poll() is None, "the simulator did not start"
        time.sleep(0.05)
    return sim, link


class Subscriber:
    """Every message under spBv1.0/, decoded, with its arrival time."""

    def __init__(self, port, user=None, password=None):
        self.messages = queue.Queue()
        self.raw = []  # (topic, payload) of every DBIRTH and DDATA, for the reference decoder
        self.client = paho.Client(client_id=f"test-{os.getpid()}")
        if user:
            self.client.username_pw_set(user, password)
        self.client.on_connect = lambda c, u, f, rc: c.subscribe("spBv1.0/#", 1)
        self.client.on_message = self.on_message
        self.client.reconnect_delay_set(0.2, 1)
        self.client.connect("127.0.0.1", port)
        self.client.loop_start()

    def on_message(self, client, userdata, message):
        if message.topic.startswith("spBv1.0/STATE"):
            return
        import sparkplug_b_pb2  # compiled by protoc; the caller puts its folder on the path
        payload = sparkplug_b_pb2.Payload()
        payload.ParseFromString(message.payload)
        kind = message.topic.split("/")[2]
        if kind in ("DBIRTH", "DDATA"):
            self.raw.append((message.topic, bytes(message.payload)))
        device = message.topic.split("/")[4] if len(message.topic.split("/")) > 4 else None
        self.messages.put((kind, device, payload))

    def await_message(self, want, limit=15, label=""):
        """The first message `want(kind, device, payload)` accepts; the others go to `skipped`."""
        deadline = time.time() + limit
        self.skipped = []
        while time.time() < deadline:
            try:
                message = self.messages.get(timeout=max(0.01, deadline - time.time()))
            except queue.Empty:
                break
            if want(*message):
                return message
            self.skipped.append(message)
        raise AssertionError(f"no {label} within {limit} s; saw {[m[:2] for m in self.skipped]}")

    def publish(self, topic, payload):
        self.client.publish(topic, payload.SerializeToString(), qos=0)

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()


class Gateway:
    def __init__(self, plexer, args, folder):
        self.err = open(os.path.join(folder, "gateway.err"), "w+")
        self.proc = spawn([plexer, "gateway"] + args, stdout=subprocess.DEVNULL, stderr=self.err)

    def log(self):
        self.err.seek(0)
        return self.err.read()

    def await_log(self, text, limit=15, times=1):
        deadline = time.time() + limit
        while self.log().count(text) < times:
            if time.time() > deadline or self.proc.poll() is not None:
                raise AssertionError(f"gateway never said {text!r}:\n{self.log()}")
            time.sleep(0.05)


def metric_map(metrics):
    return {m.name: m for m in metrics}


def value_of(metric):
    if metric.is_null:
        return None
    if metric.HasField("boolean_value"):
        return metric.boolean_value
    if metric.HasField("float_value"):
        return round(metric.float_value, 3)
    value = metric.int_value
    return value - (1 << 32) if value >= 1 << 31 else value


def is_(kind, device=None):
    return lambda k, d, p: k == kind and (device is None or d == device)


def command(name, datatype, **value):
    return commands([(name, datatype, value)])


def commands(metrics):
    """A DCMD or NCMD payload of (name, datatype, {field: value}) metrics."""
    import sparkplug_b_pb2
    payload = sparkplug_b_pb2.Payload(timestamp=int(time.time() * 1000))
    for name, datatype, value in metrics:
        metric = payload.metrics.add(name=name, datatype=datatype)
        for field, v in value.items():
            setattr(metric, field, v)
    return payload

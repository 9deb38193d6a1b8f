"""What the MQTT test and benchmark share: the processes they start and the broker."""
import getpass
import json
import os
import signal
import socket
import subprocess
import time

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

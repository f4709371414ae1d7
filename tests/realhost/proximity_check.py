#!/usr/bin/python3
"""The plugin inside a real Mumble client, started the ways a player starts it.

Run as the check hook of the real-client harness (run-real-mumble.sh, which
runs client A "listener" with the plugin and client B "talker" speaking):

  proximity_check.py [--steps STEP,...] [--phase-s N] [--ui PATH] [--port P]

It serves a small falloff server on 127.0.0.1:P (the port the plugin's ini
names; the harness copies that ini beside the plugin through RRM_PLUGIN_DATA,
see write-ini below), then works client A's windows step by step:

  enable     Settings > Plugins: tick Enable (the plugin off until then)
  disable    Settings > Plugins: untick Enable
  reload     Settings > Plugins: Reload plugins
  cycleN     N times disable then enable
  wait       nothing; the plugin was enabled at Mumble's start

and after the steps plays five phases while it records client A's speakers:
the talker listed hard left, hard right, at half gain in the centre, not
listed, and the falloff server gone. It prints the left and right RMS of each
phase over its middle, and exits 1 unless each phase sounds as the server
says (the silent ones exactly silent). After `disable` the expectation is the
talker unchanged in every phase.

  proximity_check.py write-ini DIR --port P    writes DIR/quorvane_voice.ini

Example (from the repository, with the harness in ../shared/realhost):

  d=$(mktemp -d); tests/realhost/proximity_check.py write-ini $d --port 47700
  RRM_UI=1 RRM_ENABLE_PLUGIN=0 RRM_HEADPHONES=1 RRM_PLUGIN_DATA=$d RRM_CHECK_TIMEOUT=150 \\
  RRM_READY_CMD='grep -q "talker connected" "$RRM_HOSTLOG_A"' \\
  RRM_CHECK_CMD="$PWD/tests/realhost/proximity_check.py --steps enable --port 47700" \\
    ../shared/realhost/run-real-mumble.sh build/linux/libquorvane_voice.so out
"""
import argparse
import array
import math
import os
import socket
import subprocess
import sys
import threading
import time

PLUGIN_NAME = "Quorvane Voice"
API_KEY = "realhost-check-key"
HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_UI = os.path.normpath(os.path.join(HERE, "..", "..", "..", "shared", "realhost", "mumble-ui.py"))
RATE = 48000
CONNECT_WAIT_S = 30


def log(text):
    print("proximity_check: " + text, flush=True)


class FalloffStandIn:
    """Accepts the plugin's legacy hello with API_KEY and sends the current
    phase's UPDATE2 line ten times a second; `gone` drops every connection
    and stops listening."""

    def __init__(self, port):
        self.port = port
        self.line = "UPDATE2 "
        self.lock = threading.Lock()
        self.connections = []
        self.hellos = 0
        self.listener = None
        self.stopping = False
        self.listen()

    def listen(self):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind(("127.0.0.1", self.port))
        s.listen(8)
        s.settimeout(0.2)
        self.listener = s
        threading.Thread(target=self.accept_loop, args=(s,), daemon=True).start()

    def accept_loop(self, listener):
        while not self.stopping and self.listener is listener:
            try:
                c, _ = listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            threading.Thread(target=self.serve, args=(c,), daemon=True).start()

    def serve(self, c):
        c.settimeout(5)
        buffer = b""
        try:
            while b"\n" not in buffer:
                data = c.recv(4096)
                if not data:
                    return
                buffer += data
            first = buffer.split(b"\n", 1)[0].decode("ascii", "replace")
            if first.startswith("HELLO2 "):
                c.sendall(b"ERR token authentication disabled\n")
                return
            if not first.startswith("HELLO " + API_KEY + " "):
                c.sendall(b"ERR unauthorized\n")
                return
            c.sendall(b"OK\n")
            with self.lock:
                self.hellos += 1
                self.connections.append(c)
            c.settimeout(0.1)
            while not self.stopping:
                with self.lock:
                    if c not in self.connections:
                        return
                    line = self.line
                c.sendall((line + "\n").encode("ascii"))
                try:
                    data = c.recv(4096)
                    if not data:
                        return
                    if b"PING" in data:
                        c.sendall(b"OK\n")
                except socket.timeout:
                    pass
        except OSError:
            return
        finally:
            try:
                c.close()
            except OSError:
                pass

    def set_line(self, line):
        with self.lock:
            self.line = line

    def connected(self):
        with self.lock:
            return len(self.connections) > 0

    def go_away(self):
        """The server goes down: connections dropped, nothing listens."""
        listener, self.listener = self.listener, None
        listener.close()
        with self.lock:
            for c in self.connections:
                try:
                    c.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
            self.connections = []

    def stop(self):
        self.stopping = True
        if self.listener:
            self.go_away()


class Recorder:
    """Client A's speakers (out_a) as 16-bit stereo at 48 kHz, through the
    harness's private PulseAudio; one short capture per phase, each saved."""

    def __init__(self, folder):
        work = os.environ["RRM_WORK"]
        self.env = dict(os.environ)
        self.env.update({
            "HOME": work + "/pulse/tools",
            "XDG_RUNTIME_DIR": work + "/pulse/tools/runtime",
            "PULSE_SERVER": "unix:" + work + "/pulse/runtime/native",
            "PULSE_CLIENTCONFIG": work + "/pulse/client.conf",
        })
        self.folder = folder
        self.count = 0

    def capture(self, seconds):
        """Left and right RMS of what client A plays during `seconds` (the
        first 0.25 s, the capture's own start, left out)."""
        self.count += 1
        path = os.path.join(self.folder, "proximity_out_a_%d.raw" % self.count)
        with open(path, "wb") as f:
            p = subprocess.Popen(["parec", "-d", "out_a.monitor", "--format=s16le", "--rate=%d" % RATE,
                                  "--channels=2", "--latency-msec=20"], stdout=f, env=self.env)
            time.sleep(seconds)
            p.terminate()
            p.wait(timeout=10)
        samples = array.array("h")
        with open(path, "rb") as f:
            data = f.read()
        samples.frombytes(data[:len(data) - len(data) % 4])
        part = samples[int(0.25 * RATE) * 2:]
        n = len(part) // 2
        if n == 0:
            return 0.0, 0.0
        left = math.sqrt(sum(part[i] * part[i] for i in range(0, 2 * n, 2)) / n)
        right = math.sqrt(sum(part[i] * part[i] for i in range(1, 2 * n, 2)) / n)
        return left, right


def ui(tool, *args):
    log("mumble-ui.py " + " ".join(args))
    r = subprocess.run([sys.executable, tool] + list(args), timeout=120)
    if r.returncode != 0:
        raise SystemExit("proximity_check: mumble-ui.py %s failed" % " ".join(args))


def plugin_log():
    path = os.path.join(os.environ["RRM_PLUGIN_DIR_A"], "quorvane_voice.log")
    try:
        with open(path, "rb") as f:
            return f.read().decode("utf-8", "replace")
    except OSError:
        return ""


def wait_until(what, check, timeout_s):
    end = time.monotonic() + timeout_s
    while time.monotonic() < end:
        if check():
            return True
        time.sleep(0.1)
    log("not within %d s: %s" % (timeout_s, what))
    return False


def write_ini(folder, port):
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "quorvane_voice.ini"), "w") as f:
        f.write("server_host=127.0.0.1\nserver_port=%d\napi_key=%s\n" % (port, API_KEY))


def main(argv):
    if argv and argv[0] == "write-ini":
        p = argparse.ArgumentParser(prog="proximity_check.py write-ini")
        p.add_argument("folder")
        p.add_argument("--port", type=int, required=True)
        a = p.parse_args(argv[1:])
        write_ini(a.folder, a.port)
        return 0

    p = argparse.ArgumentParser(prog="proximity_check.py")
    p.add_argument("--steps", default="enable")
    p.add_argument("--phase-s", type=float, default=3.0)
    p.add_argument("--ui", default=DEFAULT_UI)
    p.add_argument("--port", type=int, required=True)
    a = p.parse_args(argv)
    steps = []
    for s in a.steps.split(","):
        if s.startswith("cycle"):
            steps += ["disable", "enable"] * int(s[5:] or "1")
        elif s:
            steps.append(s)
    talker = os.environ.get("RRM_CERT_SHA1_B", "")
    if not talker:
        log("no RRM_CERT_SHA1_B: run me as the harness's check hook")
        return 2

    server = FalloffStandIn(a.port)
    recorder = Recorder(os.environ.get("RRM_OUT", "."))
    results = []
    try:
        enabled = steps[0] == "wait"
        # A plugin already on, with nobody listed yet, silences the talker.
        results.append(("before the steps", recorder.capture(a.phase_s), "silent" if enabled else "heard"))
        for step in steps:
            # The plugin enabled at Mumble's start may have connected already.
            hellos = 0 if step == "wait" else server.hellos
            if step == "enable":
                ui(a.ui, "plugin-enable", PLUGIN_NAME)
                enabled = True
            elif step == "disable":
                ui(a.ui, "plugin-disable", PLUGIN_NAME)
                enabled = False
            elif step == "reload":
                ui(a.ui, "plugin-reload")
            elif step != "wait":
                log("unknown step " + step)
                return 2
            if enabled:
                if not wait_until("the plugin's falloff connection after '%s'" % step,
                                  lambda: server.hellos > hellos and server.connected(), CONNECT_WAIT_S):
                    return 1
                log("connected after '%s' (%d connections so far)" % (step, server.hellos))
        phases = [
            ("hard left", "UPDATE2 %s 1 -1" % talker, "left"),
            ("hard right", "UPDATE2 %s 1 1" % talker, "right"),
            ("half gain, centre", "UPDATE2 %s 0.5 0" % talker, "centre"),
            ("not listed", "UPDATE2 " + "f" * 40 + " 1 0", "silent"),
            ("falloff server gone", None, "silent"),
        ]
        for title, line, expect in phases:
            if line is None:
                server.go_away()
            else:
                server.set_line(line)
            # What Mumble already buffered plays out first.
            time.sleep(1.0)
            results.append((title, recorder.capture(a.phase_s), expect if enabled else "heard"))
    finally:
        server.stop()

    failures = 0
    reference = None
    print("%-22s %10s %10s  %s" % ("phase", "left", "right", "expected"))
    for title, (left, right), expect in results:
        ok = {
            "heard": left > 100 and right > 100,
            "left": left > 100 and right == 0.0,
            "right": right > 100 and left == 0.0,
            "centre": left > 50 and abs(left - right) <= 0.02 * left,
            "silent": left == 0.0 and right == 0.0,
        }[expect]
        if expect == "left":
            reference = left
        note = ""
        if expect == "centre" and reference:
            note = " (%.2f of the hard-left level)" % (left / reference)
        print("%-22s %10.1f %10.1f  %s%s%s" % (title, left, right, expect, "" if ok else "  <- WRONG", note))
        failures += 0 if ok else 1
    log(plugin_log().count("connected to falloff") and "the plugin's log: %d falloff connections" %
        plugin_log().count("connected to falloff") or "the plugin's log has no falloff connection")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

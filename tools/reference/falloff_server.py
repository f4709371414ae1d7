#!/usr/bin/env python3
"""A reference falloff server: it keeps simulated player positions, walks the
players around, and tells every connected plugin whom its player hears, at
what gain and pan, in UPDATE2 lines.

  falloff_server.py --roster FILE [--port 8890] [--api-key KEY]
                    [--credentials FILE] [--port-file FILE] ...

Protocol, one ASCII line each way, LF-terminated:
  plugin: HELLO <api_key> <identity> <json>     legacy mode, the shared key
          -> "OK", or "ERR unauthorized"
  plugin: HELLO2 <identity> <json>              token mode
          -> "CHALLENGE <64 hex>", then the plugin's "AUTH <64 hex>" is checked
             against HMAC-SHA256(key = SHA256(credential),
             "quorvane-voice-v2\\n<identity>\\n<challenge>") -> "OK" or
             "ERR unauthorized"; with --no-token "ERR token authentication
             disabled" instead of the challenge
  anything else first -> "ERR expected HELLO", and the connection closes
  accepted: the server sends "UPDATE2 <hash> <gain> <pan>,..." --update-hz
  times a second and "PING" every --ping-s seconds (the plugin answers "OK");
  the plugin's own "PING" is answered with "OK".

The roster names the players: one per line, "<certificate hash> <name>
<walk>", where walk is one of
  stand X Y
  orbit RADIUS PERIOD_S PHASE_DEG     a circle round the origin, clockwise
                                      from north, starting PHASE_DEG round
  line X1 Y1 X2 Y2 PERIOD_S           there and back along a segment
in metres, y pointing north. A listener faces north; a connecting identity
not in the roster listens from the origin. Gain is 1 up to --full-m and falls
linearly to 0 at --range-m; players beyond it are left out of the line, so the
plugin silences them. Pan is the sine of the bearing from the listener's
facing: -1 fully left (west), +1 fully right (east).

Credentials come from --credentials, a JSON object of identity -> credential
(the reference web service writes it), read again at every HELLO2. The api
key and the credentials never appear in the log.

With --control FILE the server looks for FILE every 0.2 s: when it holds
"stop SECONDS", the server deletes it, closes every connection and its
listening socket as a stopped server would, and listens again on the same
port after that many seconds (an outage on demand, for the demo).
"""
import argparse
import hashlib
import hmac
import json
import math
import os
import secrets
import signal
import socket
import sys
import threading
import time

max_line = 8190
control_poll_s = 0.2
handshake_timeout_s = 10
challenge_bytes = 32
label = b"quorvane-voice-v2"
hello2_words = 3  # HELLO2, identity, json
hello_words = 4   # HELLO, api key, identity, json


class Walk:
    def __init__(self, words, where):
        kinds = {"stand": 2, "orbit": 3, "line": 5}
        if not words or words[0] not in kinds or len(words) != kinds[words[0]] + 1:
            raise ValueError("%s: a walk is 'stand X Y', 'orbit R PERIOD PHASE' or 'line X1 Y1 X2 Y2 PERIOD'" % where)
        self.kind = words[0]
        self.args = [float(w) for w in words[1:]]
        if self.kind == "orbit" and self.args[1] <= 0 or self.kind == "line" and self.args[4] <= 0:
            raise ValueError("%s: the period must be above 0" % where)

    def position(self, t):
        a = self.args
        if self.kind == "stand":
            return a[0], a[1]
        if self.kind == "orbit":
            angle = math.radians(a[2]) + 2 * math.pi * t / a[1]
            return a[0] * math.sin(angle), a[0] * math.cos(angle)
        phase = (t / a[4]) % 1.0
        f = 2 * phase if phase < 0.5 else 2 - 2 * phase
        return a[0] + (a[2] - a[0]) * f, a[1] + (a[3] - a[1]) * f


def read_roster(path):
    players = []
    with open(path) as f:
        for number, line in enumerate(f, 1):
            words = line.split("#", 1)[0].split()
            if not words:
                continue
            where = "%s:%d" % (path, number)
            if len(words) < 3:
                raise ValueError("%s: expected '<hash> <name> <walk>'" % where)
            players.append((words[0], words[1], Walk(words[2:], where)))
    return players


class World:
    def __init__(self, players, full_m, range_m):
        self.players = players
        self.full_m = full_m
        self.range_m = range_m
        self.started = time.monotonic()

    def now(self):
        return time.monotonic() - self.started

    def name(self, identity):
        for hash_, name, _ in self.players:
            if hash_.lower() == identity.lower():
                return name
        return None

    def heard_by(self, identity, t):
        """(hash, name, gain, pan) of every player the listener hears at t."""
        lx, ly = 0.0, 0.0
        for hash_, _, walk in self.players:
            if hash_.lower() == identity.lower():
                lx, ly = walk.position(t)
        heard = []
        for hash_, name, walk in self.players:
            if hash_.lower() == identity.lower():
                continue
            x, y = walk.position(t)
            dx, dy = x - lx, y - ly
            d = math.hypot(dx, dy)
            if d >= self.range_m:
                continue
            gain = 1.0 if d <= self.full_m else (self.range_m - d) / (self.range_m - self.full_m)
            pan = dx / d if d > 1e-6 else 0.0
            heard.append((hash_, name, gain, pan))
        return heard


def auth_response(credential, identity, challenge):
    key = hashlib.sha256(credential.encode()).digest()
    message = label + b"\n" + identity.encode() + b"\n" + challenge.encode()
    return hmac.new(key, message, hashlib.sha256).hexdigest()


class Log:
    def __init__(self):
        self.lock = threading.Lock()

    def __call__(self, text):
        with self.lock:
            print("falloff: " + text, flush=True)


def short(identity):
    return identity[:8] + "..." if len(identity) > 11 else identity


class Connection:
    def __init__(self, server, sock, peer, number):
        self.server = server
        self.sock = sock
        self.peer = "%s:%d" % peer
        self.number = number
        self.pending = b""
        self.send_lock = threading.Lock()
        self.open = True

    def drop(self):
        """Ends the connection from the server's side, as a stopped server does."""
        self.open = False
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def log(self, text):
        self.server.log("[%d %s] %s" % (self.number, self.peer, text))

    def send(self, line):
        with self.send_lock:
            self.sock.sendall(line.encode() + b"\n")

    def read_line(self):
        """The next line without its LF (and CR), or None when the plugin
        closed, went quiet past the time-out or sent an over-long line."""
        while b"\n" not in self.pending:
            if len(self.pending) > max_line:
                self.log("line longer than %d characters; closing" % max_line)
                return None
            try:
                data = self.sock.recv(4096)
            except socket.timeout:
                return None
            except OSError:
                return None
            if not data:
                return None
            self.pending += data
        line, self.pending = self.pending.split(b"\n", 1)
        return line.rstrip(b"\r").decode("ascii", "replace")

    def handshake(self):
        """The identity the connection was accepted for, or None."""
        self.sock.settimeout(handshake_timeout_s)
        line = self.read_line()
        if line is None:
            self.log("no greeting")
            return None
        words = line.split(" ")
        if words[0] == "HELLO" and len(words) >= hello_words:
            return self.legacy(words[1], words[2])
        if words[0] == "HELLO2" and len(words) >= hello2_words:
            return self.token(words[1])
        self.log("greeting is neither HELLO nor HELLO2; closing")
        self.send("ERR expected HELLO")
        return None

    def refuse(self, greeting, identity, why, answer="ERR unauthorized"):
        self.log("%s from %s: %s" % (greeting, short(identity), why))
        self.send(answer)
        return None

    def legacy(self, api_key, identity):
        expected = self.server.api_key
        if not expected or not hmac.compare_digest(api_key.encode(), expected.encode()):
            return self.refuse("HELLO", identity, "api key refused")
        self.log("HELLO from %s: api key accepted (legacy mode)" % short(identity))
        self.send("OK")
        return identity

    def token(self, identity):
        if self.server.no_token:
            return self.refuse("HELLO2", identity, "token authentication is disabled here",
                               "ERR token authentication disabled")
        credential = self.server.credential_of(identity)
        if not credential:
            return self.refuse("HELLO2", identity, "no credential known for this identity")
        challenge = secrets.token_hex(challenge_bytes)
        self.send("CHALLENGE " + challenge)
        line = self.read_line()
        if line is None or not line.startswith("AUTH "):
            return self.refuse("HELLO2", identity, "no AUTH after the challenge")
        if not hmac.compare_digest(line[5:].encode(), auth_response(credential, identity, challenge).encode()):
            return self.refuse("HELLO2", identity, "challenge answered wrongly")
        self.log("HELLO2 from %s: challenge answered with the right credential (token mode)" % short(identity))
        self.send("OK")
        return identity

    def updates(self, identity):
        period = 1.0 / self.server.update_hz
        next_ping = time.monotonic() + self.server.ping_s
        sent = 0
        while self.open:
            t = self.server.world.now()
            heard = self.server.world.heard_by(identity, t)
            line = "UPDATE2 " + ",".join("%s %.3f %.3f" % (h, g, p) for h, _, g, p in heard)
            try:
                self.send(line.rstrip())
                if time.monotonic() >= next_ping:
                    self.send("PING")
                    next_ping += self.server.ping_s
            except OSError:
                break
            sent += 1
            time.sleep(period)
        return sent

    def run(self):
        try:
            identity = self.handshake()
            if identity is None:
                return
            name = self.server.world.name(identity)
            where = " (%s)" % name if name else " (not in the roster: at the origin)"
            self.log("listener %s%s" % (short(identity), where))
            self.sock.settimeout(None)
            sender = threading.Thread(target=lambda: self.log("sent %d updates" % self.updates(identity)), daemon=True)
            sender.start()
            while True:
                line = self.read_line()
                if line is None:
                    break
                if line == "PING":
                    self.send("OK")
                    self.log("keepalive PING from the plugin answered")
            self.open = False
            sender.join()
        except OSError as e:
            self.log("connection error: %s" % e)
        finally:
            self.open = False
            self.server.forget(self)
            try:
                self.sock.close()
            except OSError:
                pass
            self.log("closed")


class Server:
    def __init__(self, args, world):
        self.api_key = args.api_key
        self.no_token = args.no_token
        self.credentials = args.credentials
        self.update_hz = args.update_hz
        self.ping_s = args.ping_s
        self.world = world
        self.control = args.control
        self.log = Log()
        self.live_lock = threading.Lock()
        self.live = set()

    def forget(self, connection):
        with self.live_lock:
            self.live.discard(connection)

    def requested_stop_s(self):
        """Seconds of outage asked for through the control file, or None."""
        if not self.control:
            return None
        try:
            with open(self.control) as f:
                words = f.read().split()
            os.remove(self.control)
        except OSError:
            return None
        if len(words) == 2 and words[0] == "stop":
            try:
                return max(0.0, float(words[1]))
            except ValueError:
                pass
        self.log("control file ignored: expected 'stop SECONDS'")
        return None

    def listen(self, host, port):
        listener = socket.create_server((host, port))
        listener.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        listener.settimeout(control_poll_s)
        return listener

    def outage(self, listener, seconds):
        listener.close()
        with self.live_lock:
            dropped = list(self.live)
        for connection in dropped:
            connection.drop()
        self.log("stopped for %g s: listener and %d connection(s) closed" % (seconds, len(dropped)))
        time.sleep(seconds)

    def credential_of(self, identity):
        if not self.credentials:
            return None
        try:
            with open(self.credentials) as f:
                known = json.load(f)
        except (OSError, ValueError):
            return None
        value = known.get(identity) if isinstance(known, dict) else None
        return value if isinstance(value, str) else None

    def serve(self, host, port, port_file):
        listener = self.listen(host, port)
        bound = listener.getsockname()[1]
        self.log("listening on %s:%d (%d players, range %.0f m, %g updates/s)" %
                 (host, bound, len(self.world.players), self.world.range_m, self.update_hz))
        if port_file:
            with open(port_file + ".tmp", "w") as f:
                f.write("%d\n" % bound)
            os.replace(port_file + ".tmp", port_file)
        number = 0
        while True:
            stop_s = self.requested_stop_s()
            if stop_s is not None:
                self.outage(listener, stop_s)
                listener = self.listen(host, bound)
                self.log("listening again on %s:%d" % (host, bound))
            try:
                sock, peer = listener.accept()
            except socket.timeout:
                continue
            sock.settimeout(None)
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            number += 1
            connection = Connection(self, sock, peer, number)
            with self.live_lock:
                self.live.add(connection)
            threading.Thread(target=connection.run, daemon=True).start()


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--roster", required=True)
    ap.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    ap.add_argument("--port", type=int, default=8890, help="0 picks a free port (default 8890)")
    ap.add_argument("--port-file", help="file that receives the port once the server listens")
    ap.add_argument("--api-key", default="", help="shared key of legacy mode; empty refuses every HELLO")
    ap.add_argument("--credentials", help="JSON file of identity -> credential")
    ap.add_argument("--no-token", action="store_true", help="answer HELLO2 as a server without tokens")
    ap.add_argument("--update-hz", type=float, default=10.0)
    ap.add_argument("--ping-s", type=float, default=5.0)
    ap.add_argument("--full-m", type=float, default=2.0)
    ap.add_argument("--range-m", type=float, default=30.0)
    ap.add_argument("--max-life-s", type=float, default=0, help="stop after this long (0: run until stopped)")
    ap.add_argument("--control", help="file that may ask for an outage: 'stop SECONDS'")
    args = ap.parse_args()
    if args.update_hz <= 0 or args.ping_s <= 0 or not 0 <= args.full_m < args.range_m:
        ap.error("need update-hz > 0, ping-s > 0 and 0 <= full-m < range-m")
    try:
        world = World(read_roster(args.roster), args.full_m, args.range_m)
    except (OSError, ValueError) as e:
        ap.error(str(e))
    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
    if args.max_life_s > 0:
        threading.Timer(args.max_life_s, lambda: os._exit(0)).start()
    try:
        Server(args, world).serve(args.host, args.port, args.port_file)
    except KeyboardInterrupt:
        return 0
    return 0


if __name__ == "__main__":
    sys.exit(main())

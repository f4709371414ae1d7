#!/usr/bin/env python3
"""quorvane-voice-check against the reference falloff server and web service
(which conform) and against a table of broken peers, each a few lines of
script here, each of which must be caught with the right reason.

  check_test.py GROUP --checker PROGRAM [--emulator WINE] [--web-peer-dir DIR]

GROUP is falloff, web or release (release also runs the command-line misuse
cases). With --emulator the checker is a Windows program run under it; file
names handed to it then go through Wine's Z: drive. --web-peer-dir is the
web_peer fixture's folder: its certificate serves the web peers here, and its
CA is trusted by the system (under Wine) or passed with --ca.

Every case runs the checker with --json and compares the exit code and the
set of problem reasons exactly; the conforming cases also run in text mode
and end in the summary line. No output may hold the api key or the
credential. Cases run a few at a time: most of their time is the 5-second
waits that the plugin's rules prescribe.
"""
import argparse
import concurrent.futures
import hashlib
import hmac
import http.server
import json
import os
import secrets
import socket
import subprocess
import sys
import tempfile
import threading
import time
import zipfile

root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
reference = os.path.join(root, "tools", "reference")
sys.path.insert(0, reference)
from tls import TlsHTTPServer, server_context  # noqa: E402

IDENTITY = "5eed0f2a9c4b7d1e3a6c8f0b2d4e6a8c0e2f4a6b"
CREDENTIAL = "vc1." + "Qx_-" * 10 + "abc"
API_KEY = "SHARED-KEY-2f7c"
H1 = "a1d4c7f0e3b6a9d2c5f8e1b4a7d0c3f6e9b2a5d8"
H2 = "b2e5d8a1f4c7b0e3d6a9f2c5b8e1d4a7f0c3b6e9"
GOOD_UPDATE = "UPDATE2 %s 0.500 -0.250,%s 1.000 0.300" % (H1, H2)
FROM = "0.2.7-alpha"
workers = 4
case_timeout_s = 120

args = None
scratch = tempfile.mkdtemp(prefix="qv_check_")


def checker_path(path):
    """A file name as the checker sees it."""
    return "Z:" + path if args.emulator else path


def run_checker(argv, timeout=case_timeout_s):
    command = ([args.emulator] if args.emulator else []) + [args.checker] + argv
    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)
    return done.returncode, done.stdout.decode("utf-8", "replace"), done.stderr.decode("utf-8", "replace")


def emulator_lost_output(code, out, err):
    """Under Wine, now and then (about one run in a hundred, with several
    running side by side) a program's whole output never reaches the pipe,
    though the program wrote it and exited normally; such a run is made
    again, once. Natively an empty output always fails."""
    if args.emulator and not out and not err and code in (0, 1, 2):
        print("(the emulator lost a run's output; running it again)", flush=True)
        return True
    return False


def run_checker_again_if_lost(argv):
    """The checker's run, made once more when the emulator lost its output."""
    result = run_checker(argv)
    return run_checker(argv) if emulator_lost_output(*result) else result


def write(name, text, mode="w"):
    path = os.path.join(scratch, name)
    with open(path, mode) as f:
        f.write(text)
    return path


def auth_response(challenge):
    key = hashlib.sha256(CREDENTIAL.encode()).digest()
    message = b"quorvane-voice-v2\n" + IDENTITY.encode() + b"\n" + challenge.encode()
    return hmac.new(key, message, hashlib.sha256).hexdigest()


# ---- scripted falloff peers ---------------------------------------------------

class Conn:
    def __init__(self, sock):
        self.sock = sock
        self.sock.settimeout(20)
        self.pending = b""
        self.lock = threading.Lock()

    def read_line(self):
        while b"\n" not in self.pending:
            try:
                data = self.sock.recv(4096)
            except OSError:
                return None
            if not data:
                return None
            self.pending += data
        line, self.pending = self.pending.split(b"\n", 1)
        return line.rstrip(b"\r").decode("latin-1")

    def send(self, text, end="\n"):
        with self.lock:
            self.sock.sendall((text + end).encode("latin-1"))


class FalloffPeer:
    """Listens on loopback; every connection runs script(conn, number)."""

    def __init__(self, script):
        self.script = script
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.count = 0
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while True:
            try:
                sock, _ = self.listener.accept()
            except OSError:
                return
            self.count += 1
            threading.Thread(target=self.serve, args=(sock, self.count), daemon=True).start()

    def serve(self, sock, number):
        try:
            self.script(Conn(sock), number)
        except OSError:
            pass
        finally:
            try:
                sock.close()
            except OSError:
                pass

    def close(self):
        self.listener.close()


def legacy_ok(c):
    c.read_line()
    c.send("OK")


def token_ok(c):
    c.read_line()
    challenge = secrets.token_hex(32)
    c.send("CHALLENGE " + challenge)
    if c.read_line() != "AUTH " + auth_response(challenge):
        c.send("ERR unauthorized")
        raise OSError("wrong answer to the challenge")
    c.send("OK")


def session(c, lines, answer_ping=True, seconds=25):
    """Answers PING (or not) and sends the lines ten times a second until the
    checker goes."""
    gone = threading.Event()

    def reader():
        while True:
            line = c.read_line()
            if line is None:
                break
            if line == "PING" and answer_ping:
                try:
                    c.send("OK")
                except OSError:
                    break
        gone.set()

    threading.Thread(target=reader, daemon=True).start()
    end = time.monotonic() + seconds
    while not gone.is_set() and time.monotonic() < end:
        for line in lines:
            try:
                c.send(line)
            except OSError:
                return
        time.sleep(0.1)


def legacy_then(lines, **kw):
    return lambda c, n: (legacy_ok(c), session(c, lines, **kw))


def hold(seconds):
    time.sleep(seconds)


def answer_hello(reply, then_hold=8):
    def script(c, n):
        c.read_line()
        c.send(reply)
        hold(then_hold)
    return script


def answer_auth(reply, then_hold=8):
    def script(c, n):
        c.read_line()
        c.send("CHALLENGE " + secrets.token_hex(32))
        c.read_line()
        if reply is not None:
            c.send(reply)
        hold(then_hold)
    return script


def fallback_server(c, n):
    if n == 1:
        c.read_line()
        c.send("ERR token authentication disabled")
        hold(2)
    else:
        legacy_ok(c)
        session(c, [GOOD_UPDATE])


def stall(c, n):
    legacy_ok(c)
    c.send(GOOD_UPDATE)
    c.send("UPDATE2 %s 0.5" % H1, end="")
    while c.read_line() is not None:
        pass


def drip(c, n):
    legacy_ok(c)
    if c.read_line() == "PING":
        c.send("OK")
    c.send(GOOD_UPDATE)
    c.send("UPDATE2 ", end="")
    for _ in range(60):
        c.send("a", end="")
        time.sleep(1)


def close_after_ok(c, n):
    legacy_ok(c)
    # The checker's PING read first: closing with it unread would reset the
    # connection instead of closing it.
    c.read_line()


def echo_secrets(c, n):
    hello = c.read_line()
    c.send("ERR unauthorized: I got " + hello + " and know " + CREDENTIAL + " too")
    hold(1)


too_many = "UPDATE2 " + ",".join("h%d 0.5 0" % i for i in range(513))
long_line = "UPDATE2 %s 0.5 0," % H1 + "x" * 9000


def falloff_cases(reference_port, unused_port):
    legacy = ["--api-key", API_KEY]
    token = ["--credential", checker_path(write("token.txt", CREDENTIAL + "\r\n")), "--identity", IDENTITY]
    return [
        # name, peer script (None: the reference server), options, exit code, reasons
        ("reference, token mode", None, token, 0, []),
        ("reference, legacy mode", None, legacy, 0, []),
        ("reference, both modes", None, token + legacy, 0, []),
        ("challenge of 63 digits", answer_hello("CHALLENGE " + "a" * 63), token, 1, ["challenge_format"]),
        ("challenge with a letter past f", answer_hello("CHALLENGE " + "g" * 64), token, 1, ["challenge_format"]),
        ("no reply to AUTH", answer_auth(None), token, 1, ["no_reply_to_auth"]),
        ("ERR misspelt", answer_hello("ERR unauthorised"), legacy, 1, ["unrecognised_err"]),
        ("ERR with a trailing blank", answer_hello("ERR token authentication disabled "), token, 1,
         ["unrecognised_err"]),
        ("ERR unauthorized to AUTH", answer_auth("ERR unauthorized: unknown credential"), token, 1, ["unauthorized"]),
        ("ERR expected HELLO, no api key", answer_hello("ERR expected HELLO2 or HELLO"), token, 1,
         ["token_unavailable"]),
        ("no tokens, fallback to the api key", fallback_server, token + legacy, 1, ["token_unavailable"]),
        ("OK without a challenge", answer_hello("OK"), token, 1, ["unexpected_reply"]),
        ("gain not a number", legacy_then(["UPDATE2 %s loud 0.5,%s 0.5 0" % (H1, H2)]), legacy, 1, ["bad_gain"]),
        ("gain with a decimal comma", legacy_then(["UPDATE2 %s 1,0 0.5" % H1]), legacy, 1, ["decimal_comma"]),
        ("gain above 1", legacy_then(["UPDATE2 %s 1.5 0" % H1]), legacy, 1, ["gain_out_of_range"]),
        ("pan not a number", legacy_then(["UPDATE2 %s 0.5 left" % H1]), legacy, 1, ["bad_pan"]),
        ("pan below -1", legacy_then(["UPDATE2 %s 0.5 -3" % H1]), legacy, 1, ["pan_out_of_range"]),
        ("hash of 39 digits", legacy_then(["UPDATE2 %s 0.5 0" % H1[:39]]), legacy, 1, ["bad_hash"]),
        ("same hash twice", legacy_then(["UPDATE2 %s 0.5 0,%s 0.7 0" % (H1, H1.upper())]), legacy, 1,
         ["duplicate_hash"]),
        ("513 speakers", legacy_then([too_many]), legacy, 1, ["too_many_speakers", "bad_hash"]),
        ("9000-character line", legacy_then([long_line]), legacy, 1, ["line_too_long"]),
        ("half a line, then nothing", stall, legacy, 1, ["partial_line_stall"]),
        ("a line a byte a second", drip, legacy + ["--seconds", "1"], 1, ["slow_line"]),
        ("no answer to PING", legacy_then([GOOD_UPDATE], answer_ping=False), legacy, 1, ["no_ping_answer"]),
        ("closed after OK", close_after_ok, legacy, 1, ["closed"]),
        ("unknown lines", legacy_then([GOOD_UPDATE, "update2 %s 0.5 0" % H1]), legacy, 1, ["unknown_line"]),
        ("a server that echoes the secrets", echo_secrets, token + legacy, 1, ["unauthorized"]),
        ("nothing listens", "unused", legacy, 2, None),
    ]


# ---- scripted web peers -------------------------------------------------------

# The fixture's certificate names localhost and 127.0.0.1; WinHTTP under Wine
# matches the name only.
WEB_HOST = "localhost"


def release(version="0.2.8", host=WEB_HOST, **changes):
    doc = {"version": version, "revoked": False}
    for os_name, ext in (("windows", "dll"), ("linux", "so")):
        name = "Quorvane-Voice-v%s.%s" % (version, ext)
        doc[os_name + "_plugin_filename"] = name
        doc[os_name + "_plugin_url"] = "https://%s/downloads/voice/%s" % (host, name)
    for key, value in changes.items():
        if value is None:
            doc.pop(key, None)
        else:
            doc[key] = value
    return 200, json.dumps(doc), {}


class WebPeer:
    """HTTPS with the fixture's certificate; routes map a path to (status,
    body, headers)."""

    def __init__(self, routes):
        cert_dir = args.web_peer_dir
        context = server_context(os.path.join(cert_dir, "server.pem"), os.path.join(cert_dir, "server_key.pem"))

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *a):
                pass

            def answer(self):
                length = int(self.headers.get("Content-Length", "0") or 0)
                if length:
                    self.rfile.read(length)
                status, body, headers = routes.get(self.path.split("?")[0], (404, "{}", {}))
                data = body.encode()
                self.send_response_only(status)
                for k, v in headers.items():
                    self.send_header(k, v)
                self.send_header("Content-Length", str(len(data)))
                self.send_header("Connection", "close")
                self.end_headers()
                self.wfile.write(data)
                self.close_connection = True

            do_GET = answer
            do_POST = answer

        self.server = TlsHTTPServer(("127.0.0.1", 0), Handler, context)
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, kwargs={"poll_interval": 0.1}, daemon=True).start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()


def web_args(port):
    out = ["--web-host", WEB_HOST, "--web-port", str(port), "--from", FROM]
    if not args.emulator:
        out += ["--ca", os.path.join(args.web_peer_dir, "ca.pem")]
    return out


start_ok = (201, json.dumps({"status": "pending", "code": "ABCD-12", "secret": "s3cr3t-poll",
                             "approval_secret": "s3cr3t-approve"}), {})
status_pending = (200, json.dumps({"status": "pending"}), {})
stable = "/api/voice/releases/stable.json"
start = "/api/voice/link/start"
status = "/api/voice/link/status"


def web_cases():
    padding = "x" * 5000
    return [
        # name, routes (None: the reference service), extra options, exit code, reasons
        ("reference", None, [], 0, []),
        ("reference with --link", None, ["--link"], 0, []),
        ("no Linux fields", {stable: release(linux_plugin_filename=None, linux_plugin_url=None)}, [], 1,
         ["field_missing"]),
        ("file name in capitals", {stable: release(windows_plugin_filename="Quorvane-Voice-v0.2.8.DLL")}, [], 1,
         ["file_name_differs"]),
        ("address on another host",
         {stable: release(linux_plugin_url="https://cdn.example.org/downloads/voice/Quorvane-Voice-v0.2.8.so")},
         [], 1, ["url_differs"]),
        ("older version", {stable: release("0.2.6")}, [], 1, ["not_newer"]),
        ("equal version", {stable: release(FROM)}, [], 1, ["not_newer"]),
        ("revoked", {stable: release(revoked=True)}, [], 1, ["revoked"]),
        ("moved with 301", {stable: (301, "", {"Location": "https://localhost/stable.json"})}, [], 1, ["redirect"]),
        ("body over 4095 bytes",
         {stable: (200, '{"notes":"%s",%s' % (padding, release()[1][1:]), {})}, [], 1,
         ["body_too_long", "version_missing"]),
        ("start without approval_secret",
         {stable: release(), start: (201, json.dumps({"status": "pending", "code": "ABCD-12", "secret": "s3"}), {})},
         ["--link"], 1, ["link_start_shape"]),
        ("status gone at once", {stable: release(), start: start_ok, status: (410, '{"status":"gone"}', {})},
         ["--link"], 1, ["link_status_gone"]),
        ("start and status as expected", {stable: release(), start: start_ok, status: status_pending}, ["--link"],
         0, []),
        ("nothing listens", "unused", [], 2, None),
    ]


# ---- release -------------------------------------------------------------------

def fake_dll(version):
    pe = 0x80
    head = bytearray(0x200)
    head[0:2] = b"MZ"
    head[0x3C:0x40] = pe.to_bytes(4, "little")
    head[pe:pe + 4] = b"PE\0\0"
    head[pe + 4:pe + 6] = (0x8664).to_bytes(2, "little")
    head[pe + 22:pe + 24] = (0x2022).to_bytes(2, "little")
    return bytes(head) + b"\0QuorvaneVoice/" + version.encode() + b"\0" + os.urandom(64)


def fake_so(version):
    head = bytearray(64)
    head[0:6] = b"\x7fELF\x02\x01"
    head[16:18] = (3).to_bytes(2, "little")
    head[18:20] = (62).to_bytes(2, "little")
    return bytes(head) + b"\0QuorvaneVoice/" + version.encode() + b"\0" + os.urandom(64)


def next_version(version):
    numbers = version.split("-", 1)[0].split(".")
    return "%s.%s.%d" % (numbers[0], numbers[1], int(numbers[2]) + 1)


def release_cases(own):
    new = next_version(own)
    libs = {}
    for name, data in (("good.dll", fake_dll(new)), ("good.so", fake_so(new)), ("old.dll", fake_dll(own))):
        libs[name] = checker_path(write(name, data, "wb"))
    good = ["--windows", libs["good.dll"], "--linux", libs["good.so"]]

    def out(name):
        return checker_path(os.path.join(scratch, name))

    return [
        # name, argv, exit code, reasons, files expected in the folder
        ("a release", ["release", new, "--out", out("r1"), "--web-host", "voice.example.org"] + good, 0, [],
         new),
        ("this build's own version", ["release", own, "--out", out("r2")] + good, 2, None, None),
        ("an older version", ["release", "0.1.0", "--out", out("r3")] + good, 2, None, None),
        ("no version", ["release", "0.3", "--out", out("r4")] + good, 2, None, None),
        ("a library of another version",
         ["release", new, "--out", out("r5"), "--windows", libs["old.dll"], "--linux", libs["good.so"]], 1,
         ["library_version"], None),
        ("the libraries swapped",
         ["release", new, "--out", out("r6"), "--windows", libs["good.so"], "--linux", libs["good.dll"]], 1,
         ["library_format"], None),
        ("no libraries named", ["release", new, "--out", out("r7")], 2, None, None),
        ("no command", [], 2, None, None),
        ("an unknown command", ["ping"], 2, None, None),
        ("an unknown option", ["web", "--host", "x"], 2, None, None),
        ("falloff without a key or credential", ["falloff", "127.0.0.1:1"], 2, None, None),
        ("falloff with a bad port", ["falloff", "127.0.0.1:99999", "--api-key", API_KEY], 2, None, None),
        ("a credential without its identity",
         ["falloff", "127.0.0.1:1", "--credential", checker_path(write("t2.txt", CREDENTIAL))], 2, None, None),
        ("a credential file without a credential",
         ["falloff", "127.0.0.1:1", "--credential", checker_path(write("t3.txt", "vc1.short\n")), "--identity",
          IDENTITY], 2, None, None),
        ("web with a bad --from", ["web", "--from", "v1"], 2, None, None),
        ("--seconds not a number", ["falloff", "127.0.0.1:1", "--api-key", API_KEY, "--seconds", "1.5"], 2, None,
         None),
    ]


# ---- running --------------------------------------------------------------------

def verdict(name, argv, code, expected_code, out, reasons, err=""):
    """An error text, or None when the run went as expected."""
    if API_KEY in out or CREDENTIAL in out:
        return "a secret is in the output"
    try:
        report = json.loads(out)
    except ValueError:
        return "exit %d, the output is not JSON: %r, errors %r" % (code, out[-400:], err[-400:])
    if code != expected_code or report.get("exit_code") != expected_code:
        return "exit %d (report %r), expected %d: %s" % (code, report.get("exit_code"), expected_code,
                                                        report.get("summary"))
    got = sorted({p["reason"] for p in report["problems"]})
    if reasons is not None and got != sorted(reasons):
        return "reasons %s, expected %s: %s" % (got, sorted(reasons), [p["text"] for p in report["problems"]])
    if not report["summary"].startswith("summary: "):
        return "no summary: %r" % report["summary"]
    return None


def text_verdict(code, expected_code, out):
    if API_KEY in out or CREDENTIAL in out:
        return "a secret is in the text output"
    last = out.rstrip("\n").split("\n")[-1]
    word = {0: "conforms", 1: "problems"}.get(expected_code)
    if code != expected_code or not last.startswith("summary: %s" % word if word else "summary: "):
        return "text run: exit %d, last line %r" % (code, last)
    return None


def run_cases(cases, one):
    failures = []
    with concurrent.futures.ThreadPoolExecutor(max_workers=workers) as pool:
        results = pool.map(lambda c: (c[0], one(c)), cases)
        for name, error in results:
            print("%-45s %s" % (name, "ok" if error is None else "FAILED: " + error), flush=True)
            if error is not None:
                failures.append(name)
    return failures


def start_process(argv, port_file):
    log = open(port_file + ".log", "w")
    proc = subprocess.Popen([sys.executable] + argv + ["--port", "0", "--port-file", port_file], stdout=log,
                            stderr=subprocess.STDOUT)
    for _ in range(300):
        if os.path.exists(port_file) and open(port_file).read().strip():
            return proc, int(open(port_file).read())
        if proc.poll() is not None:
            raise RuntimeError("%s ended at start: %s" % (argv[0], open(port_file + ".log").read()))
        time.sleep(0.05)
    raise RuntimeError("%s did not start" % argv[0])


def unused_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def group_falloff():
    credentials = write("credentials.json", json.dumps({IDENTITY: CREDENTIAL}))
    proc, port = start_process([os.path.join(reference, "falloff_server.py"), "--roster",
                                os.path.join(reference, "demo_roster.txt"), "--api-key", API_KEY, "--credentials",
                                credentials, "--max-life-s", "300"], os.path.join(scratch, "falloff.port"))
    try:
        def run(script, options, extra):
            peer = None
            if script is None:
                target = port
            elif script == "unused":
                target = unused_port()
            else:
                peer = FalloffPeer(script)
                target = peer.port
            argv = ["falloff", "127.0.0.1:%d" % target] + options
            if "--seconds" not in options:
                argv += ["--seconds", "2"]
            try:
                return run_checker_again_if_lost(argv + extra)
            finally:
                if peer:
                    peer.close()

        def one(case):
            name, script, options, expected_code, reasons = case
            code, out, err = run(script, options, ["--json"])
            error = verdict(name, None, code, expected_code, out, reasons, err)
            if error is None and script is None:
                code, out, _ = run(script, options, [])
                error = text_verdict(code, expected_code, out)
            return error
        return run_cases(falloff_cases(port, None), one)
    finally:
        proc.kill()


def group_web():
    cert_dir = args.web_peer_dir
    proc, port = start_process([os.path.join(reference, "web_service.py"), "serve", "--cert",
                                os.path.join(cert_dir, "server.pem"), "--key", os.path.join(cert_dir, "server_key.pem"),
                                "--credentials", os.path.join(scratch, "web_credentials.json"), "--public-host",
                                WEB_HOST, "--release", "0.2.8", "--max-life-s", "300"],
                               os.path.join(scratch, "web.port"))
    try:
        def run(routes, options, extra):
            peer = None
            if routes is None:
                target = port
            elif routes == "unused":
                target = unused_port()
            else:
                peer = WebPeer(routes)
                target = peer.port
            try:
                return run_checker_again_if_lost(["web"] + web_args(target) + options + extra)
            finally:
                if peer:
                    peer.close()

        def one(case):
            name, routes, options, expected_code, reasons = case
            code, out, err = run(routes, options, ["--json"])
            error = verdict(name, None, code, expected_code, out, reasons, err)
            if error is None and routes is None:
                code, out, _ = run(routes, options, [])
                error = text_verdict(code, expected_code, out)
            return error
        failures = run_cases(web_cases(), one)
        failures += release_then_web()
        return failures
    finally:
        proc.kill()


def own_version():
    code, out, _ = run_checker_again_if_lost(["--version"])
    return out.split()[-1]


def release_then_web():
    """A release written by the checker is offered by the checker's web check."""
    new = next_version(own_version())
    dll = checker_path(write("served.dll", fake_dll(new), "wb"))
    so = checker_path(write("served.so", fake_so(new), "wb"))
    folder = os.path.join(scratch, "served")
    code, out, _ = run_checker_again_if_lost(["release", new, "--out", checker_path(folder), "--web-host",
                                              WEB_HOST, "--windows", dll, "--linux", so, "--json"])
    error = None if code == 0 else "release: exit %d: %s" % (code, out[-400:])
    if error is None:
        with open(os.path.join(folder, "stable.json")) as f:
            peer = WebPeer({stable: (200, f.read(), {})})
        try:
            argv = ["web"] + web_args(peer.port)
            argv[argv.index("--from") + 1] = own_version()
            code, out, _ = run_checker_again_if_lost(argv + ["--json"])
            error = verdict("served release", argv, code, 0, out, [])
        finally:
            peer.close()
    print("%-45s %s" % ("a written release, fetched", "ok" if error is None else "FAILED: " + error))
    return [] if error is None else ["a written release, fetched"]


def check_written(folder, version, windows, linux):
    names = ["Quorvane-Voice-v%s.dll" % version, "Quorvane-Voice-v%s.so" % version, "quorvane_voice.mumble_plugin",
             "stable.json"]
    if sorted(os.listdir(folder)) != sorted(names):
        return "the folder holds %s" % sorted(os.listdir(folder))
    with open(os.path.join(folder, names[0]), "rb") as f:
        if f.read() != windows:
            return "the DLL is not the one given"
    with zipfile.ZipFile(os.path.join(folder, names[2])) as z:
        if sorted(z.namelist()) != ["libquorvane_voice.so", "manifest.xml", "quorvane_voice.dll"]:
            return "the bundle holds %s" % z.namelist()
        if z.testzip() is not None or z.read("libquorvane_voice.so") != linux:
            return "the bundle's Linux library is not the one given"
        if "<version>%s</version>" % version.split("-")[0] not in z.read("manifest.xml").decode():
            return "the manifest has another version"
    with open(os.path.join(folder, "stable.json")) as f:
        doc = json.load(f)
    expected = release(version, "voice.example.org")[1]
    if doc != json.loads(expected):
        return "stable.json is %r" % doc
    return None


def group_release():
    own = own_version()
    new = next_version(own)

    def one(case):
        name, argv, expected_code, reasons, written = case
        code, out, _ = run_checker_again_if_lost(argv + ["--json"])
        error = verdict(name, argv, code, expected_code, out, reasons)
        folder = None
        if "--out" in argv:
            folder = argv[argv.index("--out") + 1]
            folder = folder[2:] if args.emulator else folder
        if error is None and written:
            error = check_written(folder, new, fake_dll_bytes[new], fake_so_bytes[new])
        elif error is None and folder and os.path.exists(folder) and os.listdir(folder):
            error = "files were written: %s" % os.listdir(folder)
        return error

    cases = release_cases(own)
    fake_dll_bytes[new] = open(os.path.join(scratch, "good.dll"), "rb").read()
    fake_so_bytes[new] = open(os.path.join(scratch, "good.so"), "rb").read()
    failures = run_cases(cases, one)
    code, out, _ = run_checker_again_if_lost(["--help"])
    if code != 0 or "usage:" not in out:
        print("--help: exit %d" % code)
        failures.append("--help")
    return failures


fake_dll_bytes = {}
fake_so_bytes = {}


def main():
    global args
    ap = argparse.ArgumentParser()
    ap.add_argument("group", choices=["falloff", "web", "release"])
    ap.add_argument("--checker", required=True)
    ap.add_argument("--emulator")
    ap.add_argument("--web-peer-dir")
    args = ap.parse_args()
    failures = {"falloff": group_falloff, "web": group_web, "release": group_release}[args.group]()
    print("%d failed" % len(failures) if failures else "all passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

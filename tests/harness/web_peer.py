#!/usr/bin/env python3
"""The web-service peer of the tests: HTTPS on loopback with certificates made
fresh for each test run, scriptable replies per path, and a record of every
request.

  web_peer.py start DIR   make the certificates in DIR, start the peer in the
                          background and return once it listens; DIR/peer.txt
                          then names its control port and the CA file
  web_peer.py stop DIR    stop the peer that `start` left in DIR

The peer is driven over plain HTTP on its loopback control port. Each test
opens a session of its own, so test programs running side by side never see
each other's replies or requests:

  POST   /session                      -> "ID TLS_PORT UNTRUSTED_PORT"
  PUT    /session/ID/reply?path=P&status=N[&delay_ms=M][&header=H]...[&drip_ms=D][&stall_after=B]
                                       body: the reply body
  GET    /session/ID/requests          -> every request, in arrival order
  DELETE /session/ID

Each header=H adds the line H ("Name: value") to the reply. drip_ms=D sends
the whole reply, status line included, two bytes every D ms; stall_after=B
sends the header block and the first B body bytes, then nothing more until
the session ends (the Content-Length still names the whole body).

TLS_PORT serves a certificate for localhost and 127.0.0.1 from DIR/ca.pem;
UNTRUSTED_PORT serves one from a second CA that nothing trusts. A request
whose path (with its query) has no reply gets 404. A request is recorded as
soon as it has arrived, before any delay, as four fields each written
"<length>:<bytes>": method, path, header lines ("Name: value\\r\\n" each, in
the order sent) and body.

The peer stops by itself after max_idle_s without a control request, and in
any case after max_life_s, so an interrupted run leaves nothing behind.
"""
import http.server
import os
import signal
import ssl
import subprocess
import sys
import threading
import time
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "reference"))
from tls import TlsHTTPServer, make_ca, make_server_cert, server_context  # noqa: E402

max_idle_s = 20 * 60
max_life_s = 90 * 60
start_wait_s = 30
delay_slice_s = 0.05
drip_bytes = 2
trusted_ca_name = "Quorvane Voice Test CA"
untrusted_ca_name = "Quorvane Voice Untrusted Test CA"


class Session:
    def __init__(self, peer, ident):
        self.ident = ident
        self.lock = threading.Lock()
        self.replies = {}
        self.requests = []
        self.closed = threading.Event()
        self.servers = [TlsServer(peer.trusted_context, self), TlsServer(peer.untrusted_context, self)]
        for s in self.servers:
            threading.Thread(target=s.serve_forever, kwargs={"poll_interval": 0.1}, daemon=True).start()

    def ports(self):
        return [s.server_address[1] for s in self.servers]

    def close(self):
        self.closed.set()
        for s in self.servers:
            s.shutdown()
            s.server_close()


class TlsHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def handle_one_request(self):
        try:
            self.raw_requestline = self.rfile.readline(65537)
            if not self.raw_requestline or not self.parse_request():
                self.close_connection = True
                return
            self.answer()
        except (OSError, ssl.SSLError):
            self.close_connection = True

    def answer(self):
        session = self.server.session
        length = int(self.headers.get("Content-Length", "0") or "0")
        body = self.rfile.read(length) if length > 0 else b""
        header_lines = "".join("%s: %s\r\n" % (k, v) for k, v in self.headers.items())
        with session.lock:
            session.requests.append((self.command, self.path, header_lines, body))
            reply = session.replies.get(self.path, Reply(404, b"no reply scripted"))
        self.hold(reply.delay_ms / 1000.0)
        head = "HTTP/1.1 %d %s\r\n" % (reply.status, self.responses.get(reply.status, ("",))[0])
        for line in ["Content-Type: application/json", "Content-Length: %d" % len(reply.body),
                     "Connection: close"] + reply.headers:
            head += line + "\r\n"
        data = (head + "\r\n").encode("latin-1") + reply.body
        if reply.drip_ms > 0:
            for i in range(0, len(data), drip_bytes):
                if session.closed.is_set():
                    break
                self.wfile.write(data[i:i + drip_bytes])
                self.hold(reply.drip_ms / 1000.0)
        elif reply.stall_after >= 0:
            self.wfile.write(data[:len(data) - len(reply.body) + reply.stall_after])
            self.hold(max_life_s)
        else:
            self.wfile.write(data)
        self.wfile.flush()
        self.close_connection = True

    def hold(self, seconds):
        """Waits, but no longer than the session lives."""
        end = time.monotonic() + seconds
        session = self.server.session
        while time.monotonic() < end and not session.closed.is_set():
            time.sleep(min(delay_slice_s, max(0.0, end - time.monotonic())))


class Reply:
    def __init__(self, status, body, delay_ms=0, headers=(), drip_ms=0, stall_after=-1):
        self.status, self.body, self.delay_ms = status, body, delay_ms
        self.headers, self.drip_ms, self.stall_after = list(headers), drip_ms, stall_after


class TlsServer(TlsHTTPServer):
    def __init__(self, context, session):
        self.session = session
        super().__init__(("127.0.0.1", 0), TlsHandler, context)


class Peer:
    def __init__(self, directory):
        self.trusted_context = self.context(directory, "server")
        self.untrusted_context = self.context(directory, "untrusted_server")
        self.lock = threading.Lock()
        self.sessions = {}
        self.next_id = 1
        self.last_control = time.monotonic()

    @staticmethod
    def context(directory, stem):
        return server_context(os.path.join(directory, stem + ".pem"), os.path.join(directory, stem + "_key.pem"))


def control_handler(peer):
    class ControlHandler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.0"

        def log_message(self, *args):
            pass

        def reply(self, status, body=b""):
            self.send_response_only(status)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def session(self, parts):
            with peer.lock:
                return peer.sessions.get(parts[1]) if len(parts) >= 2 else None

        def do_POST(self):
            peer.last_control = time.monotonic()
            if self.path != "/session":
                return self.reply(404)
            with peer.lock:
                ident = str(peer.next_id)
                peer.next_id += 1
            s = Session(peer, ident)
            with peer.lock:
                peer.sessions[ident] = s
            self.reply(200, ("%s %d %d" % (ident, *s.ports())).encode())

        def do_PUT(self):
            peer.last_control = time.monotonic()
            url = urllib.parse.urlsplit(self.path)
            parts = url.path.strip("/").split("/")
            s = self.session(parts)
            length = int(self.headers.get("Content-Length", "0") or "0")
            body = self.rfile.read(length) if length > 0 else b""
            query = urllib.parse.parse_qs(url.query, keep_blank_values=True)
            if not s or len(parts) != 3 or parts[2] != "reply" or "path" not in query:
                return self.reply(404)
            def number(name, default):
                return int(query.get(name, [str(default)])[0])

            with s.lock:
                s.replies[query["path"][0]] = Reply(number("status", 200), body, number("delay_ms", 0),
                                                    query.get("header", []), number("drip_ms", 0),
                                                    number("stall_after", -1))
            self.reply(200)

        def do_GET(self):
            peer.last_control = time.monotonic()
            parts = self.path.strip("/").split("/")
            s = self.session(parts)
            if not s or len(parts) != 3 or parts[2] != "requests":
                return self.reply(404)
            out = bytearray()
            with s.lock:
                for method, path, headers, body in s.requests:
                    for field in (method.encode(), path.encode("latin-1"), headers.encode("latin-1"), body):
                        out += b"%d:" % len(field) + field
            self.reply(200, bytes(out))

        def do_DELETE(self):
            peer.last_control = time.monotonic()
            parts = self.path.strip("/").split("/")
            with peer.lock:
                s = peer.sessions.pop(parts[1], None) if len(parts) == 2 else None
            if s:
                s.close()
            self.reply(200 if s else 404)

    return ControlHandler


def serve(directory):
    peer = Peer(directory)
    control = http.server.ThreadingHTTPServer(("127.0.0.1", 0), control_handler(peer))
    control.daemon_threads = True
    started = time.monotonic()

    def watchdog():
        while True:
            time.sleep(1)
            now = time.monotonic()
            if now - peer.last_control > max_idle_s or now - started > max_life_s:
                os._exit(0)

    threading.Thread(target=watchdog, daemon=True).start()
    info = os.path.join(directory, "peer.txt")
    with open(info + ".tmp", "w") as f:
        f.write("control_port=%d\nca_file=%s\n" % (control.server_address[1], os.path.join(directory, "ca.pem")))
    os.replace(info + ".tmp", info)
    control.serve_forever(poll_interval=0.2)


def stop(directory):
    pid_file = os.path.join(directory, "peer.pid")
    try:
        with open(pid_file) as f:
            pid = int(f.read().strip())
    except (OSError, ValueError):
        return
    # Only the peer that `start` left here: its id may have been reused once
    # it ended by itself.
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            ours = os.path.abspath(__file__).encode() in f.read()
    except OSError:
        ours = False
    if ours:
        try:
            os.kill(pid, signal.SIGTERM)
        except OSError:
            pass
    for name in ("peer.pid", "peer.txt"):
        try:
            os.unlink(os.path.join(directory, name))
        except OSError:
            pass


def start(directory):
    os.makedirs(directory, exist_ok=True)
    stop(directory)
    make_ca(directory, "ca", trusted_ca_name)
    make_server_cert(directory, "ca", "server")
    make_ca(directory, "untrusted_ca", untrusted_ca_name)
    make_server_cert(directory, "untrusted_ca", "untrusted_server")
    # Detached from ctest's pipes, or ctest would wait for the peer to end.
    with open(os.devnull, "r+b") as null:
        child = subprocess.Popen([sys.executable, os.path.abspath(__file__), "serve", directory], stdin=null,
                                 stdout=null, stderr=null, start_new_session=True)
    with open(os.path.join(directory, "peer.pid"), "w") as f:
        f.write(str(child.pid))
    info = os.path.join(directory, "peer.txt")
    deadline = time.monotonic() + start_wait_s
    while time.monotonic() < deadline:
        if os.path.exists(info):
            print(open(info).read(), end="")
            return 0
        if child.poll() is not None:
            print("web peer: ended at start with code %d" % child.returncode)
            return 1
        time.sleep(0.05)
    print("web peer: did not start within %d s" % start_wait_s)
    return 1


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in ("start", "stop", "serve"):
        print(__doc__)
        return 2
    command, directory = sys.argv[1], os.path.abspath(sys.argv[2])
    if command == "start":
        return start(directory)
    if command == "stop":
        stop(directory)
        return 0
    serve(directory)
    return 0


if __name__ == "__main__":
    sys.exit(main())

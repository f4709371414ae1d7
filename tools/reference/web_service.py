#!/usr/bin/env python3
"""A reference web service for the plugin: it links Mumble identities to
player credentials with a browser approval and describes the stable release.

  web_service.py make-certs DIR [--ca-name NAME]
      DIR/ca.pem (a CA of its own) and DIR/server.pem + server_key.pem (a
      certificate for localhost and 127.0.0.1 signed by it)
  web_service.py serve --cert FILE --key FILE --credentials FILE
                       [--port 443] [--public-host voice.quorvane.invalid] ...

Requests (HTTPS only; bodies are JSON):
  POST /api/voice/link/start        {"certificate_hash":"...","credential_required":true}
       -> 201 {"status":"pending","code":C,"secret":S,"approval_secret":A}
  GET  /account/voice?code=C&approval=A      the page the plugin opens in the
       player's browser; opening it approves the link and issues the
       credential ("vc1." and 43 characters)
  GET  /api/voice/link/status?code=C  with header X-Voice-Link-Secret: S
       -> 200 {"status":"pending"} | 200 {"status":"linked","credential":...}
          | 410 once the link is gone (unknown code, expired after 300 s)
          | 403 for a wrong secret
  GET  /api/voice/releases/stable.json  the release given by --release
  GET  /account                      the page named by the plugin when it
                                     cannot open a browser

Issued credentials are kept in --credentials (a JSON object of identity ->
credential, mode 0600, replaced atomically), where the reference falloff
server reads them. Secrets, approval secrets and credentials never appear
in the log.
"""
import argparse
import http.server
import json
import os
import secrets
import signal
import string
import sys
import threading
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tls import TlsHTTPServer, make_ca, make_server_cert, server_context  # noqa: E402

link_lifetime_s = 300
max_body = 4096
code_letters = string.ascii_uppercase


def new_code():
    return "".join(secrets.choice(code_letters) for _ in range(4)) + "-%02d" % secrets.randbelow(100)


def new_credential():
    return "vc1." + secrets.token_urlsafe(32)  # 32 bytes: 43 characters, no padding


def printable_identity(value):
    return isinstance(value, str) and 0 < len(value) < 128 and all(0x21 <= ord(c) <= 0x7E for c in value)


class Service:
    def __init__(self, args):
        self.credentials_path = args.credentials
        self.public_host = args.public_host
        self.release = args.release
        self.revoked = args.revoked
        self.lock = threading.Lock()
        self.links = {}  # code -> {identity, secret, approval, made, credential}
        self.log_lock = threading.Lock()

    def log(self, text):
        with self.log_lock:
            print("web: " + text, flush=True)

    def save_credential(self, identity, credential):
        try:
            with open(self.credentials_path) as f:
                known = json.load(f)
            if not isinstance(known, dict):
                known = {}
        except (OSError, ValueError):
            known = {}
        known[identity] = credential
        tmp = self.credentials_path + ".tmp"
        fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
        with os.fdopen(fd, "w") as f:
            json.dump(known, f, indent=1)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, self.credentials_path)

    def start(self, body):
        try:
            request = json.loads(body)
        except ValueError:
            request = None
        identity = request.get("certificate_hash") if isinstance(request, dict) else None
        if not printable_identity(identity):
            return 400, {"status": "invalid"}, "no usable certificate_hash"
        link = {"identity": identity, "secret": secrets.token_urlsafe(24), "approval": secrets.token_urlsafe(24),
                "made": time.monotonic(), "credential": None}
        with self.lock:
            code = new_code()
            while code in self.links:
                code = new_code()
            self.links[code] = link
        return 201, {"status": "pending", "code": code, "secret": link["secret"],
                     "approval_secret": link["approval"]}, "link %s for %s..." % (code, identity[:8])

    def live_link(self, code):
        link = self.links.get(code)
        if link and time.monotonic() - link["made"] > link_lifetime_s:
            del self.links[code]
            link = None
        return link

    def approve(self, query):
        code = query.get("code", [""])[0]
        approval = query.get("approval", [""])[0]
        with self.lock:
            link = self.live_link(code)
            if not link or not secrets.compare_digest(approval.encode(), link["approval"].encode()):
                return 403, "This approval link is not valid (any more).", "approval refused for code %s" % code
            if link["credential"] is None:
                link["credential"] = new_credential()
                self.save_credential(link["identity"], link["credential"])
        return 200, "Proximity voice approved. You can close this page.", \
            "code %s approved; credential issued for %s..." % (code, link["identity"][:8])

    def status(self, query, secret):
        code = query.get("code", [""])[0]
        with self.lock:
            link = self.live_link(code)
            if not link:
                return 410, {"status": "gone"}, "code %s is gone" % code
            if not secrets.compare_digest(secret.encode(), link["secret"].encode()):
                return 403, {"status": "forbidden"}, "code %s: wrong secret" % code
            if link["credential"] is None:
                return 200, {"status": "pending"}, "code %s pending" % code
            # Kept until the link expires: a plugin that could not save the
            # credential gets it again at its next poll.
            return 200, {"status": "linked", "credential": link["credential"]}, "code %s linked" % code

    def stable(self):
        # One file name and address per platform; each library reads its own.
        release = {"version": self.release, "revoked": self.revoked}
        for os_name, extension in (("windows", "dll"), ("linux", "so")):
            name = "Quorvane-Voice-v%s.%s" % (self.release, extension)
            release[os_name + "_plugin_filename"] = name
            release[os_name + "_plugin_url"] = "https://%s/downloads/voice/%s" % (self.public_host, name)
        return release


def handler(service):
    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *args):
            pass

        def reply(self, status, body, content_type):
            data = body.encode() if isinstance(body, str) else body
            self.send_response_only(status)
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(data)))
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.write(data)
            self.close_connection = True

        def json_reply(self, status, obj, note):
            service.log("%s %s -> %d (%s)" % (self.command, urllib.parse.urlsplit(self.path).path, status, note))
            self.reply(status, json.dumps(obj, separators=(",", ":")), "application/json")

        def page(self, status, text, note):
            service.log("%s %s -> %d (%s)" % (self.command, urllib.parse.urlsplit(self.path).path, status, note))
            html = "<!doctype html><title>Quorvane Voice</title><p>%s</p>\n" % text
            self.reply(status, html, "text/html; charset=utf-8")

        def do_POST(self):
            try:
                length = int(self.headers.get("Content-Length", "0"))
            except ValueError:
                length = -1
            if not 0 <= length <= max_body:
                return self.json_reply(400, {"status": "invalid"}, "body length")
            body = self.rfile.read(length)
            if self.path != "/api/voice/link/start":
                return self.json_reply(404, {"status": "unknown"}, "no such path")
            self.json_reply(*service.start(body))

        def do_GET(self):
            url = urllib.parse.urlsplit(self.path)
            query = urllib.parse.parse_qs(url.query)
            if url.path == "/api/voice/link/status":
                return self.json_reply(*service.status(query, self.headers.get("X-Voice-Link-Secret", "")))
            if url.path == "/api/voice/releases/stable.json":
                return self.json_reply(200, service.stable(), "release %s" % service.release)
            if url.path == "/account/voice":
                return self.page(*service.approve(query))
            if url.path == "/account":
                return self.page(200, "Open the approval link the plugin showed in Mumble.", "account page")
            self.json_reply(404, {"status": "unknown"}, "no such path")

    return Handler


def make_certs(directory, ca_name):
    os.makedirs(directory, exist_ok=True)
    make_ca(directory, "ca", ca_name)
    make_server_cert(directory, "ca", "server")
    print("web: CA %s, server certificate %s" % (os.path.join(directory, "ca.pem"),
                                                 os.path.join(directory, "server.pem")))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = ap.add_subparsers(dest="command", required=True)
    mk = sub.add_parser("make-certs")
    mk.add_argument("dir")
    mk.add_argument("--ca-name", default="Quorvane Voice Demo CA")
    sv = sub.add_parser("serve")
    sv.add_argument("--cert", required=True)
    sv.add_argument("--key", required=True)
    sv.add_argument("--credentials", required=True, help="JSON file of identity -> credential")
    sv.add_argument("--host", default="127.0.0.1")
    sv.add_argument("--port", type=int, default=443, help="0 picks a free port (default 443)")
    sv.add_argument("--port-file", help="file that receives the port once the service listens")
    sv.add_argument("--public-host", default="voice.quorvane.invalid",
                    help="the web host the plugin was built with (QV_WEB_HOST), used in download addresses")
    sv.add_argument("--release", default="0.2.8", help="version that stable.json describes")
    sv.add_argument("--revoked", action="store_true", help="mark that release revoked")
    sv.add_argument("--max-life-s", type=float, default=0, help="stop after this long (0: run until stopped)")
    args = ap.parse_args()
    if args.command == "make-certs":
        make_certs(args.dir, args.ca_name)
        return 0
    service = Service(args)
    server = TlsHTTPServer((args.host, args.port), handler(service), server_context(args.cert, args.key))
    port = server.server_address[1]
    service.log("listening on https://%s:%d (release %s)" % (args.host, port, args.release))
    if args.port_file:
        with open(args.port_file + ".tmp", "w") as f:
            f.write("%d\n" % port)
        os.replace(args.port_file + ".tmp", args.port_file)
    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
    if args.max_life_s > 0:
        threading.Timer(args.max_life_s, lambda: os._exit(0)).start()
    try:
        server.serve_forever(poll_interval=0.2)
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())

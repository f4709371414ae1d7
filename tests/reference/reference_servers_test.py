#!/usr/bin/env python3
"""The reference falloff server and web service, driven as a plugin and a
browser would drive them, including the answers an admin relies on when a
plugin gets something wrong."""
import hashlib
import hmac
import http.client
import json
import math
import os
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import unittest

root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
reference = os.path.join(root, "tools", "reference")
sys.path.insert(0, reference)
import falloff_server  # noqa: E402

identity = "5eed0f2a9c4b7d1e3a6c8f0b2d4e6a8c0e2f4a6b"
credential = "vc1." + "Q" * 43
hello_json = '{"version":"2.0","client":"quorvane-voice","build":"0.2.7-alpha","features":["spatial","challenge-auth"]}'


def read(path):
    with open(path) as f:
        return f.read()


def wait_for(path, proc):
    for _ in range(300):
        if os.path.exists(path) and read(path).strip():
            return int(read(path))
        if proc.poll() is not None:
            raise RuntimeError("server ended at start")
        time.sleep(0.05)
    raise RuntimeError("server did not start")


def start(args, port_file):
    """The server and its port; its log goes to PORT_FILE.log."""
    with open(port_file + ".log", "w") as log:
        proc = subprocess.Popen([sys.executable, *args, "--port", "0", "--port-file", port_file, "--max-life-s", "120"],
                                stdout=log, stderr=subprocess.STDOUT)
    return proc, wait_for(port_file, proc)


class Line:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=5)
        self.file = self.sock.makefile("rwb")

    def send(self, text):
        self.file.write(text.encode() + b"\n")
        self.file.flush()

    def read(self):
        return self.file.readline().decode().rstrip("\n")

    def close(self):
        self.sock.close()


class falloff_world(unittest.TestCase):
    def test_gain_falls_with_distance_and_pan_follows_the_bearing(self):
        walk = falloff_server.Walk
        world = falloff_server.World([
            ("me", "me", walk(["stand", "0", "0"], "x")),
            ("east", "e", walk(["stand", "16", "0"], "x")),   # (30-16)/28
            ("west", "w", walk(["stand", "-1", "0"], "x")),   # within full range
            ("north", "n", walk(["stand", "0", "30"], "x")),  # at the range: left out
            ("ne", "ne", walk(["stand", "3", "4"], "x")),
        ], 2.0, 30.0)
        heard = {h: (g, p) for h, _, g, p in world.heard_by("ME", 0)}
        self.assertEqual(set(heard), {"east", "west", "ne"})
        self.assertAlmostEqual(heard["east"][0], 0.5)
        self.assertAlmostEqual(heard["east"][1], 1.0)
        self.assertEqual(heard["west"], (1.0, -1.0))
        self.assertAlmostEqual(heard["ne"][0], 25 / 28)
        self.assertAlmostEqual(heard["ne"][1], 0.6)

    def test_walks(self):
        orbit = falloff_server.Walk(["orbit", "10", "8", "90"], "x")
        for t, (x, y) in [(0, (10, 0)), (2, (0, -10)), (4, (-10, 0)), (8, (10, 0))]:
            px, py = orbit.position(t)
            self.assertAlmostEqual(px, x, places=6)
            self.assertAlmostEqual(py, y, places=6)
        line = falloff_server.Walk(["line", "0", "0", "10", "0", "4"], "x")
        self.assertEqual([line.position(t)[0] for t in (0, 1, 2, 3, 4)], [0, 5, 10, 5, 0])
        for bad in (["orbit", "1", "0", "0"], ["line", "1"], ["fly", "1", "2"], []):
            with self.assertRaises(ValueError):
                falloff_server.Walk(bad, "roster:3")


class falloff_protocol(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        d = cls.dir.name
        roster = os.path.join(d, "roster.txt")
        with open(roster, "w") as f:
            f.write("# test roster\n%s you stand 0 0\n%s near stand 3 4\n%s far stand 100 0\n" %
                    (identity, "a" * 40, "b" * 40))
        creds = os.path.join(d, "credentials.json")
        with open(creds, "w") as f:
            json.dump({identity: credential}, f)
        server = os.path.join(reference, "falloff_server.py")
        base = [server, "--roster", roster, "--credentials", creds, "--api-key", "shared-key", "--update-hz", "20"]
        cls.proc, cls.port = start(base, os.path.join(d, "port"))
        cls.plain_proc, cls.plain_port = start(base + ["--no-token"], os.path.join(d, "plain_port"))

    @classmethod
    def tearDownClass(cls):
        for p in (cls.proc, cls.plain_proc):
            p.kill()
            p.wait()
        cls.dir.cleanup()

    def exchange(self, port, *lines):
        c = Line(port)
        replies = []
        for line in lines:
            c.send(line)
            replies.append(c.read())
        return c, replies

    def test_refusals(self):
        cases = [
            (self.port, ["HELLO wrong-key %s {}" % identity], ["ERR unauthorized"]),
            (self.port, ["HELLO2 %s %s" % ("c" * 40, hello_json)], ["ERR unauthorized"]),  # no credential known
            (self.port, ["GET / HTTP/1.1"], ["ERR expected HELLO"]),
            (self.plain_port, ["HELLO2 %s %s" % (identity, hello_json)], ["ERR token authentication disabled"]),
        ]
        for port, lines, expected in cases:
            with self.subTest(lines=lines):
                c, replies = self.exchange(port, *lines)
                self.assertEqual(replies, expected)
                c.close()

    def test_wrong_auth_is_refused(self):
        c, replies = self.exchange(self.port, "HELLO2 %s %s" % (identity, hello_json))
        self.assertRegex(replies[0], r"^CHALLENGE [0-9a-f]{64}$")
        # Keyed with the raw credential instead of its digest: refused.
        message = b"quorvane-voice-v2\n" + identity.encode() + b"\n" + replies[0][10:].encode()
        c.send("AUTH " + hmac.new(credential.encode(), message, hashlib.sha256).hexdigest())
        self.assertEqual(c.read(), "ERR unauthorized")
        c.close()

    def test_token_mode_then_updates_and_ping(self):
        c, replies = self.exchange(self.port, "HELLO2 %s %s" % (identity, hello_json))
        challenge = replies[0][10:]
        c.send("AUTH " + falloff_server.auth_response(credential, identity, challenge))
        self.assertEqual(c.read(), "OK")
        update = c.read()
        self.assertEqual(update, "UPDATE2 %s 0.893 0.600" % ("a" * 40))  # far one left out, no self
        c.send("PING")
        for _ in range(50):
            if c.read() == "OK":
                break
        else:
            self.fail("PING not answered")
        c.close()

    def test_legacy_mode(self):
        c, replies = self.exchange(self.port, "HELLO shared-key %s {}" % identity)
        self.assertEqual(replies, ["OK"])
        self.assertTrue(c.read().startswith("UPDATE2 "))
        c.close()

    def test_the_response_is_hmac_keyed_with_the_credential_digest(self):
        # Same construction as the plugin's: HMAC-SHA256 keyed with SHA256(credential).
        key = hashlib.sha256(b"vc1.x").digest()
        expected = hmac.new(key, b"quorvane-voice-v2\nid\n" + b"ab" * 32, hashlib.sha256).hexdigest()
        self.assertEqual(falloff_server.auth_response("vc1.x", "id", "ab" * 32), expected)


class falloff_outage(unittest.TestCase):
    """The control file stops the server for a while, as the demo does."""

    def test_stop_drops_connections_and_listens_again_on_the_same_port(self):
        with tempfile.TemporaryDirectory() as d:
            roster = os.path.join(d, "roster.txt")
            with open(roster, "w") as f:
                f.write("%s you stand 0 0\n" % identity)
            control = os.path.join(d, "control")
            proc, port = start([os.path.join(reference, "falloff_server.py"), "--roster", roster, "--api-key", "k",
                                "--control", control], os.path.join(d, "port"))
            try:
                c = Line(port)
                c.send("HELLO k %s {}" % identity)
                self.assertEqual(c.read(), "OK")
                with open(control + ".tmp", "w") as f:
                    f.write("stop 1.5\n")
                os.replace(control + ".tmp", control)
                while c.read():  # updates until the server closes
                    pass
                c.close()
                with self.assertRaises(ConnectionRefusedError):
                    socket.create_connection(("127.0.0.1", port), timeout=5).close()
                self.assertFalse(os.path.exists(control), "the request is taken")
                for _ in range(100):
                    try:
                        c = Line(port)
                        break
                    except ConnectionRefusedError:
                        time.sleep(0.05)
                else:
                    self.fail("the server did not come back")
                c.send("HELLO k %s {}" % identity)
                self.assertEqual(c.read(), "OK")
                c.close()
            finally:
                proc.kill()
                proc.wait()


class web_service(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        d = cls.dir.name
        service = os.path.join(reference, "web_service.py")
        subprocess.run([sys.executable, service, "make-certs", os.path.join(d, "certs")], check=True,
                       stdout=subprocess.DEVNULL)
        cls.creds = os.path.join(d, "credentials.json")
        cls.log = os.path.join(d, "port.log")
        cls.proc, cls.port = start([service, "serve", "--cert", os.path.join(d, "certs", "server.pem"),
                                    "--key", os.path.join(d, "certs", "server_key.pem"), "--credentials", cls.creds,
                                    "--public-host", "voice.example.org", "--release", "0.3.0"],
                                   os.path.join(d, "port"))
        cls.context = ssl.create_default_context(cafile=os.path.join(d, "certs", "ca.pem"))

    @classmethod
    def tearDownClass(cls):
        cls.proc.kill()
        cls.proc.wait()
        cls.dir.cleanup()

    def request(self, method, path, body=None, headers=None):
        c = http.client.HTTPSConnection("127.0.0.1", self.port, context=self.context, timeout=10)
        c.request(method, path, body=body, headers=headers or {})
        r = c.getresponse()
        data = r.read()
        c.close()
        return r.status, data

    def test_link_from_start_to_credential(self):
        status, body = self.request("POST", "/api/voice/link/start",
                                    json.dumps({"certificate_hash": identity, "credential_required": True}))
        self.assertEqual(status, 201)
        link = json.loads(body)
        self.assertEqual(link["status"], "pending")
        status_path = "/api/voice/link/status?code=" + link["code"]
        secret = {"X-Voice-Link-Secret": link["secret"]}
        self.assertEqual(self.request("GET", status_path, headers=secret), (200, b'{"status":"pending"}'))
        self.assertEqual(self.request("GET", status_path, headers={"X-Voice-Link-Secret": "guess"})[0], 403)
        self.assertEqual(self.request("GET", "/account/voice?code=%s&approval=guess" % link["code"])[0], 403)
        self.assertEqual(self.request("GET", "/account/voice?code=%s&approval=%s" %
                                      (link["code"], link["approval_secret"]))[0], 200)
        for _ in range(2):  # a plugin that failed to save gets it again
            status, body = self.request("GET", status_path, headers=secret)
            reply = json.loads(body)
            self.assertEqual((status, reply["status"]), (200, "linked"))
            self.assertRegex(reply["credential"], r"^vc1\.[A-Za-z0-9_-]{43}$")
        self.assertEqual(json.loads(read(self.creds)), {identity: reply["credential"]})
        self.assertEqual(os.stat(self.creds).st_mode & 0o777, 0o600)
        self.assertEqual(self.request("GET", "/api/voice/link/status?code=NONE-00", headers=secret)[0], 410)
        log = read(self.log)
        self.assertIn("code %s approved" % link["code"], log)
        for hidden in (link["secret"], link["approval_secret"], reply["credential"]):
            self.assertNotIn(hidden, log)

    def test_bad_starts(self):
        for body in (b"", b"not json", b'{"certificate_hash":""}', b'{"certificate_hash":"a b"}', b"[1]"):
            with self.subTest(body=body):
                self.assertEqual(self.request("POST", "/api/voice/link/start", body)[0], 400)
        self.assertEqual(self.request("GET", "/api/voice/nothing")[0], 404)

    def test_stable_release_names_the_expected_download(self):
        status, body = self.request("GET", "/api/voice/releases/stable.json")
        self.assertEqual(status, 200)
        self.assertEqual(json.loads(body), {
            "version": "0.3.0", "revoked": False,
            "windows_plugin_filename": "Quorvane-Voice-v0.3.0.dll",
            "windows_plugin_url": "https://voice.example.org/downloads/voice/Quorvane-Voice-v0.3.0.dll",
            "linux_plugin_filename": "Quorvane-Voice-v0.3.0.so",
            "linux_plugin_url": "https://voice.example.org/downloads/voice/Quorvane-Voice-v0.3.0.so"})


if __name__ == "__main__":
    unittest.main(verbosity=2)

"""Certificates made with the openssl command line, and a threaded HTTPS
server whose TLS handshakes run on each connection's own thread. Shared by
the reference web service and the tests' web peer."""
import http.server
import os
import ssl
import subprocess

cert_days = "3"
handshake_timeout_s = 10


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def make_ca(directory, stem, name):
    """DIR/STEM.pem and DIR/STEM_key.pem: a CA certificate with subject CN=NAME."""
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", cert_days,
            "-keyout", stem + "_key.pem", "-out", stem + ".pem", "-subj", "/CN=" + name,
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=directory)


def make_server_cert(directory, ca_stem, stem, names=("DNS:localhost", "IP:127.0.0.1")):
    """DIR/STEM.pem and DIR/STEM_key.pem: a server certificate for NAMES,
    signed by the CA that make_ca left under CA_STEM."""
    ext = os.path.join(os.path.abspath(directory), stem + ".ext")  # openssl runs inside DIR
    with open(ext, "w") as f:
        f.write("basicConstraints=CA:FALSE\n"
                "keyUsage=critical,digitalSignature,keyEncipherment\n"
                "extendedKeyUsage=serverAuth\n"
                "subjectAltName=" + ",".join(names) + "\n")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-sha256", "-keyout", stem + "_key.pem",
            "-out", stem + ".csr", "-subj", "/CN=" + names[0].split(":", 1)[1], cwd=directory)
    openssl("x509", "-req", "-sha256", "-days", cert_days, "-in", stem + ".csr", "-CA", ca_stem + ".pem",
            "-CAkey", ca_stem + "_key.pem", "-CAcreateserial", "-out", stem + ".pem", "-extfile", ext,
            cwd=directory)


def server_context(cert_file, key_file):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(cert_file, key_file)
    return ctx


class TlsHTTPServer(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, address, handler, context):
        self.context = context
        super().__init__(address, handler)

    def finish_request(self, request, client_address):
        # The handshake runs on the connection's own thread: a client that
        # refuses the certificate never holds up the next one.
        request.settimeout(handshake_timeout_s)
        try:
            tls = self.context.wrap_socket(request, server_side=True)
        except (OSError, ssl.SSLError):
            return
        try:
            self.RequestHandlerClass(tls, client_address, self)
        finally:
            try:
                tls.close()
            except OSError:
                pass

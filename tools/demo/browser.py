#!/usr/bin/env python3
"""The player's browser in the demo: it watches the file to which the
development library writes each address it would have opened, and opens each
new one against the local web service, as a player who reads the page and
approves would (the service's web host resolved to 127.0.0.1).

  browser.py --opened FILE --port PORT --ca CA.pem [--think-s 1.5]
             [--max-life-s 300]
"""
import argparse
import http.client
import ssl
import sys
import time
import urllib.parse

poll_s = 0.1


def shown(address):
    # The approval secret is the player's to see, not the demo log's.
    url = urllib.parse.urlsplit(address)
    query = "&".join(p if not p.startswith("approval=") else "approval=..." for p in url.query.split("&"))
    return "%s://%s%s?%s" % (url.scheme, url.netloc, url.path, query)


def open_address(address, port, context):
    url = urllib.parse.urlsplit(address)
    if url.scheme != "https":
        return "not an https address: refused"
    connection = http.client.HTTPSConnection("127.0.0.1", port, context=context, timeout=10)
    try:
        connection.request("GET", url.path + ("?" + url.query if url.query else ""), headers={"Host": url.netloc})
        response = connection.getresponse()
        page = response.read().decode("utf-8", "replace")
        text = page.split("<p>", 1)[-1].split("</p>", 1)[0]
        return "%d %s" % (response.status, text)
    except (OSError, ssl.SSLError, http.client.HTTPException) as e:
        return "failed: %s" % e
    finally:
        connection.close()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--opened", required=True)
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--ca", required=True)
    ap.add_argument("--think-s", type=float, default=1.5)
    ap.add_argument("--max-life-s", type=float, default=300, help="stop after this long, left behind or not")
    args = ap.parse_args()
    end = time.monotonic() + args.max_life_s
    # The service's certificate names 127.0.0.1; the page's own host name
    # goes into the Host header, as with a hosts-file entry.
    context = ssl.create_default_context(cafile=args.ca)
    done = 0
    while time.monotonic() < end:
        try:
            with open(args.opened) as f:
                lines = f.read().splitlines()
        except OSError:
            lines = []
        for address in lines[done:]:
            print("browser: opened %s" % shown(address), flush=True)
            time.sleep(args.think_s)
            print("browser: the player approves -> %s" % open_address(address, args.port, context), flush=True)
        done = max(done, len(lines))
        time.sleep(poll_s)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.exit(0)

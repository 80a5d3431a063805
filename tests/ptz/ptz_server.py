#!/usr/bin/env python3
# Stand-ins for the PTZ peers of the tests, on 127.0.0.1 only.
#
#   web     a recorder's web PTZ page: /ptz.php answers "OK" on a keep-alive
#           connection, /flood.php keeps sending (64 KiB every 5 ms, for a
#           minute at most) until the client goes, any other path 404;
#           requests whose query holds "holdclic" are held --hold seconds
#           before the answer.
#   camera  a camera's HTTP interface with Basic and/or Digest (qop=auth)
#           authentication, answering by the rules of --rules (a JSON list of
#           {"method", "path", "contains", "status", "body", "delay"}; the
#           first rule whose method and path match, and whose "contains" text
#           is in the query or body when given, answers; none: 404).
#           --refuse N answers 401 to the first N requests that carry good
#           credentials; --reset-isapi-put N resets the connection of the
#           first N PUTs to an /ISAPI/ path.
#   selftest  checks the camera's authentication with urllib's own Basic and
#           Digest handlers (good and wrong passwords) and exits 0 or 1.
#
# Every request goes to --record as one JSON line (method, target, path,
# query, headers, body, auth, status, peer) before it is answered. Prints
# "PORT <n>" once listening; ends by itself after --lifetime seconds.
import argparse
import base64
import hashlib
import http.server
import json
import os
import secrets
import socket
import ssl
import struct
import subprocess
import sys
import threading
import time
import urllib.parse
import urllib.request

REALM = "camera"


def md5(text):
    return hashlib.md5(text.encode("utf-8")).hexdigest()


def parse_digest(value):
    fields = {}
    for part in urllib.request.parse_http_list(value):
        key, _, val = part.partition("=")
        fields[key.strip().lower()] = val.strip().strip('"')
    return fields


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        pass

    def finish(self):
        try:
            super().finish()
        except (OSError, ValueError):
            pass

    def record(self, entry):
        with self.server.lock:
            with open(self.server.args.record, "a", encoding="utf-8") as out:
                out.write(json.dumps(entry) + "\n")

    def reply(self, status, body=b"", content_type="text/plain", extra=()):
        self.send_response(status)
        for key, value in extra:
            self.send_header(key, value)
        if status != 204:
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if status != 204 and body:
            self.wfile.write(body)

    def read_body(self):
        length = int(self.headers.get("Content-Length", "0") or 0)
        return self.rfile.read(length) if length else b""

    def entry(self, body):
        url = urllib.parse.urlsplit(self.path)
        return {"method": self.command, "target": self.path, "path": url.path, "query": url.query,
                "headers": {k: v for k, v in self.headers.items()}, "body": body.decode("utf-8", "replace"),
                "peer": self.client_address[1]}

    # ------------------------------------------------------------ web page
    def web(self):
        body = self.read_body()
        entry = self.entry(body)
        status = 200 if entry["path"] in ("/ptz.php", "/flood.php") else 404
        entry["status"] = status
        self.record(entry)
        if entry["path"] == "/flood.php":
            self.flood()
            return
        if "holdclic" in entry["query"]:
            time.sleep(self.server.args.hold)
        self.reply(status, b"OK" if status == 200 else b"Not Found")

    def flood(self):
        self.send_response(200)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(1 << 40))
        self.end_headers()
        chunk = b"x" * 65536
        deadline = time.monotonic() + 60
        try:
            while time.monotonic() < deadline:
                self.wfile.write(chunk)
                time.sleep(0.005)
        except OSError:
            pass
        self.close_connection = True

    # ------------------------------------------------------------ camera
    def check_auth(self):
        """'basic', 'digest', 'none' or 'bad'."""
        args = self.server.args
        value = self.headers.get("Authorization", "")
        scheme, _, rest = value.partition(" ")
        if not value:
            return "none"
        if scheme.lower() == "basic" and args.auth in ("basic", "both"):
            try:
                user, _, password = base64.b64decode(rest).decode("utf-8").partition(":")
            except Exception:
                return "bad"
            return "basic" if (user, password) == (args.user, args.password) else "bad"
        if scheme.lower() == "digest" and args.auth in ("digest", "both"):
            f = parse_digest(rest)
            if f.get("username") != args.user or f.get("realm") != REALM or f.get("uri") != self.path:
                return "bad"
            if f.get("nonce") not in self.server.nonces or f.get("qop") != "auth":
                return "bad"
            ha1 = md5("%s:%s:%s" % (args.user, REALM, args.password))
            ha2 = md5("%s:%s" % (self.command, f["uri"]))
            expected = md5(":".join((ha1, f["nonce"], f.get("nc", ""), f.get("cnonce", ""), "auth", ha2)))
            return "digest" if secrets.compare_digest(expected, f.get("response", "")) else "bad"
        return "bad"

    def challenge(self):
        args = self.server.args
        out = []
        if args.auth in ("digest", "both"):
            nonce = secrets.token_hex(16)
            with self.server.lock:
                self.server.nonces.add(nonce)
            out.append(("WWW-Authenticate", 'Digest realm="%s", qop="auth", nonce="%s", opaque="%s", algorithm=MD5'
                        % (REALM, nonce, secrets.token_hex(8))))
        if args.auth in ("basic", "both"):
            out.append(("WWW-Authenticate", 'Basic realm="%s"' % REALM))
        return out

    def camera(self):
        args = self.server.args
        body = self.read_body()
        entry = self.entry(body)
        auth = self.check_auth() if args.auth != "none" else "none"
        entry["auth"] = auth
        if (self.command == "PUT" and "/ISAPI/" in entry["path"] and self.server.resets < args.reset_isapi_put):
            self.server.resets += 1
            entry["status"] = "reset"
            self.record(entry)
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.connection.close()
            self.close_connection = True
            return
        if args.auth != "none" and auth in ("none", "bad"):
            entry["status"] = 401
            self.record(entry)
            self.reply(401, b"Unauthorized", extra=self.challenge())
            return
        if args.auth != "none" and self.server.refused < args.refuse:
            self.server.refused += 1
            entry["status"] = 401
            entry["refused"] = True
            self.record(entry)
            self.reply(401, b"Unauthorized", extra=self.challenge())
            return
        text = entry["query"] + "\n" + entry["body"]
        for rule in self.server.rules:
            if rule.get("method", self.command) != self.command or rule.get("path") != entry["path"]:
                continue
            if rule.get("contains") and rule["contains"] not in text:
                continue
            status = rule.get("status", 200)
            entry["status"] = status
            self.record(entry)
            time.sleep(rule.get("delay", 0))
            self.reply(status, rule.get("body", "").encode("utf-8"), rule.get("content_type", "text/plain"))
            return
        entry["status"] = 404
        self.record(entry)
        self.reply(404, b"Not Found")

    def handle_any(self):
        if self.server.mode == "web":
            self.web()
        else:
            self.camera()

    do_GET = do_POST = do_PUT = handle_any


def serve(args):
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    server.mode = args.mode
    server.args = args
    server.lock = threading.Lock()
    server.nonces = set()
    server.refused = 0
    server.resets = 0
    server.rules = json.load(open(args.rules, encoding="utf-8")) if args.rules else []
    if args.cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.cert, args.key)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    open(args.record, "w").close()
    return server


def selftest(args):
    """The camera's authentication as an independent client sees it."""
    args.mode, args.auth, args.record, args.rules = "camera", "both", os.devnull, None
    args.cert = None
    args.refuse = args.reset_isapi_put = 0
    args.user, args.password = "admin", "s3cret:x"
    failures = []
    for auth in ("digest", "basic"):
        args.auth = auth
        server = serve(args)
        server.rules = [{"method": "GET", "path": "/check", "body": "fine"}]
        threading.Thread(target=server.serve_forever, daemon=True).start()
        url = "http://127.0.0.1:%d/check?a=1" % server.server_address[1]
        for password, expect in ((args.password, 200), ("wrong", 401)):
            manager = urllib.request.HTTPPasswordMgrWithDefaultRealm()
            manager.add_password(None, url, args.user, password)
            handler = (urllib.request.HTTPDigestAuthHandler if auth == "digest"
                       else urllib.request.HTTPBasicAuthHandler)(manager)
            try:
                status = urllib.request.build_opener(handler).open(url, timeout=10).status
            except urllib.error.HTTPError as exc:
                status = exc.code
            if status != expect:
                failures.append("%s with %s password: %s" % (auth, "good" if expect == 200 else "wrong", status))
        server.shutdown()
    print("\n".join(failures) or "ok", flush=True)
    return 1 if failures else 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=("web", "camera", "selftest"))
    parser.add_argument("--record", default=os.devnull)
    parser.add_argument("--rules")
    parser.add_argument("--hold", type=float, default=0.0)
    parser.add_argument("--auth", default="both", choices=("none", "basic", "digest", "both"))
    parser.add_argument("--user", default="admin")
    parser.add_argument("--password", default="")
    parser.add_argument("--refuse", type=int, default=0)
    parser.add_argument("--reset-isapi-put", type=int, default=0)
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--lifetime", type=float, default=300.0)
    args = parser.parse_args()
    if args.mode == "selftest":
        sys.exit(selftest(args))
    server = serve(args)
    print("PORT %d" % server.server_address[1], flush=True)
    threading.Timer(args.lifetime, os._exit, [0]).start()
    server.serve_forever()


if __name__ == "__main__":
    main()

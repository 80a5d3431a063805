#!/usr/bin/env python3
# The stand-in update and crash-report server of the tests, on 127.0.0.1 only.
# GET serves the files below --root. A POST is parsed with Python's own email
# package, so that the body is checked by a parser we did not write; what it
# saw goes to --record as one JSON line, and the answer follows --scenario
# (HTTP 400 when a check failed). Prints "PORT <n>" once listening.
#
# Misbehaving peers, for bounded requests:
#   GET /<mode>-<kind>/<path> serves <path> as usual, except a resource of that
#   kind ("listing": a path ending in "/", "index": index.json, "notes": a .txt
#   file, "any") is answered by the mode:
#     drip   headers, then one byte every 0.2 s (for at most 60 s)
#     big    a 2 MiB body (a listing of tracks, an index, text)
#     stall  a redirect to an https address that accepts and never speaks
#     slow   served as usual after 1.2 s
#     gzip   served gzip-compressed, with "Content-Encoding: gzip"
#     flood  256 MiB as fast as the client takes them, without a length; the
#            bytes sent so far are written to <root>/flood-sent as they go
#   --scenario drip / big: a POST is answered that way (the big answer is the
#   accepting JSON padded to 2 MiB).
#   --scenario redirect302 / redirect307 / redirect308: a POST is answered by
#   that redirect to --redirect-to (the same path), with the accepting JSON as
#   its body; a GET of /traitement is answered with the accepting JSON, as a
#   server that minds no method would (and recorded like a POST).
# Each record also holds the request's method and Referer.
#   --read-rate N: a POST's body is read at N bytes a second, as over a slow
#   uplink (the receive buffer is kept small, so the sender sees the pace);
#   --stop-reading-after N: after N bytes of the body nothing more is read.
import email.parser
import email.policy
import functools
import gzip
import hashlib
import http.server
import json
import os
import re
import socket
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "ptz"))
import standin  # noqa: E402

OK = {"status": "OK"}
SCENARIOS = {
    "ok": {"upload_file_minidump": OK, "upload_file_log": OK},
    "dump_only": {"upload_file_minidump": OK},
    "error4": dict.fromkeys(("upload_file_minidump", "upload_file_log"),
                            {"status": "ERROR", "status_info": {"error_code": 4}}),
    "error7": dict.fromkeys(("upload_file_minidump", "upload_file_log"),
                            {"status": "ERROR", "status_info": {"error_code": 7}}),
    "http500": None,
    "drip": None,
    "big": None,
    "redirect302": None,
    "redirect307": None,
    "redirect308": None,
}
BIG = 2 * 1024 * 1024
KINDS = {"listing": lambda p: p.endswith("/"), "index": lambda p: p.endswith("index.json"),
         "notes": lambda p: p.endswith(".txt"), "any": lambda p: True}


def silent_listener():
    """A port that accepts connections and never says a word."""
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    sock.listen(16)
    held = []

    def hold():
        while True:
            conn, _ = sock.accept()
            held.append(conn)
    threading.Thread(target=hold, daemon=True).start()
    return sock.getsockname()[1]


def check_request(path, headers, body):
    errors = []
    record = {"path": path, "fields": {}, "files": {}}
    ctype = headers.get("Content-Type", "")
    if path != "/traitement":
        errors.append("path is %r" % path)

    raw = b"Content-Type: " + ctype.encode("latin-1") + b"\r\nMIME-Version: 1.0\r\n\r\n" + body
    msg = email.parser.BytesParser(policy=email.policy.HTTP).parsebytes(raw)
    if not msg.is_multipart():
        return record, errors + ["body is not multipart"]
    errors += ["defect: %s" % type(d).__name__ for d in msg.defects]
    for part in msg.iter_parts():
        name = part.get_param("name", header="content-disposition")
        filename = part.get_param("filename", header="content-disposition")
        payload = part.get_payload(decode=True) or b""
        if filename is None:
            record["fields"][name] = payload.decode("utf-8")
        else:
            record["files"][name] = {"filename": filename, "size": len(payload),
                                     "sha256": hashlib.sha256(payload).hexdigest()}

    fields, files = record["fields"], record["files"]
    errors += ["missing field " + f for f in ("os", "product_name", "version") if not fields.get(f)]
    dump, log = files.get("upload_file_minidump"), files.get("upload_file_log")
    if dump:
        if not re.fullmatch(r"[^.\"/]+\.dmp", dump["filename"]):
            errors.append("dump file name %r" % dump["filename"])
        if fields.get("sha_dump") != dump["sha256"]:
            errors.append("sha_dump does not match the dump received")
        if not re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d", fields.get("dumpdate", "")):
            errors.append("dumpdate %r" % fields.get("dumpdate"))
    elif "sha_dump" in fields or "dumpdate" in fields:
        errors.append("dump fields without a dump")
    if log:
        if fields.get("sha_log") != log["sha256"]:
            errors.append("sha_log does not match the log received")
        if not log["filename"].endswith("zulogfile.log"):
            errors.append("log file name %r" % log["filename"])
    elif "sha_log" in fields:
        errors.append("sha_log without a log")
    return record, errors


class Handler(standin.Handler, http.server.SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def drip(self, content_type):
        self.send_response(200)
        self.send_header("Content-Type", content_type)
        self.end_headers()
        end = time.monotonic() + 60
        try:
            while time.monotonic() < end:
                self.wfile.write(b" ")
                self.wfile.flush()
                time.sleep(0.2)
        except OSError:
            pass  # the client gave up

    def flood(self):
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.end_headers()
        chunk, sent = b"\0" * (1 << 20), 0
        progress = os.path.join(self.server.args.root, "flood-sent")
        try:
            for _ in range(256):
                self.wfile.write(chunk)
                sent += len(chunk)
                with open(progress + ".tmp", "w") as out:
                    out.write(str(sent))
                os.replace(progress + ".tmp", progress)
        except OSError:
            pass  # the client gave up

    def do_GET(self):
        if self.path.split("?")[0] == "/traitement":
            self.record({"path": self.path, "method": "GET", "referer": self.headers.get("Referer"),
                         "errors": ["not a POST"]})
            return self.reply(200, json.dumps(SCENARIOS["ok"]).encode(), "application/json")
        match = re.match(r"^/(drip|big|stall|slow|gzip|flood)-(listing|index|notes|any)(/.*)$", self.path)
        if not match:
            return super().do_GET()
        mode, kind, rest = match.groups()
        if not KINDS[kind](rest.split("?")[0]):
            self.path = rest
            return super().do_GET()
        if mode == "drip":
            return self.drip("text/html")
        if mode == "slow":
            time.sleep(1.2)
            self.path = rest
            return super().do_GET()
        if mode == "gzip":
            with open(os.path.join(self.server.args.root, rest.lstrip("/").split("?")[0]), "rb") as f:
                body = gzip.compress(f.read())
            return self.reply(200, body, "application/octet-stream", [("Content-Encoding", "gzip")])
        if mode == "flood":
            return self.flood()
        if mode == "stall":
            location = "https://127.0.0.1:%d%s" % (self.server.silent_port, rest)
            return self.reply(302, b"", "text/plain", [("Location", location)])
        if kind == "index":
            body = json.dumps([{"name": "zuplayer-3.9.%d.deb" % i, "url": "https://127.0.0.1/x"}
                               for i in range(BIG // 60)]).encode()
        elif kind == "listing":
            body = b"".join(b'<a href="%d.%d/">x</a>' % (3, i) for i in range(BIG // 20))
        else:
            body = b"n" * BIG
        self.reply(200, body, "text/html")

    def read_body(self, length):
        rate, stop = self.server.args.read_rate, self.server.args.stop_reading_after
        if not rate and stop is None:
            return self.rfile.read(length)
        body = b""
        while len(body) < length:
            if stop is not None and len(body) >= stop:
                time.sleep(120)
                return body
            chunk = self.rfile.read(min(4096, length - len(body)))
            if not chunk:
                break
            body += chunk
            if rate:
                time.sleep(len(chunk) / rate)
        return body

    def do_POST(self):
        body = self.read_body(int(self.headers.get("Content-Length", "0")))
        try:
            record, errors = check_request(self.path, self.headers, body)
        except Exception as exc:  # a body the parser chokes on is a failed check
            record, errors = {"path": self.path}, ["parse failure: %r" % exc]
        record["errors"] = errors
        record["method"] = "POST"
        record["referer"] = self.headers.get("Referer")
        self.record(record)
        scenario = self.server.args.scenario
        if scenario.startswith("redirect"):
            location = self.server.args.redirect_to + self.path
            return self.reply(int(scenario[-3:]), json.dumps(SCENARIOS["ok"]).encode(), "application/json",
                              [("Location", location)])
        if scenario == "drip":
            return self.drip("application/json")
        if scenario == "big":
            answer = json.dumps(SCENARIOS["ok"]).encode()
            return self.reply(200, answer + b" " * BIG, "application/json")
        status = 400 if errors else 500 if scenario == "http500" else 200
        payload = json.dumps({"errors": errors} if errors else SCENARIOS[scenario] or SCENARIOS["ok"]).encode()
        self.reply(status, payload, "application/json")


if __name__ == "__main__":
    parser = standin.arguments()
    parser.add_argument("--scenario", default="ok", choices=sorted(SCENARIOS))
    parser.add_argument("--root", default=".")
    parser.add_argument("--read-rate", type=float, default=0)
    parser.add_argument("--stop-reading-after", type=int)
    parser.add_argument("--redirect-to", default="")
    args = parser.parse_args()
    srv = standin.server(functools.partial(Handler, directory=args.root), args)
    if args.read_rate or args.stop_reading_after is not None:
        # Accepted connections inherit it: the client's writes wait on the
        # reader rather than fill a large kernel buffer at once.
        srv.socket.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 16384)
    srv.silent_port = silent_listener()
    standin.run(srv)

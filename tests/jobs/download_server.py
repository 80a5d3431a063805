#!/usr/bin/env python3
# The stand-in download server of the download tests, on 127.0.0.1 only. It
# answers as an HTTP/1.0 server with Content-Length replies. GET /<name>?<query>
# serves the file <name> below --root; the query shapes the answer:
#   file_hash=1   adds "Content-Digest: sha-256=<hex digest of the file>"
#   digest=wrong  ... with the digest of other bytes; digest=upper: in capitals
#   form=<form>   answers with the error reply <form> (see FORMS) instead
#   fail=<n>      only the first n requests of this path get that error reply
#                 (the form given, html500 by default)
#   slow=1        sends the file a few KiB at a time, with pauses
#   notype=1      sends the file without a Content-Type header
# Every request goes to --record as one JSON line (path with query, HTTP
# version).
# Prints "PORT <n>" once listening.
import argparse
import functools
import hashlib
import http.server
import json
import os
import ssl
import threading
import time
import urllib.parse

# form: (status, Content-Type header line or None, body)
FORMS = {
    "html500": (500, ("Content-Type", "text/html"),
                b"<html><head><title>500 Internal Server Error</title></head>\n<body>boom</body></html>\n"),
    "html": (404, ("Content-Type", "text/html; charset=utf-8"),
             b"<html><body>Not found</body></html>\n"),
    "json": (200, ("Content-Type", "text/json"), b'{"ZURETURN_CODE": "E_NOFILE", "detail": 3}'),
    "other": (200, ("Content-Type", "text/plain"), b"no file for you\n"),
    "appjson": (200, ("Content-Type", "application/json"), b'{"Error": "no such file"}\n'),
    "status404": (404, ("Content-Type", "application/octet-stream"), b"\x00\x01 missing"),
    "empty": (200, ("Content-Type", "application/octet-stream"), b""),
    "lowercase": (200, ("content-type", "text/html"), b"<p>a page typed in lower case</p>\n"),
}


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def log_message(self, *args):
        pass

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        query = dict(urllib.parse.parse_qsl(url.query))
        with self.server.lock:
            with open(self.server.log_path, "a", encoding="utf-8") as out:
                out.write(json.dumps({"path": self.path, "version": self.request_version}) + "\n")
            count = self.server.counts.get(url.path, 0) + 1
            self.server.counts[url.path] = count

        form = query.get("form")
        if "fail" in query:
            form = (form or "html500") if count <= int(query["fail"]) else None
        if form:
            status, header, body = FORMS[form]
            self.answer(status, header, body)
            return

        name = urllib.parse.unquote(url.path).lstrip("/")
        path = os.path.realpath(os.path.join(self.server.root, name))
        if not path.startswith(self.server.root + os.sep) or not os.path.isfile(path):
            self.answer(*FORMS["html"])
            return
        with open(path, "rb") as f:
            data = f.read()
        extra = []
        if query.get("file_hash") == "1":
            digest = hashlib.sha256(data + (b"x" if query.get("digest") == "wrong" else b"")).hexdigest()
            if query.get("digest") == "upper":
                digest = digest.upper()
            extra.append(("Content-Digest", "sha-256=" + digest))
        header = None if query.get("notype") else ("Content-Type", "application/octet-stream")
        self.answer(200, header, data, extra, slow=query.get("slow") == "1")

    def answer(self, status, header, body, extra=(), slow=False):
        self.send_response(status)
        if header:
            self.send_header(*header)
        for name, value in extra:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        try:
            if not slow:
                self.wfile.write(body)
                return
            for start in range(0, len(body), 4096):
                self.wfile.write(body[start:start + 4096])
                self.wfile.flush()
                time.sleep(0.05)
        except (BrokenPipeError, ConnectionResetError):
            pass  # the client gave up, which is what a stop does


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--record", default=os.devnull)
    parser.add_argument("--lifetime", type=float, default=300.0)
    parser.add_argument("--cert")
    parser.add_argument("--key")
    args = parser.parse_args()

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    server.root = os.path.realpath(args.root)
    server.log_path = args.record
    server.lock = threading.Lock()
    server.counts = {}
    if args.cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.cert, args.key)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    if args.record != os.devnull:
        open(args.record, "w").close()
    print("PORT %d" % server.server_address[1], flush=True)
    threading.Timer(args.lifetime, os._exit, [0]).start()
    server.serve_forever()


if __name__ == "__main__":
    main()

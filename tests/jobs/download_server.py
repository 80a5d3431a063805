#!/usr/bin/env python3
# The stand-in download server of the download tests, on 127.0.0.1 only. It
# answers as an HTTP/1.0 server with Content-Length replies. GET /<name>?<query>
# serves the file <name> below --root; the query shapes the answer:
#   file_hash=1   adds "Content-Digest: sha-256=<hex digest of the file>"
#   digest=wrong  ... with the digest of other bytes; digest=upper: in capitals
#   form=<form>   answers with the error reply <form> (see FORMS) instead
#   fail=<n>      only the first n requests of this address get that error reply
#                 (the form given, html500 by default)
#   slow=1        sends the file a few KiB at a time, with pauses
#   stall=1       sends the first few KiB of the file, then nothing for a minute
#   notype=1      sends the file without a Content-Type header
#   redirect=<to> answers 302: to "file" a local file (a body typed as data),
#                 to "self" this address without the redirect (a page)
# Every request goes to --record as one JSON line (path with query, HTTP
# version, and the login of a Basic "Authorization" header as [user,
# password], split at the first ':' as libcurl joins them; null without one).
# libcurl sends that header for the user information of the address it is
# given, decoded (it refuses one that holds a raw '/', '?', '#' or a second
# '@'), so the login here is what the user typed.
import base64
import hashlib
import os
import sys
import time
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "ptz"))
import standin  # noqa: E402

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


class Handler(standin.Handler):
    protocol_version = "HTTP/1.0"

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        query = dict(urllib.parse.parse_qsl(url.query))
        self.record({"path": self.path, "version": self.request_version, "login": self.login()})
        with self.server.lock:
            count = self.server.counts[self.path] = self.server.counts.get(self.path, 0) + 1

        if "redirect" in query:
            rest = urllib.parse.urlencode([(k, v) for k, v in query.items() if k != "redirect"])
            target = ("file:///etc/passwd" if query["redirect"] == "file"
                      else "http://127.0.0.1:%d%s?%s" % (self.server.server_address[1], url.path, rest))
            kind = "application/octet-stream" if query["redirect"] == "file" else "text/html"
            self.answer(302, ("Content-Type", kind), b"root:x:0:0:the redirect's body\n", [("Location", target)])
            return
        form = query.get("form")
        if "fail" in query:
            form = (form or "html500") if count <= int(query["fail"]) else None
        if form:
            self.answer(*FORMS[form])
            return
        root = os.path.realpath(self.server.args.root)
        path = os.path.realpath(os.path.join(root, urllib.parse.unquote(url.path).lstrip("/")))
        if not path.startswith(root + os.sep) or not os.path.isfile(path):
            self.answer(*FORMS["html"])
            return
        with open(path, "rb") as f:
            data = f.read()
        extra = []
        if query.get("file_hash") == "1":
            digest = hashlib.sha256(data + (b"x" if query.get("digest") == "wrong" else b"")).hexdigest()
            extra.append(("Content-Digest", "sha-256=" + (digest.upper() if query.get("digest") == "upper" else digest)))
        header = None if query.get("notype") else ("Content-Type", "application/octet-stream")
        self.answer(200, header, data, extra, slow=query.get("slow") == "1", stall=query.get("stall") == "1")

    def login(self):
        auth = self.headers.get("Authorization", "")
        if not auth.startswith("Basic "):
            return None
        user, _, password = base64.b64decode(auth[6:]).decode("utf-8").partition(":")
        return [user, password]

    def answer(self, status, header, body, extra=(), slow=False, stall=False):
        self.send_response(status)
        for name, value in ([header] if header else []) + list(extra) + [("Content-Length", str(len(body)))]:
            self.send_header(name, value)
        self.end_headers()
        try:
            step = 4096 if slow or stall else max(len(body), 1)
            for start in range(0, len(body), step):
                self.wfile.write(body[start:start + step])
                if slow or stall:
                    self.wfile.flush()
                    time.sleep(60 if stall else 0.05)
        except (BrokenPipeError, ConnectionResetError):
            pass  # the client gave up, which is what a stop does


if __name__ == "__main__":
    parser = standin.arguments()
    parser.add_argument("--root", required=True)
    srv = standin.server(Handler, parser.parse_args())
    srv.counts = {}
    standin.run(srv)

#!/usr/bin/env python3
# Stand-ins for the PTZ peers of the tests, on 127.0.0.1 only.
#   web     a recorder's web PTZ page: /ptz.php answers "OK" (keep-alive; a
#           "holdclic" query is held --hold seconds), /flood.php never stops
#           sending, any other path 404.
#   camera  a camera's HTTP interface with Basic and/or Digest (qop=auth),
#           answering by the first --rules entry ({"method", "path",
#           "contains", "status", "body", "delay"}) that matches, else 404;
#           --refuse N: 401 to the first N good requests; --reset-isapi-put
#           N: reset the first N PUTs to /ISAPI/.
# Records carry "status" (a number or "reset") and, for the camera, "auth"
# (the good scheme, else "none" or "bad").
import base64
import hashlib
import json
import secrets
import socket
import struct
import time
import urllib.request

import standin

REALM = "camera"
USER = "admin"


def md5(text):
    return hashlib.md5(text.encode("utf-8")).hexdigest()


class Handler(standin.Handler):
    def handle_any(self):
        _, entry = self.read_request()
        (self.web if self.server.args.mode == "web" else self.camera)(entry)

    do_GET = do_POST = do_PUT = handle_any

    def web(self, entry):
        entry["status"] = 200 if entry["path"] in ("/ptz.php", "/flood.php") else 404
        self.record(entry)
        if entry["path"] == "/flood.php":
            self.flood()
            return
        if "holdclic" in entry["query"]:
            time.sleep(self.server.args.hold)
        self.reply(entry["status"], b"OK" if entry["status"] == 200 else b"Not Found")

    def flood(self):
        self.send_response(200)
        self.send_header("Content-Length", str(1 << 40))
        self.end_headers()
        deadline = time.monotonic() + 60
        try:
            while time.monotonic() < deadline:
                self.wfile.write(b"x" * 65536)
                time.sleep(0.005)
        except OSError:
            pass
        self.close_connection = True

    def check_auth(self):
        """'basic', 'digest', 'none' or 'bad'."""
        offered = self.server.args.auth
        scheme, _, rest = self.headers.get("Authorization", "").partition(" ")
        if not scheme:
            return "none"
        if scheme.lower() == "basic" and offered in ("basic", "both"):
            try:
                user, _, password = base64.b64decode(rest).decode("utf-8").partition(":")
            except ValueError:
                return "bad"
            return "basic" if (user, password) == (USER, self.server.args.password) else "bad"
        if scheme.lower() == "digest" and offered in ("digest", "both"):
            f = {k.lower(): v for k, v in urllib.request.parse_keqv_list(urllib.request.parse_http_list(rest)).items()}
            if (f.get("username"), f.get("realm"), f.get("uri"), f.get("qop")) != (USER, REALM, self.path, "auth") \
                    or f.get("nonce") not in self.server.nonces:
                return "bad"
            ha1 = md5("%s:%s:%s" % (USER, REALM, self.server.args.password))
            ha2 = md5("%s:%s" % (self.command, f["uri"]))
            expected = md5(":".join((ha1, f["nonce"], f.get("nc", ""), f.get("cnonce", ""), "auth", ha2)))
            return "digest" if secrets.compare_digest(expected, f.get("response", "")) else "bad"
        return "bad"

    def challenge(self):
        out = []
        if self.server.args.auth in ("digest", "both"):
            nonce = secrets.token_hex(16)
            with self.server.lock:
                self.server.nonces.add(nonce)
            out.append(("WWW-Authenticate", 'Digest realm="%s", qop="auth", nonce="%s", opaque="%s", algorithm=MD5'
                        % (REALM, nonce, secrets.token_hex(8))))
        if self.server.args.auth in ("basic", "both"):
            out.append(("WWW-Authenticate", 'Basic realm="%s"' % REALM))
        return out

    def camera(self, entry):
        srv, args = self.server, self.server.args
        entry["auth"] = self.check_auth() if args.auth != "none" else "none"
        if self.command == "PUT" and "/ISAPI/" in entry["path"] and srv.resets < args.reset_isapi_put:
            srv.resets += 1
            entry["status"] = "reset"
            self.record(entry)
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.connection.close()
            self.close_connection = True
            return
        refused = args.auth != "none" and (entry["auth"] in ("none", "bad") or srv.refused < args.refuse)
        if refused:
            if entry["auth"] not in ("none", "bad"):
                srv.refused += 1
            entry["status"] = 401
            self.record(entry)
            self.reply(401, b"Unauthorized", extra=self.challenge())
            return
        text = entry["query"] + "\n" + entry["body"]
        found = next((r for r in srv.rules if r.get("method") == self.command and r.get("path") == entry["path"]
                      and r.get("contains", "") in text), {"status": 404, "body": "Not Found"})
        entry["status"] = found.get("status", 200)
        self.record(entry)
        time.sleep(found.get("delay", 0))
        self.reply(entry["status"], found.get("body", "").encode("utf-8"))


def main():
    parser = standin.arguments()
    parser.add_argument("mode", choices=("web", "camera"))
    parser.add_argument("--rules")
    parser.add_argument("--hold", type=float, default=0.0)
    parser.add_argument("--auth", default="both", choices=("none", "basic", "digest", "both"))
    parser.add_argument("--refuse", type=int, default=0)
    parser.add_argument("--reset-isapi-put", type=int, default=0)
    args = parser.parse_args()
    srv = standin.server(Handler, args)
    srv.nonces, srv.refused, srv.resets = set(), 0, 0
    srv.rules = json.load(open(args.rules, encoding="utf-8")) if args.rules else []
    standin.run(srv)


if __name__ == "__main__":
    main()

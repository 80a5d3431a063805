# The HTTP plumbing the stand-in servers share (127.0.0.1 only): every request
# goes to --record as one JSON line before it is answered; "PORT <n>" is
# printed once listening; the server ends by itself after --lifetime seconds;
# with --cert and --key it speaks HTTPS.
import argparse
import http.server
import json
import os
import ssl
import threading
import urllib.parse


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        pass

    def finish(self):
        try:
            super().finish()
        except (OSError, ValueError):  # the client reset or a test reset the connection
            pass

    def read_request(self):
        """The request as a record entry: method, target, path, query, headers, body, peer port."""
        length = int(self.headers.get("Content-Length", "0") or 0)
        body = self.rfile.read(length) if length else b""
        url = urllib.parse.urlsplit(self.path)
        return body, {"method": self.command, "target": self.path, "path": url.path, "query": url.query,
                      "headers": dict(self.headers.items()), "body": body.decode("utf-8", "replace"),
                      "peer": self.client_address[1]}

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


def arguments():
    parser = argparse.ArgumentParser()
    parser.add_argument("--record", default=os.devnull)
    parser.add_argument("--lifetime", type=float, default=300.0)
    parser.add_argument("--password", default="")
    parser.add_argument("--cert")
    parser.add_argument("--key")
    return parser


def server(handler, args):
    srv = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    srv.daemon_threads = True
    srv.args = args
    srv.lock = threading.Lock()
    if args.record != os.devnull:
        open(args.record, "w").close()
    if args.cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.cert, args.key)
        srv.socket = context.wrap_socket(srv.socket, server_side=True)
    return srv


def run(srv):
    print("PORT %d" % srv.server_address[1], flush=True)
    threading.Timer(srv.args.lifetime, os._exit, [0]).start()
    srv.serve_forever()

#!/usr/bin/env python3
"""A stand-in crash-report server for the tests, listening on 127.0.0.1 only.

It parses each POST to /traitement as multipart/form-data with Python's own
email package (so the body is checked by a parser we did not write), checks
the fields, the file names and that the SHA-256 values describe the bytes
received, records what it saw as one JSON line per request in --record, and
answers according to --scenario. A request that fails a check gets HTTP 400.

It prints "PORT <n>" once listening and stops by itself after --lifetime
seconds.
"""
import argparse
import email.parser
import email.policy
import hashlib
import http.server
import json
import re
import ssl
import sys
import time

OK = {"status": "OK"}
ERROR4 = {"status": "ERROR", "status_info": {"error_code": 4}}
ERROR7 = {"status": "ERROR", "status_info": {"error_code": 7}}

SCENARIOS = {
    # status 200 replies: (body dict or raw bytes)
    "ok": {"upload_file_minidump": OK, "upload_file_log": OK},
    "ok_contained": {"upload_file_minidump": {"status": "UPLOAD_OK_DONE"},
                     "upload_file_log": {"status": "xOKx"}},
    "dump_only": {"upload_file_minidump": OK},
    "log_only": {"upload_file_log": OK},
    "error4": {"upload_file_minidump": ERROR4, "upload_file_log": ERROR4},
    "error7": {"upload_file_minidump": ERROR7, "upload_file_log": ERROR7},
    "error_nocode": {"upload_file_minidump": {"status": "ERROR"},
                     "upload_file_log": {"status": "ERROR"}},
    "garbage": b"<html>not json</html>",
    "http500": None,
}


def check_request(path, headers, body):
    errors = []
    record = {"path": path, "fields": {}, "files": {}, "order": []}
    if path != "/traitement":
        errors.append("path is %r" % path)
    ctype = headers.get("Content-Type", "")
    record["content_type"] = ctype
    if not ctype.startswith("multipart/form-data; boundary="):
        errors.append("content type %r" % ctype)
    length = headers.get("Content-Length")
    if length is None or int(length) != len(body):
        errors.append("content length %r for %d bytes" % (length, len(body)))
    if headers.get("Referer", "") == "":
        errors.append("no referer")

    raw = b"Content-Type: " + ctype.encode("latin-1") + b"\r\nMIME-Version: 1.0\r\n\r\n" + body
    msg = email.parser.BytesParser(policy=email.policy.HTTP).parsebytes(raw)
    if not msg.is_multipart():
        errors.append("body is not multipart")
        return record, errors
    for defect in msg.defects:
        errors.append("defect: %s" % type(defect).__name__)
    for part in msg.iter_parts():
        name = part.get_param("name", header="content-disposition")
        filename = part.get_param("filename", header="content-disposition")
        payload = part.get_payload(decode=True) or b""
        record["order"].append(name)
        if filename is None:
            record["fields"][name] = payload.decode("utf-8")
        else:
            record["files"][name] = {
                "filename": filename,
                "size": len(payload),
                "sha256": hashlib.sha256(payload).hexdigest(),
                "content_type": part.get_content_type(),
            }

    fields = record["fields"]
    files = record["files"]
    for required in ("os", "product_name", "version"):
        if not fields.get(required):
            errors.append("missing field %s" % required)
    dump = files.get("upload_file_minidump")
    log = files.get("upload_file_log")
    if dump:
        if not re.fullmatch(r"[^.\"/]+\.dmp", dump["filename"]):
            errors.append("dump file name %r" % dump["filename"])
        if fields.get("sha_dump") != dump["sha256"]:
            errors.append("sha_dump does not match the dump received")
        if not re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d", fields.get("dumpdate", "")):
            errors.append("dumpdate %r" % fields.get("dumpdate"))
    else:
        if "sha_dump" in fields or "dumpdate" in fields:
            errors.append("dump fields without a dump")
    if log:
        if fields.get("sha_log") != log["sha256"]:
            errors.append("sha_log does not match the log received")
        if not log["filename"].endswith("zulogfile.log"):
            errors.append("log file name %r" % log["filename"])
    elif "sha_log" in fields:
        errors.append("sha_log without a log")
    for f in files.values():
        if f["content_type"] != "application/octet-stream":
            errors.append("file content type %r" % f["content_type"])
    return record, errors


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        sys.stderr.write("crash_report_server: " + (fmt % args) + "\n")

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        if length < 0 or length > 256 * 1024 * 1024:
            self.send_error(413)
            return
        body = self.rfile.read(length)
        try:
            record, errors = check_request(self.path, self.headers, body)
        except Exception as exc:  # a body the parser chokes on is a failed check
            record, errors = {"path": self.path}, ["parse failure: %r" % exc]
        record["errors"] = errors
        with open(self.server.record_path, "a", encoding="utf-8") as out:
            out.write(json.dumps(record) + "\n")

        scenario = self.server.scenario
        if errors:
            self.reply(400, json.dumps({"errors": errors}).encode())
        elif scenario == "http500":
            self.reply(500, json.dumps(SCENARIOS["ok"]).encode())
        elif isinstance(SCENARIOS[scenario], bytes):
            self.reply(200, SCENARIOS[scenario])
        else:
            self.reply(200, json.dumps(SCENARIOS[scenario]).encode())

    def reply(self, status, payload):
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(payload)))
        self.send_header("Connection", "close")
        self.close_connection = True
        self.end_headers()
        self.wfile.write(payload)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--scenario", required=True, choices=sorted(SCENARIOS))
    parser.add_argument("--record", required=True)
    parser.add_argument("--lifetime", type=float, default=120.0)
    parser.add_argument("--cert")
    parser.add_argument("--key")
    args = parser.parse_args()

    server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
    server.scenario = args.scenario
    server.record_path = args.record
    server.timeout = 0.2
    if args.cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.cert, args.key)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    open(args.record, "w").close()
    print("PORT %d" % server.server_address[1], flush=True)
    deadline = time.monotonic() + args.lifetime
    while time.monotonic() < deadline:
        try:
            server.handle_request()
        except (ssl.SSLError, OSError) as exc:
            sys.stderr.write("crash_report_server: %r\n" % exc)
    server.server_close()


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
# The stand-in update and crash-report server of the tests, on 127.0.0.1 only.
# GET serves the files below --root. A POST is parsed with Python's own email
# package, so that the body is checked by a parser we did not write; what it
# saw goes to --record as one JSON line, and the answer follows --scenario
# (HTTP 400 when a check failed). Prints "PORT <n>" once listening.
import email.parser
import email.policy
import functools
import hashlib
import http.server
import json
import os
import re
import sys

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
}


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

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        try:
            record, errors = check_request(self.path, self.headers, body)
        except Exception as exc:  # a body the parser chokes on is a failed check
            record, errors = {"path": self.path}, ["parse failure: %r" % exc]
        record["errors"] = errors
        self.record(record)
        scenario = self.server.args.scenario
        status = 400 if errors else 500 if scenario == "http500" else 200
        payload = json.dumps({"errors": errors} if errors else SCENARIOS[scenario] or SCENARIOS["ok"]).encode()
        self.reply(status, payload, "application/json")


if __name__ == "__main__":
    parser = standin.arguments()
    parser.add_argument("--scenario", default="ok", choices=sorted(SCENARIOS))
    parser.add_argument("--root", default=".")
    args = parser.parse_args()
    standin.run(standin.server(functools.partial(Handler, directory=args.root), args))

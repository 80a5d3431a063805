#!/usr/bin/env python3
# A stand-in ONVIF camera on 127.0.0.1 for the tests. Requests are read with
# Python's own namespace-aware XML parser; every WS-Security UsernameToken is
# checked with hashlib/base64 (PasswordDigest = Base64(SHA-1(nonce + created
# + password))), against the device's own clock (--clock-offset seconds from
# real UTC), and a nonce used twice is refused. Replies are written the way
# devices write them: envelopes and faults under changing prefixes, elements
# the client must skip, presets with and without names.
#
# Every request goes to --record as one JSON line (path, query, action, op,
# auth, created, nonce, params, status). Prints "PORT <n>" once listening.
import argparse
import base64
import datetime
import hashlib
import http.server
import json
import os
import threading
import time
import urllib.parse
import xml.etree.ElementTree as ET

NS = {
    "s": "http://www.w3.org/2003/05/soap-envelope",
    "wsse": "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-secext-1.0.xsd",
    "wsu": "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-utility-1.0.xsd",
    "tt": "http://www.onvif.org/ver10/schema",
}
DIGEST_TYPE = "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-username-token-profile-1.0#PasswordDigest"
WSDL = {
    "device": "http://www.onvif.org/ver10/device/wsdl",
    "media": "http://www.onvif.org/ver10/media/wsdl",
    "ptz": "http://www.onvif.org/ver20/ptz/wsdl",
    "imaging": "http://www.onvif.org/ver20/imaging/wsdl",
}
PREFIXES = ["s", "SOAP-ENV", "env", "soap"]
DECLS = ('xmlns:tds="%s" xmlns:trt="%s" xmlns:tptz="%s" xmlns:tt="%s" xmlns:ter="http://www.onvif.org/ver10/error"'
         % (WSDL["device"], WSDL["media"], WSDL["ptz"], NS["tt"]))


def local(tag):
    return tag.rsplit("}", 1)[-1]


class Device:
    def __init__(self, args):
        self.args = args
        self.lock = threading.Lock()
        self.nonces = set()
        self.replies = 0

    def now(self):
        return datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(seconds=self.args.clock_offset)

    def prefix(self):
        with self.lock:
            self.replies += 1
            return PREFIXES[self.replies % len(PREFIXES)]

    def envelope(self, body):
        p = self.prefix()
        return ('<?xml version="1.0" encoding="UTF-8"?>\n<%s:Envelope xmlns:%s="%s" %s>\n  <%s:Header/>\n'
                '  <%s:Body>%s</%s:Body>\n</%s:Envelope>\n' % (p, p, NS["s"], DECLS, p, p, body, p, p))

    def fault(self, subcode, reason):
        p = self.prefix()
        return ('<?xml version="1.0" encoding="UTF-8"?><%s:Envelope xmlns:%s="%s" '
                'xmlns:ter="http://www.onvif.org/ver10/error"><%s:Body><%s:Fault><%s:Code><%s:Value>%s:Sender'
                '</%s:Value><%s:Subcode><%s:Value>%s</%s:Value></%s:Subcode></%s:Code><%s:Reason>'
                '<%s:Text xml:lang="en">%s</%s:Text></%s:Reason><%s:Detail><ter:Extra>skip me</ter:Extra>'
                '</%s:Detail></%s:Fault></%s:Body></%s:Envelope>'
                % (p, p, NS["s"], p, p, p, p, p, p, p, p, subcode, p, p, p, p, p, reason, p, p, p, p, p, p, p))

    def check_security(self, root, op):
        token = root.find("s:Header/wsse:Security/wsse:UsernameToken", NS)
        if token is None:
            return "missing", None, None
        user = token.findtext("wsse:Username", "", NS)
        password = token.find("wsse:Password", NS)
        nonce_text = token.findtext("wsse:Nonce", "", NS)
        created = token.findtext("wsu:Created", "", NS)
        if password is None or password.get("Type") != DIGEST_TYPE or user != self.args.user:
            return "bad-user", created, nonce_text
        nonce = base64.b64decode(nonce_text)
        expected = base64.b64encode(hashlib.sha1(nonce + created.encode() + self.args.password.encode()).digest())
        if expected.decode() != (password.text or ""):
            return "bad-digest", created, nonce_text
        with self.lock:
            if nonce_text in self.nonces:
                return "replay", created, nonce_text
            self.nonces.add(nonce_text)
        if op != "GetSystemDateAndTime":  # the clock may be read before it is known
            try:
                when = datetime.datetime.strptime(created, "%Y-%m-%dT%H:%M:%SZ").replace(tzinfo=datetime.timezone.utc)
            except ValueError:
                return "bad-created", created, nonce_text
            if abs((when - self.now()).total_seconds()) > 5:
                return "stale", created, nonce_text
        return "ok", created, nonce_text

    def xaddr(self, service):
        a = self.args
        if service == "ptz" and a.ptz_path:
            return "http://127.0.0.1:%s%s" % (a.nat_port or a.port, a.ptz_path)
        return "http://127.0.0.1:%s/onvif/%s_service" % (a.nat_port or a.port, service)

    def answer(self, op, params):
        a = self.args
        if op in a.fault:
            return 500, self.fault("ter:InvalidArgVal", "%s refused by the camera" % op)
        if op in a.malformed:
            return 200, '<?xml version="1.0"?><env:Envelope xmlns:env="%s"><env:Body><tptz:%sResponse>' \
                        '</env:Body>' % (NS["s"], op)
        if op == "GetSystemDateAndTime":
            if a.clock_status >= 400:
                return a.clock_status, self.fault("ter:Unavailable", "clock unavailable")
            t = self.now()
            serial = "<tt:Extension><tt:SerialNumber>SN-400-404</tt:SerialNumber></tt:Extension>" \
                if a.clock_serial else ""
            return 200, self.envelope(
                "<tds:GetSystemDateAndTimeResponse><tds:SystemDateAndTime><tt:DateTimeType>NTP</tt:DateTimeType>"
                "<tt:DaylightSavings>false</tt:DaylightSavings><tt:TimeZone><tt:TZ>CET-1CEST</tt:TZ></tt:TimeZone>"
                "<tt:UTCDateTime><tt:Time><tt:Hour>%d</tt:Hour><tt:Minute>%d</tt:Minute><tt:Second>%d</tt:Second>"
                "</tt:Time><tt:Date><tt:Year>%d</tt:Year><tt:Month>%d</tt:Month><tt:Day>%d</tt:Day></tt:Date>"
                "</tt:UTCDateTime><tt:LocalDateTime><tt:Time><tt:Hour>23</tt:Hour><tt:Minute>0</tt:Minute>"
                "<tt:Second>0</tt:Second></tt:Time><tt:Date><tt:Year>1999</tt:Year><tt:Month>1</tt:Month>"
                "<tt:Day>1</tt:Day></tt:Date></tt:LocalDateTime>%s</tds:SystemDateAndTime>"
                "</tds:GetSystemDateAndTimeResponse>"
                % (t.hour, t.minute, t.second, t.year, t.month, t.day, serial))
        if op == "GetServices":
            if a.no_services:
                return 500, self.fault("ter:ActionNotSupported", "Optional Action Not Implemented")
            services = "".join(
                "<tds:Service><tds:Namespace>%s</tds:Namespace><tds:XAddr>%s</tds:XAddr>"
                "<tds:Capabilities><tds:Extra/></tds:Capabilities><tds:Version><tt:Major>2</tt:Major>"
                "<tt:Minor>60</tt:Minor></tds:Version></tds:Service>" % (WSDL[k], self.xaddr(k))
                for k in ("device", "media", "ptz", "imaging"))
            return 200, self.envelope("<tds:GetServicesResponse>%s</tds:GetServicesResponse>" % services)
        if op == "GetCapabilities":
            return 200, self.envelope(
                "<tds:GetCapabilitiesResponse><tds:Capabilities>"
                "<tt:Analytics><tt:XAddr>%s</tt:XAddr></tt:Analytics>"
                "<tt:Device><tt:XAddr>%s</tt:XAddr><tt:Network/></tt:Device>"
                "<tt:Media><tt:XAddr>\n  %s\n</tt:XAddr><tt:StreamingCapabilities/></tt:Media>"
                "<tt:PTZ><tt:XAddr>%s</tt:XAddr></tt:PTZ>"
                "<tt:Extension><tt:DeviceIO><tt:XAddr>%s</tt:XAddr></tt:DeviceIO></tt:Extension>"
                "</tds:Capabilities></tds:GetCapabilitiesResponse>"
                % (self.xaddr("analytics"), self.xaddr("device"), self.xaddr("media"), self.xaddr("ptz"),
                   self.xaddr("deviceio")))
        if op == "GetProfiles":
            return 200, self.envelope(
                '<trt:GetProfilesResponse><trt:Profiles token="Profile_1" fixed="true"><tt:Name>main</tt:Name>'
                '<tt:VideoSourceConfiguration token="VS_1"><tt:Name>vs</tt:Name></tt:VideoSourceConfiguration>'
                '<tt:VideoEncoderConfiguration token="Enc_1"><tt:Encoding>H264</tt:Encoding>'
                '</tt:VideoEncoderConfiguration><tt:PTZConfiguration token="PtzConf_1"><tt:Name>ptz</tt:Name>'
                '<tt:UseCount>2</tt:UseCount><tt:NodeToken>Node_A</tt:NodeToken></tt:PTZConfiguration>'
                '</trt:Profiles><trt:Profiles token="Profile_2"><tt:Name>sub</tt:Name>'
                '<tt:VideoEncoderConfiguration token="Enc_2"/></trt:Profiles></trt:GetProfilesResponse>')
        if op == "GetNode":
            relative = "" if a.no_relative else (
                "<tt:RelativePanTiltTranslationSpace><tt:URI>http://www.onvif.org/ver10/tptz/PanTiltSpaces/"
                "TranslationGenericSpace</tt:URI><tt:XRange><tt:Min>-1</tt:Min><tt:Max>1</tt:Max></tt:XRange>"
                "<tt:YRange><tt:Min>-0.5</tt:Min><tt:Max>0.5</tt:Max></tt:YRange>"
                "</tt:RelativePanTiltTranslationSpace><tt:RelativeZoomTranslationSpace><tt:URI>"
                "http://www.onvif.org/ver10/tptz/ZoomSpaces/TranslationGenericSpace</tt:URI><tt:XRange>"
                "<tt:Min>-2</tt:Min><tt:Max>2</tt:Max></tt:XRange></tt:RelativeZoomTranslationSpace>")
            return 200, self.envelope(
                '<tptz:GetNodeResponse><tptz:PTZNode token="Node_A" FixedHomePosition="false"><tt:Name>n</tt:Name>'
                "<tt:SupportedPTZSpaces>%s<tt:ContinuousPanTiltVelocitySpace><tt:URI>"
                "http://www.onvif.org/ver10/tptz/PanTiltSpaces/VelocityGenericSpace</tt:URI><tt:XRange>"
                "<tt:Min>-1</tt:Min><tt:Max>1</tt:Max></tt:XRange><tt:YRange><tt:Min>-0.5</tt:Min>"
                "<tt:Max>0.5</tt:Max></tt:YRange></tt:ContinuousPanTiltVelocitySpace>"
                "<tt:ContinuousZoomVelocitySpace><tt:URI>http://www.onvif.org/ver10/tptz/ZoomSpaces/"
                "VelocityGenericSpace</tt:URI><tt:XRange><tt:Min>-1</tt:Min><tt:Max>1</tt:Max></tt:XRange>"
                "</tt:ContinuousZoomVelocitySpace><tt:PanTiltSpeedSpace><tt:URI>x</tt:URI><tt:XRange><tt:Min>0"
                "</tt:Min><tt:Max>1</tt:Max></tt:XRange></tt:PanTiltSpeedSpace></tt:SupportedPTZSpaces>"
                "<tt:MaximumNumberOfPresets>128</tt:MaximumNumberOfPresets></tptz:PTZNode></tptz:GetNodeResponse>"
                % relative)
        if op == "GetPresets":
            return 200, self.envelope(
                '<tptz:GetPresetsResponse><tptz:Preset token="1"><tt:Name>Entrance</tt:Name></tptz:Preset>'
                '<tptz:Preset token="2"/><tptz:Preset token="3"><tt:Name>Preset 3</tt:Name></tptz:Preset>'
                '<tptz:Preset token="4"><tt:Name>Parking</tt:Name><tt:PTZPosition><tt:PanTilt x="0.1" y="0.2"/>'
                "</tt:PTZPosition></tptz:Preset></tptz:GetPresetsResponse>")
        if op == "GetStatus":
            return 200, self.envelope(
                '<tptz:GetStatusResponse><tptz:PTZStatus><tt:Position><tt:PanTilt x="0.25" y="-0.5" '
                'space="http://www.onvif.org/ver10/tptz/PanTiltSpaces/PositionGenericSpace"/><tt:Zoom x="0.1"/>'
                "</tt:Position><tt:MoveStatus><tt:PanTilt>IDLE</tt:PanTilt><tt:Zoom>IDLE</tt:Zoom>"
                "</tt:MoveStatus><tt:UtcTime>2024-03-01T07:05:09Z</tt:UtcTime></tptz:PTZStatus>"
                "</tptz:GetStatusResponse>")
        if op in ("ContinuousMove", "Stop", "RelativeMove"):
            return 200, self.envelope("<tptz:%sResponse/>" % op)
        return 500, self.fault("ter:ActionNotSupported", "unknown operation %s" % op)


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        pass

    def do_POST(self):
        device = self.server.device
        body = self.rfile.read(int(self.headers.get("Content-Length", "0") or 0))
        url = urllib.parse.urlsplit(self.path)
        ctype = self.headers.get("Content-Type", "")
        action = ctype.split('action="', 1)[1].rstrip('"') if 'action="' in ctype else ""
        entry = {"path": url.path, "query": url.query, "action": action, "content_type": ctype}
        try:
            root = ET.fromstring(body)
            request = root.find("s:Body", NS)[0]
            op = local(request.tag)
            entry["op"] = op
            entry["params"] = {local(e.tag): dict(e.attrib, text=(e.text or "").strip()) for e in request.iter()
                               if e is not request}
            auth, entry["created"], entry["nonce"] = device.check_security(root, op)
        except Exception as exc:  # a request our parser rejects is a failed check
            op, auth = "?", "unparsable: %r" % exc
        entry["auth"] = auth
        if auth != "ok":
            status, text = 400, device.fault("ter:NotAuthorized", "Sender not authorized")
        else:
            delays = dict(d.split("=", 1) for d in device.args.delay)
            time.sleep(float(delays.get(op, 0)))
            status, text = device.answer(op, entry.get("params"))
        entry["status"] = status
        with device.lock:
            with open(device.args.record, "a", encoding="utf-8") as out:
                out.write(json.dumps(entry) + "\n")
        payload = text.encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "application/soap+xml; charset=utf-8")
        self.send_header("Content-Length", str(len(payload)))
        self.end_headers()
        self.wfile.write(payload)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--record", default=os.devnull)
    parser.add_argument("--lifetime", type=float, default=300.0)
    parser.add_argument("--user", default="admin")
    parser.add_argument("--password", default="")
    parser.add_argument("--clock-offset", type=float, default=-7200.0)
    parser.add_argument("--clock-status", type=int, default=200)
    parser.add_argument("--clock-serial", action="store_true")
    parser.add_argument("--no-services", action="store_true")
    parser.add_argument("--no-relative", action="store_true")
    parser.add_argument("--nat-port", default="")
    parser.add_argument("--ptz-path", default="")
    parser.add_argument("--fault", action="append", default=[])
    parser.add_argument("--malformed", action="append", default=[])
    parser.add_argument("--delay", action="append", default=[], help="OP=seconds")
    args = parser.parse_args()
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    args.port = server.server_address[1]
    server.device = Device(args)
    open(args.record, "w").close()
    print("PORT %d" % args.port, flush=True)
    threading.Timer(args.lifetime, os._exit, [0]).start()
    server.serve_forever()


if __name__ == "__main__":
    main()

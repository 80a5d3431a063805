#!/usr/bin/env python3
# A stand-in ONVIF camera on 127.0.0.1 for the tests, for user "admin".
# Requests are read with Python's own XML parser; every WS-Security digest,
# Base64(SHA-1(nonce + created + password)), is checked with hashlib/base64
# against the device's clock (--clock-offset seconds from UTC), and a nonce
# used twice is refused. Replies are written the way devices write them:
# rotating prefixes, elements to skip, presets with and without names, "400"
# and "404" in the clock reply, service addresses behind NAT (a port on which
# nothing listens). Records add: action, op, params, auth ("ok" or why the
# check failed), created, nonce and status. Misbehaving on request: a
# redirect of an operation to the same device under the name "localhost"
# (where a GET is answered with an empty 200), a reply that drips one byte a
# second, fault texts that carry line breaks and control characters, a
# reply whose document type declares an entity of 4000 characters that its
# body refers to a thousand times.
import base64
import datetime
import hashlib
import re
import socket
import time
import xml.etree.ElementTree as ET

import standin

NS = {
    "s": "http://www.w3.org/2003/05/soap-envelope",
    "wsse": "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-secext-1.0.xsd",
    "wsu": "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-utility-1.0.xsd",
}
DIGEST_TYPE = "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-username-token-profile-1.0#PasswordDigest"
WSDL = {
    "device": "http://www.onvif.org/ver10/device/wsdl",
    "media": "http://www.onvif.org/ver10/media/wsdl",
    "ptz": "http://www.onvif.org/ver20/ptz/wsdl",
    "imaging": "http://www.onvif.org/ver20/imaging/wsdl",
}
PREFIXES = ["s", "SOAP-ENV", "env", "soap"]
ENVELOPE = ('<?xml version="1.0" encoding="UTF-8"?>\n<{p}:Envelope xmlns:{p}="%s" xmlns:tds="%s" xmlns:trt="%s" '
            'xmlns:tptz="%s" xmlns:tt="http://www.onvif.org/ver10/schema" xmlns:ter="http://www.onvif.org/ver10/'
            'error">\n  <{p}:Header/>\n  <{p}:Body>{body}</{p}:Body>\n</{p}:Envelope>\n'
            % (NS["s"], WSDL["device"], WSDL["media"], WSDL["ptz"]))
FAULT = ('<{p}:Fault><{p}:Code><{p}:Value>{p}:Sender</{p}:Value><{p}:Subcode><{p}:Value>{code}</{p}:Value>'
         '</{p}:Subcode></{p}:Code><{p}:Reason><{p}:Text xml:lang="en">{reason}</{p}:Text></{p}:Reason><{p}:Detail>'
         '<ter:Extra>skip me</ter:Extra></{p}:Detail></{p}:Fault>')


def local(tag):
    return tag.rsplit("}", 1)[-1]


def when(t):
    return ("<tt:Time><tt:Hour>%d</tt:Hour><tt:Minute>%d</tt:Minute><tt:Second>%d</tt:Second></tt:Time><tt:Date>"
            "<tt:Year>%d</tt:Year><tt:Month>%d</tt:Month><tt:Day>%d</tt:Day></tt:Date>"
            % (t.hour, t.minute, t.second, t.year, t.month, t.day))


def space(kind, uri, x=(-1, 1), y=(-0.5, 0.5)):
    ranges = "".join("<tt:%s><tt:Min>%s</tt:Min><tt:Max>%s</tt:Max></tt:%s>" % (axis, r[0], r[1], axis)
                     for axis, r in (("XRange", x), ("YRange", y)) if r)
    return "<tt:%s><tt:URI>%s</tt:URI>%s</tt:%s>" % (kind, uri, ranges, kind)


class Handler(standin.Handler):
    def now(self):
        return datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(seconds=self.server.args.clock_offset)

    def envelope(self, body, fault=None):
        with self.server.lock:
            self.server.replies += 1
            p = PREFIXES[self.server.replies % len(PREFIXES)]
        if fault:
            body = FAULT.format(p=p, code=fault[0], reason=fault[1])
        return ENVELOPE.format(p=p, body=body)

    def check_security(self, root, op):
        token = root.find("s:Header/wsse:Security/wsse:UsernameToken", NS)
        if token is None:
            return "missing", None, None
        password = token.find("wsse:Password", NS)
        nonce = token.findtext("wsse:Nonce", "", NS)
        created = token.findtext("wsu:Created", "", NS)
        if password is None or password.get("Type") != DIGEST_TYPE or token.findtext("wsse:Username", "", NS) != "admin":
            return "bad-user", created, nonce
        expected = hashlib.sha1(base64.b64decode(nonce) + created.encode() + self.server.args.password.encode())
        if base64.b64encode(expected.digest()).decode() != (password.text or ""):
            return "bad-digest", created, nonce
        with self.server.lock:
            if nonce in self.server.nonces:
                return "replay", created, nonce
            self.server.nonces.add(nonce)
        if op != "GetSystemDateAndTime":  # the clock may be read before it is known
            try:
                t = datetime.datetime.strptime(created, "%Y-%m-%dT%H:%M:%SZ").replace(tzinfo=datetime.timezone.utc)
            except ValueError:
                return "bad-created", created, nonce
            if abs((t - self.now()).total_seconds()) > 5:
                return "stale", created, nonce
        return "ok", created, nonce

    def xaddr(self, service):
        a = self.server.args
        path = a.ptz_path if service == "ptz" and a.ptz_path else "/onvif/%s_service" % service
        return "http://127.0.0.1:%s%s" % (a.nat_port, path)

    def answer(self, op):
        a = self.server.args
        if op in a.fault:
            forged = "&#13;&#10;[INFO] ONVIF :: forged line&#9;&#x85;&#x202E;" if a.forge else ""
            return 500, self.envelope("", ("ter:InvalidArgVal", "%s refused by the camera%s" % (op, forged)))
        if op in a.malformed:
            return 200, '<?xml version="1.0"?><env:Envelope xmlns:env="%s"><env:Body><tptz:%sResponse>' \
                        '</env:Body>' % (NS["s"], op)
        if op == "GetSystemDateAndTime":
            if a.clock_status >= 400:
                return a.clock_status, self.envelope("", ("ter:Unavailable", "clock unavailable"))
            return 200, self.envelope(
                "<tds:GetSystemDateAndTimeResponse><tds:SystemDateAndTime><tt:DateTimeType>NTP</tt:DateTimeType>"
                "<tt:DaylightSavings>false</tt:DaylightSavings><tt:TimeZone><tt:TZ>CET-1CEST</tt:TZ></tt:TimeZone>"
                "<tt:UTCDateTime>%s</tt:UTCDateTime><tt:LocalDateTime>%s</tt:LocalDateTime><tt:Extension>"
                "<tt:SerialNumber>SN-400-404</tt:SerialNumber></tt:Extension></tds:SystemDateAndTime>"
                "</tds:GetSystemDateAndTimeResponse>" % (when(self.now()), when(datetime.datetime(1999, 1, 1, 23))))
        if op == "GetServices":
            if a.no_services:
                return 500, self.envelope("", ("ter:ActionNotSupported", "Optional Action Not Implemented"))
            return 200, self.envelope("<tds:GetServicesResponse>%s</tds:GetServicesResponse>" % "".join(
                "<tds:Service><tds:Namespace>%s</tds:Namespace><tds:XAddr>%s</tds:XAddr><tds:Capabilities>"
                "<tds:Extra/></tds:Capabilities><tds:Version><tt:Major>2</tt:Major><tt:Minor>60</tt:Minor>"
                "</tds:Version></tds:Service>" % (WSDL[k], self.xaddr(k)) for k in WSDL))
        if op == "GetCapabilities":
            return 200, self.envelope(
                "<tds:GetCapabilitiesResponse><tds:Capabilities><tt:Analytics><tt:XAddr>%s</tt:XAddr></tt:Analytics>"
                "<tt:Device><tt:XAddr>%s</tt:XAddr><tt:Network/></tt:Device><tt:Media><tt:XAddr>\n  %s\n"
                "</tt:XAddr><tt:StreamingCapabilities/></tt:Media><tt:PTZ><tt:XAddr>%s</tt:XAddr></tt:PTZ>"
                "<tt:Extension><tt:DeviceIO><tt:XAddr>%s</tt:XAddr></tt:DeviceIO></tt:Extension>"
                "</tds:Capabilities></tds:GetCapabilitiesResponse>"
                % tuple(self.xaddr(k) for k in ("analytics", "device", "media", "ptz", "deviceio")))
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
            spaces = "http://www.onvif.org/ver10/tptz/%sSpaces/%sGenericSpace"
            relative = "" if a.no_relative else (
                space("RelativePanTiltTranslationSpace", spaces % ("PanTilt", "Translation"))
                + space("RelativeZoomTranslationSpace", spaces % ("Zoom", "Translation"), (-2, 2), None))
            return 200, self.envelope(
                '<tptz:GetNodeResponse><tptz:PTZNode token="Node_A" FixedHomePosition="false"><tt:Name>n</tt:Name>'
                "<tt:SupportedPTZSpaces>%s%s%s%s</tt:SupportedPTZSpaces><tt:MaximumNumberOfPresets>128"
                "</tt:MaximumNumberOfPresets></tptz:PTZNode></tptz:GetNodeResponse>"
                % (relative, space("ContinuousPanTiltVelocitySpace", spaces % ("PanTilt", "Velocity")),
                   space("ContinuousZoomVelocitySpace", spaces % ("Zoom", "Velocity"), y=None),
                   space("PanTiltSpeedSpace", "x", (0, 1), None)))
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
        return 500, self.envelope("", ("ter:ActionNotSupported", "unknown operation %s" % op))

    def do_POST(self):
        body, entry = self.read_request()
        ctype = entry["content_type"] = entry["headers"].get("Content-Type", "")
        entry["action"] = ctype.split('action="', 1)[1].rstrip('"') if 'action="' in ctype else ""
        try:
            root = ET.fromstring(body)
            request = root.find("s:Body", NS)[0]
            op = entry["op"] = local(request.tag)
            entry["params"] = {local(e.tag): dict(e.attrib, text=(e.text or "").strip()) for e in request.iter()
                               if e is not request}
            auth, entry["created"], entry["nonce"] = self.check_security(root, op)
        except Exception as exc:  # a request our parser rejects is a failed check
            op, auth = "?", "unparsable: %r" % exc
        entry["auth"] = auth
        if auth != "ok":
            status, text = 400, self.envelope("", ("ter:NotAuthorized", "Sender not authorized"))
        else:
            status, text = self.answer(op)
        redirect = dict(d.split("=", 1) for d in self.server.args.redirect).get(op)
        if redirect:
            status = int(redirect)
        entry["status"] = status
        self.record(entry)
        time.sleep(float(dict(d.split("=", 1) for d in self.server.args.delay).get(op, 0)))
        if op in self.server.args.entities:
            head, rest = text.split("\n", 1)
            text = "%s\n<!DOCTYPE Envelope [<!ENTITY e \"%s\">]>\n%s" % (head, "e" * 4000, rest)
            text = re.sub(r":Body>", lambda m: ":Body><ter:Padding>%s</ter:Padding>" % ("&e;" * 1000), text, count=1)
        if redirect:
            self.reply(status, b"", extra=[("Location", "http://localhost:%d/elsewhere" % self.server.server_address[1])])
        elif op in self.server.args.drip:
            self.drip(status, text.encode("utf-8"))
        else:
            self.reply(status, text.encode("utf-8"), "application/soap+xml; charset=utf-8")

    def drip(self, status, body):
        self.send_response(status)
        self.send_header("Content-Type", "application/soap+xml; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        try:
            for i in range(len(body)):
                self.wfile.write(body[i:i + 1])
                self.wfile.flush()
                time.sleep(1)
        except OSError:  # the client gave up
            pass

    def do_GET(self):
        body, entry = self.read_request()
        entry["op"] = "GET " + entry["path"]
        self.record(entry)
        self.reply(200)


def main():
    parser = standin.arguments()
    parser.add_argument("--clock-offset", type=float, default=-7200.0)
    parser.add_argument("--clock-status", type=int, default=200)
    parser.add_argument("--no-services", action="store_true")
    parser.add_argument("--no-relative", action="store_true")
    parser.add_argument("--ptz-path", default="")
    parser.add_argument("--fault", action="append", default=[])
    parser.add_argument("--malformed", action="append", default=[])
    parser.add_argument("--delay", action="append", default=[], help="OP=seconds")
    parser.add_argument("--redirect", action="append", default=[], help="OP=status")
    parser.add_argument("--drip", action="append", default=[], help="OP")
    parser.add_argument("--forge", action="store_true")
    parser.add_argument("--entities", action="append", default=[], help="OP")
    args = parser.parse_args()
    srv = standin.server(Handler, args)
    srv.nonces, srv.replies = set(), 0
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        args.nat_port = probe.getsockname()[1]
    standin.run(srv)


if __name__ == "__main__":
    main()

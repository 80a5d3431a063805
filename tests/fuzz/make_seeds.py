#!/usr/bin/env python3
"""Makes the seed inputs of the fuzz targets, one folder per target, from the
project's own generator (tools/make_export_folder) and the bodies its tests
serve, plus the day folder the integrity target checks.

    make_seeds.py --out DIR

The encrypted files of the generated folder are decrypted with the openssl
command line, since the targets take plaintext and encrypt it themselves.
"""

import argparse
import http.server
import importlib.machinery
import importlib.util
import io
import json
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))


def load(name, path):
    loader = importlib.machinery.SourceFileLoader(name, path)
    spec = importlib.util.spec_from_loader(name, loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


def decrypt(key, data):
    k, iv = key
    return subprocess.run(["openssl", "enc", "-d", "-aes-256-cbc", "-K", k, "-iv", iv],
                          input=data, stdout=subprocess.PIPE, check=True).stdout


class Seeds:
    def __init__(self, out):
        self.out = out
        self.count = {}

    def add(self, target, data):
        n = self.count.get(target, 0) + 1
        self.count[target] = n
        folder = os.path.join(self.out, target)
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "seed-%02d" % n), "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode("utf-8"))


def listing_html(names):
    """The folder listing Python's own web server sends for these entries."""
    with tempfile.TemporaryDirectory() as tmp:
        for n in names:
            os.mkdir(os.path.join(tmp, n))
        handler = http.server.SimpleHTTPRequestHandler.__new__(http.server.SimpleHTTPRequestHandler)
        handler.path = "/zuapps/"
        handler.headers = {}
        handler.send_response = handler.send_header = lambda *a: None
        handler.end_headers = lambda: None
        handler.log_message = lambda *a: None
        handler.request_version = "HTTP/1.1"
        body = handler.list_directory(tmp)
        return body.read()


def export_seeds(seeds, gen, work):
    out = subprocess.run([sys.executable, os.path.join(ROOT, "tools", "make_export_folder"),
                          "--out", work, "--cameras", "1", "--minutes", "0.05",
                          "--segment-minutes", "0.05", "--size", "64x64", "--fps", "2"],
                         stdout=subprocess.PIPE, check=True, text=True).stdout
    folder = out.strip().splitlines()[-1]
    key = gen.read_key()
    day = os.path.join(folder, sorted(os.listdir(folder))[0])
    for dirpath, dirnames, filenames in os.walk(day):
        dirnames.sort()
        for fn in sorted(filenames):
            path = os.path.join(dirpath, fn)
            with open(path, "rb") as f:
                data = f.read()
            if fn.endswith((".zuseek", ".zuaudioseek")):
                seeds.add("seekfile", data)
            elif fn.endswith(".zunfo") and fn != "index.zunfo":
                plain = decrypt(key, data)
                seeds.add("cameralist", plain)
                cams = json.loads(plain)["cameras"]
                seeds.add("cameralist", "".join("%s=%s\n" % (c["id"], c["name"]) for c in cams))
            elif fn.endswith(".zutag"):
                seeds.add("marker", decrypt(key, data))
    with open(os.path.join(day, "hash.json"), "rb") as f:
        manifest = decrypt(key, f.read())
    # The day folder's own path becomes the placeholder the target fills in.
    seeds.add("integrity", manifest.replace(day.encode(), b"@DAY@"))
    entries = json.loads(manifest)
    seeds.add("integrity", gen.json_bytes([dict(e, absolutepath="") for e in entries]))
    shutil.copytree(day, os.path.join(seeds.out, "integrity-day"))


def update_seeds(seeds, server):
    seeds.add("update_listing", listing_html(["3.3", "3.4", "3.10", "latest"]))
    seeds.add("update_listing", "<Contents><Key>3.5/</Key></Contents><Contents><Key>3.3/</Key></Contents>")
    sha = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b542ea22ae47e0ecb0ab15a08"
    base = "http://127.0.0.1:8000/files/"
    entries = [
        {"name": "zuplayer-3.5.0.deb", "arch": "Linux/64", "url": base + "zuplayer-3.5.0.deb",
         "sha256": sha, "size": 1234},
        {"name": "zuplayer-3.5.0.tar.gz", "arch": "Linux/64", "url": base + "zuplayer-3.5.0.tar.gz",
         "sha256": sha.upper()},
        {"name": "zuplayer-launcher-3.5.0.zip", "arch": "Linux/64", "url": base + "l.zip", "sha256": sha},
        {"name": "zuplayer-3.6.0.exe", "arch": "Windows/64", "url": base + "zuplayer-3.6.0.exe", "sha256": sha},
        {"name": "zuplayer-3.4.3.DEV202402011200.AppImage", "arch": "Linux/64",
         "url": base + "zuplayer-3.4.3.DEV202402011200.AppImage", "sha256": sha},
        {"type": "changelog", "name": "CHANGELOG.md", "url": base + "notes.txt"},
    ]
    seeds.add("update_index", json.dumps(entries, indent=4))
    seeds.add("update_index", json.dumps({"name": "zuplayer-3.5.1.deb", "url": base + "zuplayer-3.5.1.deb",
                                          "sha256": sha, "version": "3.5.1"}))
    for name, reply in sorted(server.SCENARIOS.items()):
        seeds.add("crash_reply", json.dumps(reply if reply is not None else {"errors": ["HTTP 500"]}))


# Benign, hostile and damaged archives as the extraction tests make them.
# Their absolute names and link targets point into DIR/archive-root, which
# the target watches as well as the destination's surroundings.
ARCHIVE_CASES = ["tar_tree", "tar_dotdot_inner", "tar_backslash", "tar_symlink_up", "tar_symlink_chain",
                 "tar_symlink_ladder", "tar_hardlink_out", "tar_device", "zip_tree", "zip_drive", "cli_tar_absolute",
                 "cli_zip_dotdot", "cli_zip_symlink_absolute", "cli_bsdtar_cpio", "cli_bsdtar_symlink_then_file"]


def archive_seeds(seeds):
    root = os.path.join(seeds.out, "archive-root")
    os.makedirs(root)
    maker = os.path.join(ROOT, "tests", "jobs", "archive_maker.py")
    with tempfile.TemporaryDirectory(prefix="zufuzz-archives.") as work:
        for case in ARCHIVE_CASES:
            out = os.path.join(work, case + ".bin")  # a suffix, or zip adds its own
            with open(os.path.join(root, "outside.txt"), "w") as f:
                f.write("not to be touched")
            subprocess.run([sys.executable, maker, case, root, out], stdout=subprocess.DEVNULL, check=True)
            with open(out, "rb") as f:
                seeds.add("archive", f.read())
    # What the makers left there is not part of the seeds.
    shutil.rmtree(root)
    os.makedirs(root)


def onvif_seeds(seeds):
    """The replies of the stand-in camera of the PTZ tests, each operation."""
    sys.path.insert(0, os.path.join(ROOT, "tests", "ptz"))
    device_module = load("onvif_device", os.path.join(ROOT, "tests", "ptz", "onvif_device.py"))
    args = argparse.Namespace(fault=[], malformed=["GetNode"], clock_status=200, clock_offset=0,
                              no_services=False, nat_port=8080, ptz_path="", no_relative=False,
                              password="secret", delay=[])
    # The handler answers without a connection: only its server's state is needed.
    device = device_module.Handler.__new__(device_module.Handler)
    device.server = argparse.Namespace(args=args, lock=threading.Lock(), replies=0)
    for op in ("GetSystemDateAndTime", "GetServices", "GetCapabilities", "GetProfiles", "GetPresets",
               "GetStatus", "ContinuousMove", "Unknown"):
        seeds.add("onvif", device.answer(op)[1])
    args.malformed = []
    seeds.add("onvif", device.answer("GetNode")[1])
    seeds.add("onvif", device.answer("GetNode")[1])  # another envelope prefix
    args.malformed = ["GetNode"]
    seeds.add("onvif", device.answer("GetNode")[1])


def stream_seeds(seeds):
    """A multipart JPEG stream from ffmpeg, as the stream tests use it, and
    the parts the stand-in stream server writes (Content-Length, Timestamp,
    Frametag, lower-case names). The first byte of an input chooses how it is
    cut into chunks."""
    mpjpeg = subprocess.run(["ffmpeg", "-loglevel", "error", "-f", "lavfi", "-i",
                             "testsrc=size=32x32:rate=5:duration=0.6", "-f", "mpjpeg", "-"],
                            stdout=subprocess.PIPE, check=True).stdout
    seeds.add("stream", b"\x07" + mpjpeg)
    parts = b""
    for i, (lower, unit) in enumerate([(False, b"\x00\x00\x00\x01\x67\x42unit"), (True, b"\xff\xd8jpeg\xff\xd9")]):
        name = (lambda n: n.lower()) if lower else (lambda n: n)
        parts += (b"--myboundary\r\n" + name(b"Content-Type") + b": " + (b"video/h264" if i == 0 else b"image/jpeg")
                  + b"\r\n" + name(b"Content-Length") + b": " + str(len(unit)).encode() + b"\r\n"
                  + name(b"Timestamp") + b": 2024-03-05 14:00:0%d.250\r\n" % i
                  + name(b"Frametag") + b": " + str(i).encode() + b"\r\n\r\n" + unit + b"\r\n")
    seeds.add("stream", b"\x00multipart/x-mixed-replace; boundary=myboundary\n" + parts + b"--myboundary--\r\n")


def download_seeds(seeds):
    """Raw replies of the stand-in download server of the download tests."""
    server = os.path.join(ROOT, "tests", "jobs", "download_server.py")
    with tempfile.TemporaryDirectory(prefix="zufuzz-download.") as root:
        with open(os.path.join(root, "a.bin"), "wb") as f:
            f.write(bytes(range(256)) * 4)
        proc = subprocess.Popen([sys.executable, server, "--root", root, "--lifetime", "60"],
                                stdout=subprocess.PIPE, text=True)
        try:
            port = int(proc.stdout.readline().split()[1])
            for query in ("file_hash=1", "file_hash=1&digest=upper", "notype=1", "form=html500", "form=json",
                          "form=other", "form=appjson", "form=status404"):
                with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
                    s.sendall(b"GET /a.bin?%s HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n" % query.encode())
                    raw = b""
                    while True:
                        chunk = s.recv(65536)
                        if not chunk:
                            break
                        raw += chunk
                seeds.add("download_reply", raw)
        finally:
            proc.kill()
            proc.wait()


def address_seeds(seeds):
    """Addresses as users type them: the first byte is the password's length
    in the built address, the rest its password and then its path."""
    for password, path in [("Pa/ss6", "ok?token=T0K"), ("Pa#ss8", "ok?token=T0K&x=1#frag"),
                           ("p?@:w", "a@b/c"), ("secret", "cgi-bin/ptz.cgi?user=a&password=b"),
                           ("/lead", "")]:
        seeds.add("logaddress", bytes([len(password)]) + (password + path).encode())
    seeds.add("logaddress", b"rtsp://u:p@[::1]:554/x http://h/p@th?x=a@b#f file:///x ftp://a:b/c@d")


def encoded_units(codec, frames, bframes, work):
    """The access units of `frames` pictures from ffmpeg's encoder, with
    B-frames when `bframes`, key frames every 12 pictures carrying their
    parameter sets, without the encoder's own messages."""
    raw = os.path.join(work, "units-%d.%s" % (bframes, codec))
    keys = "keyint=12:min-keyint=12:scenecut=0:repeat-headers=1:bframes=%d" % bframes
    if codec == "h264":
        encoder = ["-c:v", "libx264", "-x264-params", keys, "-bsf:v", "filter_units=remove_types=6"]
    else:
        encoder = ["-c:v", "libx265", "-x265-params", "log-level=error:pools=1:frame-threads=1:info=0:" + keys,
                   "-bsf:v", "filter_units=remove_types=39"]
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                    "testsrc=size=64x48:rate=25", "-frames:v", str(frames)] + encoder + ["-f", codec, raw],
                   check=True)
    sizes = subprocess.run(["ffprobe", "-v", "error", "-show_packets", "-show_entries", "packet=size",
                            "-of", "csv=p=0", raw], stdout=subprocess.PIPE, check=True, text=True).stdout.split()
    with open(raw, "rb") as f:
        data = f.read()
    units, pos = [], 0
    for size in map(int, sizes):
        units.append(data[pos:pos + size])
        pos += size
    if len(units) != frames or pos != len(data):
        raise RuntimeError("%s: %d units of %d bytes from %d pictures" % (codec, len(units), pos, frames))
    return units


def apart_parameters(codec, unit):
    """A unit cut where its parameter sets end, as a recorder that stores
    them as an entry of their own does; the unit alone when it holds none."""
    starts = [i for i in range(len(unit) - 3) if unit[i:i + 3] == b"\x00\x00\x01"]
    for start in starts:
        nal = unit[start + 3]
        kind = nal & 0x1f if codec == "h264" else (nal >> 1) & 0x3f
        if (codec == "h264" and kind in (1, 5)) or (codec == "hevc" and kind < 32):
            cut = start - 1 if start > 0 and unit[start - 1] == 0 else start
            return [unit[:cut], unit[cut:]] if cut > 0 else [unit]
    return [unit]


def pairing_seeds(seeds):
    """Streams with and without B-frames from ffmpeg's encoders, cut into
    their access units, each with what a decoder makes of it (see
    fuzz_picture_pairing.cpp for the layout). The H.265 ones need libx265
    in ffmpeg."""
    out1 = 0x10  # one picture handed out after the unit

    def add(codec, reorders, any_order, split, units):
        head = bytes([(1 if codec == "hevc" else 0) | (2 if reorders else 0) | (4 if any_order else 0), split])
        seeds.add("picture_pairing", head + b"".join(struct.pack(">HBB", len(b), fate, entry) + b
                                                     for b, fate, entry in units))

    encoders = subprocess.run(["ffmpeg", "-hide_banner", "-encoders"], stdout=subprocess.PIPE, check=True,
                              text=True).stdout
    with tempfile.TemporaryDirectory(prefix="zufuzz-units.") as work:
        h264 = encoded_units("h264", 36, 3, work)
        flat = encoded_units("h264", 24, 0, work)
        hevc = encoded_units("hevc", 36, 3, work) if " libx265 " in encoders else []
    # Whole streams, the second file from inside the second group on.
    add("h264", True, False, 18, [(u, out1, 0) for u in h264])
    if hevc:
        add("hevc", True, False, 18, [(u, out1, 0) for u in hevc])
    add("h264", False, False, 14, [(u, out1, 0) for u in flat])
    # Parameter sets apart, a unit refused, one dropped, one whose header
    # cannot be read, a picture concealed; two pictures out at a time.
    damage = {14: 1, 16: 2, 19: 4, 22: 3, 29: 0x20 | 2}
    for codec, units in (("h264", h264), ("hevc", hevc)):
        if not units:
            continue
        cut = []
        for i, u in enumerate(units):
            parts = apart_parameters(codec, u)
            for k, part in enumerate(parts):
                fate = damage.get(i, 0) | out1 if k == len(parts) - 1 else 0
                cut.append((part, fate, 0))
        add(codec, True, False, 20, cut)
        # The same in any order, the decoder drained after the 20th unit.
        add(codec, True, True, 20, [(b, f | (0x80 if i == 20 else 0), i * 5 % 32) for i, (b, f, e) in enumerate(cut)])
    add("h264", False, False, 12, [(u, damage.get(i, 0) | out1, 0) for i, u in enumerate(flat)])
    # A stream that opens inside a group: its first units are taken back
    # until the key frame; a unit stored twice at the same time.
    opening = [(u, 0x40 | out1, 0) for u in h264[4:12]] + [(u, out1, 0) for u in h264[12:30]]
    opening.insert(14, (opening[13][0], 0x08 | out1, 0))
    add("h264", True, False, 9, opening)
    # The next file's first key frame zeroed: its units are another group's.
    if hevc:
        add("hevc", True, False, 24, [(u if i != 24 else bytes(len(u)), out1, 0) for i, u in enumerate(hevc)])


def main(argv):
    p = argparse.ArgumentParser()
    p.add_argument("--out", required=True)
    args = p.parse_args(argv)
    out = os.path.abspath(args.out)
    if os.path.lexists(out):
        shutil.rmtree(out)
    os.makedirs(out)
    seeds = Seeds(out)
    gen = load("make_export_folder", os.path.join(ROOT, "tools", "make_export_folder"))
    server = load("test_server", os.path.join(ROOT, "tests", "maintenance", "test_server.py"))
    with tempfile.TemporaryDirectory(prefix="zufuzz-seeds.") as work:
        export_seeds(seeds, gen, work)
    update_seeds(seeds, server)
    archive_seeds(seeds)
    onvif_seeds(seeds)
    stream_seeds(seeds)
    download_seeds(seeds)
    address_seeds(seeds)
    pairing_seeds(seeds)
    for target, n in sorted(seeds.count.items()):
        print("%s: %d seeds" % (target, n))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

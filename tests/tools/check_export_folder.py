#!/usr/bin/env python3
"""Independent checks of what tools/make_export_folder writes.

    check_export_folder.py layout DIR       checks every talvor_* folder in DIR
    check_export_folder.py repeat GENERATOR runs the generator twice, compares,
                                            checks --help, --gop and --bframes

The layout check reads the folder with its own parsers, the ffprobe and
openssl command line tools and hashlib, never with the program's code, so a
fault in the generator and a matching fault in a reader cannot hide each other.
"""

import hashlib
import json
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
KEY_FILE = os.path.join(HERE, "..", "..", "core", "file_key.txt")

ROOT_RE = re.compile(r"^talvor_[a-f0-9]{4}-[a-f0-9]{4}-[a-f0-9]{4}-[a-f0-9]{4}$")
DAY_RE = re.compile(r"^\d{4}-\d{2}-\d{2}$")
SEG_RE = re.compile(r"^\d{6}$")
DATA_RE = re.compile(r"^(\d+)_(\d{8})_(\d{6})\.(zuvideo|zuseek|zuaudio|zuaudioseek)$")
NFO_RE = re.compile(r"^(\d{6})\.zunfo$")
TAG_RE = re.compile(r"^(\d+)_(\d{8})_(\d{6})\.zutag$")
ALARM_RE = re.compile(r"^(\d+)_(\d{8})_(\d{6})_(motion|intrusion|line)(-thumb)?\.jpg$")
PREVIEW_RE = re.compile(r"^(\d+)_(\d{8})_(\d{6})_preview\.jpg$")
VIDEO_LINE = re.compile(r"^(\d{17}):video(\d+):h264:(\d+)x(\d+):([01]):(\d+)$")
AUDIO_LINE = re.compile(r"^(\d{17}):audio(\d+):aac:(\d+)$")

PROBED_ENTRIES = 3   # entries fed to ffprobe from the start of each stream

failures = []


def fail(msg):
    failures.append(msg)
    print("FAIL: " + msg)


def decrypt_json(path):
    keys = dict(line.strip().split("=", 1) for line in open(KEY_FILE) if "=" in line and not line.startswith("#"))
    r = subprocess.run(["openssl", "enc", "-d", "-aes-256-cbc", "-K", keys["KEY"], "-iv", keys["IV"], "-in", path],
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        if r.returncode != 0:
            raise ValueError("does not decrypt: " + r.stderr.decode(errors="replace").strip())
        return json.loads(r.stdout.decode("utf-8"))
    except ValueError as e:   # UnicodeDecodeError and JSONDecodeError are ValueErrors
        fail("%s: %s" % (path, e))
        return None


def probe(data, fmt):
    """(frames decoded, width, height) of a raw stream fed through a pipe."""
    r = subprocess.run(["ffprobe", "-v", "error", "-f", fmt, "-count_frames",
                        "-show_entries", "stream=width,height,nb_read_frames", "-of", "json", "-"],
                       input=data, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if r.returncode != 0:
        return None
    s = json.loads(r.stdout).get("streams", [])
    return (int(s[0].get("nb_read_frames", -1)), s[0].get("width"), s[0].get("height")) if len(s) == 1 else None


def jpeg_size(path):
    with open(path, "rb") as f:
        d = f.read()
    if d[:2] != b"\xff\xd8":
        return None
    pos = 2
    while pos + 9 < len(d):
        if d[pos] != 0xFF:
            return None
        marker = d[pos + 1]
        length = (d[pos + 2] << 8) | d[pos + 3]
        if marker in (0xC0, 0xC1, 0xC2):
            return (d[pos + 7] << 8) | d[pos + 8], (d[pos + 5] << 8) | d[pos + 6]
        pos += 2 + length
    return None


def check_seek_file(seek, data_path, day, seg, video):
    with open(seek, "rb") as f:
        raw = f.read()
    if b"\r" in raw or not raw.endswith(b"\n"):
        fail("%s: lines must end with LF only, the last one too" % seek)
    lines = raw.decode("ascii", "replace").split("\n")[:-1]
    entries = []   # (stream, stamp, size, key, w, h)
    for n, line in enumerate(lines, 1):
        m = (VIDEO_LINE if video else AUDIO_LINE).match(line)
        if not m:
            fail("%s:%d: malformed line %r" % (seek, n, line))
            continue
        if video:
            entries.append((m.group(2), m.group(1), int(m.group(6)), m.group(5) == "1",
                            int(m.group(3)), int(m.group(4))))
        else:
            entries.append((m.group(2), m.group(1), int(m.group(3)), True, None, None))
    if not entries:
        fail("%s: no entries" % seek)
        return
    size = os.path.getsize(data_path)
    if sum(e[2] for e in entries) != size:
        fail("%s: sizes add up to %d, data file has %d bytes" % (seek, sum(e[2] for e in entries), size))
        return
    stamps = [e[1] for e in entries]
    if stamps != sorted(stamps):
        fail("%s: entries are not in time order" % seek)
    # Video starts on the segment's first millisecond; sound frames fall where
    # their samples do, but never before the segment or past its first second.
    start = day.replace("-", "") + seg + "000"
    if (stamps[0] != start) if video else not start <= stamps[0] <= start[:-3] + "999":
        fail("%s: first entry %s is not at the segment start" % (seek, stamps[0]))
    with open(data_path, "rb") as f:
        data = f.read()
    streams = {}
    offset = 0
    for sid, _, sz, k, w, h in entries:
        streams.setdefault(sid, []).append((data[offset:offset + sz], k, w, h))
        offset += sz
    for sid, frames in streams.items():
        if video:
            if not frames[0][1]:
                fail("%s: stream video%s does not start with a key frame" % (seek, sid))
            if len({(w, h) for _, _, w, h in frames}) != 1:
                fail("%s: stream video%s changes its size" % (seek, sid))
            for au, _, _, _ in frames:
                if au[:5] != b"\x00\x00\x00\x01\x09":
                    fail("%s: an entry of video%s does not begin with an access unit delimiter" % (seek, sid))
                    break
            w, h = frames[0][2], frames[0][3]
            got = probe(frames[0][0], "h264")
            if got != (1, w, h):
                fail("%s: key frame of video%s decodes as %s, expected 1 picture %dx%d" % (seek, sid, got, w, h))
            first = frames[:PROBED_ENTRIES]
            got = probe(b"".join(f[0] for f in first), "h264")
            if got != (len(first), w, h):
                fail("%s: first %d entries of video%s decode as %s" % (seek, len(first), sid, got))
        else:
            first = frames[:PROBED_ENTRIES]
            got = probe(b"".join(f[0] for f in first), "aac")
            if got is None or got[0] != len(first):
                fail("%s: first %d entries of audio%s decode as %s" % (seek, len(first), sid, got))


def check_manifest(day_path):
    manifest = decrypt_json(os.path.join(day_path, "hash.json"))
    if not isinstance(manifest, list) or not manifest:
        fail("%s: hash.json is not a non-empty JSON array" % day_path)
        return
    on_disk = set()
    for dirpath, _, files in os.walk(day_path):
        for fn in files:
            if fn not in ("hash.json", "index.zunfo"):
                on_disk.add(os.path.relpath(os.path.join(dirpath, fn), day_path).replace(os.sep, "/"))
    listed = set()
    misplaced = []
    for e in manifest:
        if not isinstance(e, dict) or set(e) != {"file", "absolutepath", "path", "sha256"}:
            fail("%s: malformed manifest entry %r" % (day_path, e))
            continue
        rel = e["path"]
        listed.add(rel)
        if e["file"] != rel.rsplit("/", 1)[-1]:
            fail("%s: entry file %r does not match its path %r" % (day_path, e["file"], rel))
        if os.path.normpath(e["absolutepath"]) != os.path.normpath(os.path.join(os.path.abspath(day_path), rel)):
            misplaced.append(e["absolutepath"])
        if not re.fullmatch(r"[0-9a-f]{64}", e["sha256"]):
            fail("%s: digest of %s is not 64 lower-case hex digits" % (day_path, rel))
        full = os.path.join(day_path, rel)
        if os.path.isfile(full):
            with open(full, "rb") as f:
                if hashlib.sha256(f.read()).hexdigest() != e["sha256"]:
                    fail("%s: digest of %s does not match" % (day_path, rel))
    if misplaced:
        fail("%s: %d absolute paths are not where the files lie, e.g. %r" % (day_path, len(misplaced), misplaced[0]))
    if listed != on_disk or len(listed) != len(manifest):
        fail("%s: manifest lists %d entries, missing %s, extra %s" % (
            day_path, len(manifest), sorted(on_disk - listed)[:5], sorted(listed - on_disk)[:5]))


def check_camera_list(path):
    doc = decrypt_json(path)
    cams = doc.get("cameras") if isinstance(doc, dict) else None
    if not isinstance(cams, list) or not cams or not all(
            isinstance(c, dict) and isinstance(c.get("id"), int) and isinstance(c.get("name"), str)
            for c in cams):
        fail("%s: not a camera list" % path)
        return {}
    return {c["id"]: c["name"] for c in cams}


def check_export(root):
    print("checking " + root)
    days = sorted(os.listdir(root))
    if not days:
        fail(root + ": no day folders")
    for d_no, day in enumerate(days):
        day_path = os.path.join(root, day)
        if not DAY_RE.match(day) or not os.path.isdir(day_path):
            fail("%s: unexpected entry %s" % (root, day))
            continue
        date = day.replace("-", "")
        entries = sorted(os.listdir(day_path))
        if "hash.json" not in entries:
            fail(day_path + ": no hash.json")
        else:
            check_manifest(day_path)
        if ("index.zunfo" in entries) != (d_no == 0):
            fail(day_path + ": index.zunfo belongs to the first day only")
        if d_no == 0 and "index.zunfo" in entries:
            check_camera_list(os.path.join(day_path, "index.zunfo"))
        segs = [e for e in entries if e not in ("hash.json", "index.zunfo")]
        for e in segs:
            if not SEG_RE.match(e) or not os.path.isdir(os.path.join(day_path, e)):
                fail("%s: unexpected entry %s" % (day_path, e))
        segs = [e for e in segs if SEG_RE.match(e)]
        for n, seg in enumerate(segs):
            seg_end = segs[n + 1] if n + 1 < len(segs) else "999999"
            check_segment(os.path.join(day_path, seg), day, date, seg, seg_end)


def check_segment(path, day, date, seg, seg_end):
    files = sorted(os.listdir(path))
    names = set(files)
    cams_in_files = set()
    for fn in files:
        full = os.path.join(path, fn)
        m = DATA_RE.match(fn)
        if m:
            cam, fdate, ftime, ext = m.groups()
            cams_in_files.add(int(cam))
            if fdate != date or ftime != seg:
                fail("%s: %s is not named after its segment" % (path, fn))
            stem = fn.rsplit(".", 1)[0]
            pair = {"zuvideo": "zuseek", "zuseek": "zuvideo",
                    "zuaudio": "zuaudioseek", "zuaudioseek": "zuaudio"}[ext]
            if stem + "." + pair not in names:
                fail("%s: %s has no .%s beside it" % (path, fn, pair))
            elif ext in ("zuseek", "zuaudioseek"):
                check_seek_file(full, os.path.join(path, stem + "." + pair), day, seg, ext == "zuseek")
            continue
        m = NFO_RE.match(fn)
        if m:
            if m.group(1) != seg:
                fail("%s: camera list %s is not named after its segment" % (path, fn))
            listed = check_camera_list(full)
            continue
        m = TAG_RE.match(fn)
        if m:
            cam, fdate, ftime = m.groups()
            if fdate != date or not seg <= ftime < seg_end:
                fail("%s: marker %s lies outside its segment" % (path, fn))
            tag = decrypt_json(full)
            want = {"id", "time", "camera", "name", "description"}
            if not isinstance(tag, dict) or set(tag) != want or not all(isinstance(v, str) for v in tag.values()):
                fail("%s: marker %s is malformed: %r" % (path, fn, tag))
            elif tag["time"] != fdate + ftime or tag["camera"] != cam:
                fail("%s: marker %s does not match its name: %r" % (path, fn, tag))
            continue
        m = ALARM_RE.match(fn) or PREVIEW_RE.match(fn)
        if m:
            if m.group(2) != date or not seg <= m.group(3) < seg_end:
                fail("%s: picture %s lies outside its segment" % (path, fn))
            continue
        fail("%s: unexpected file %s" % (path, fn))

    if "%s.zunfo" % seg not in names:
        fail("%s: no camera list" % path)
        listed = {}
    for cam in cams_in_files:
        if cam not in listed:
            fail("%s: camera %d has files but is not in the camera list" % (path, cam))
    # Pictures are JPEG (their sizes are the generator's own business), alarms with a thumbnail.
    for fn in files:
        if not (ALARM_RE.match(fn) or PREVIEW_RE.match(fn)):
            continue
        if jpeg_size(os.path.join(path, fn)) is None:
            fail("%s: %s is not a JPEG picture" % (path, fn))
        if not fn.endswith("-thumb.jpg") and ALARM_RE.match(fn) and fn[:-4] + "-thumb.jpg" not in names:
            fail("%s: alarm picture %s has no thumbnail" % (path, fn))


def layout(folder):
    roots = [os.path.join(folder, n) for n in sorted(os.listdir(folder)) if ROOT_RE.match(n)]
    others = [n for n in os.listdir(folder) if not ROOT_RE.match(n)]
    if not roots:
        fail(folder + ": no export folder")
    if others:
        fail("%s: left-over entries %s" % (folder, others))
    for r in roots:
        check_export(r)


def tree_digests(folder):
    out = {}
    for dirpath, _, files in os.walk(folder):
        for fn in files:
            full = os.path.join(dirpath, fn)
            with open(full, "rb") as f:
                out[os.path.relpath(full, folder)] = hashlib.sha256(f.read()).hexdigest()
    return out


def repeat(generator):
    """Same arguments give the same bytes; --force replaces; no --force refuses;
    --help names every option; --gop and --bframes give that stream."""
    r = subprocess.run([sys.executable, generator, "--help"], stdout=subprocess.PIPE, text=True)
    for opt in ("--out", "--days", "--cameras", "--minutes", "--segment-minutes", "--fps", "--size", "--gop",
                "--bframes", "--id", "--force"):
        if not re.search(r"^\s+%s\b.*\S.*$" % re.escape(opt), r.stdout, re.M):
            fail("--help does not describe " + opt)
    args = ["--minutes", "0.1", "--segment-minutes", "0.05", "--cameras", "3", "--days", "2",
            "--id", "1234-5678-9abc-def0", "--gop", "0.5", "--bframes", "2"]
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "o")
        expected = os.path.join(out, "talvor_1234-5678-9abc-def0")

        def gen(*extra):
            return subprocess.run([sys.executable, generator, "--out", out] + args + list(extra),
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

        def made(what, *extra):
            r = gen(*extra)
            if r.returncode != 0 or r.stdout.strip().split("\n")[-1] != expected:
                fail("%s: rc %d, output %r %r" % (what, r.returncode, r.stdout, r.stderr))
                return False
            return True

        if not made("first run"):
            return
        first = tree_digests(out)
        if gen().returncode == 0:
            fail("a second run without --force replaced the folder")
        if tree_digests(out) != first:
            fail("a refused run changed the folder")
        with open(os.path.join(expected, "stray"), "w") as f:
            f.write("x")
        if not made("--force run", "--force"):
            return
        second = tree_digests(out)
        if second != first:
            diff = sorted(k for k in set(first) | set(second) if first.get(k) != second.get(k))
            fail("the same arguments gave different files: %s" % diff[:10])
        if os.listdir(out) != ["talvor_1234-5678-9abc-def0"]:
            fail("left-over entries beside the export folder: %s" % os.listdir(out))
        layout(out)
        check_gop(out)


def check_gop(folder):
    """Key frames every 5 pictures (--gop 0.5 at 10 fps), B pictures in between."""
    seeks = [os.path.join(d, f) for d, _, fs in os.walk(folder) for f in fs if f.endswith(".zuseek")]
    if not seeks:
        fail(folder + ": no seek files")
    for seek in sorted(seeks):
        # Stream 0 only (the camera also records a second stream).
        data, lines, offset = b"", [], 0
        with open(seek[:-len(".zuseek")] + ".zuvideo", "rb") as f:
            whole = f.read()
        for l in open(seek).read().split():
            fields = l.split(":")
            size = int(fields[-1])
            if fields[1] == "video0":
                lines.append(fields)
                data += whole[offset:offset + size]
            offset += size
        keys = [i for i, l in enumerate(lines) if l[4] == "1"]
        if keys != list(range(0, len(lines), 5)):
            fail("%s: key frames at %s, not every 5 frames" % (seek, keys))
        p = subprocess.run(["ffprobe", "-v", "error", "-f", "h264", "-show_frames", "-show_entries",
                            "frame=pict_type,key_frame", "-of", "json", "-"],
                           input=data, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        frames = [(str(f.get("key_frame")), f.get("pict_type", "?"))
                  for f in json.loads(p.stdout or b"{}").get("frames", [])]
        if len(frames) != len(lines) or not any(t == "B" for _, t in frames):
            fail("%s: %d pictures, types %s" % (seek, len(frames), "".join(t for _, t in frames)))
        if [i for i, (k, _) in enumerate(frames) if k == "1"] != keys:
            fail("%s: the pictures shown as key frames are not the flagged ones" % seek)


def main(argv):
    modes = {"layout": layout, "repeat": repeat}
    if len(argv) != 2 or argv[0] not in modes:
        print(__doc__, file=sys.stderr)
        return 2
    modes[argv[0]](argv[1])
    print("%d problem(s) found" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

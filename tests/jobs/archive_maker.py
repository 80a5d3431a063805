#!/usr/bin/env python3
# Builds one test archive with python's tarfile/zipfile or with the tar, zip
# and bsdtar command lines: benign ones, hostile ones and damaged ones.
#   archive_maker.py CASE ROOT OUT
# ROOT is the test's scratch folder: absolute names and link targets point
# into it, next to the sentinel file ROOT/outside.txt. Source trees for the
# command lines are made in ROOT/src. Prints, as JSON, what a correct
# extraction holds: {"files": {relative: sha256}, "links": {relative: target},
# "hardlinks": {relative: relative}}.
import hashlib
import io
import json
import os
import stat
import subprocess
import sys
import tarfile
import zipfile

CASE, ROOT, OUT = sys.argv[1], sys.argv[2], sys.argv[3]
SRC = os.path.join(ROOT, "src")
expect = {"files": {}, "links": {}, "hardlinks": {}}


def sha(data):
    return hashlib.sha256(data).hexdigest()


def content(name, size=3000):
    # Distinct, reproducible bytes per name, large enough to span blocks.
    seed = hashlib.sha256(name.encode()).digest()
    return (seed * (size // len(seed) + 1))[:size]


# ---- python tarfile ----

def tar_file(t, name, data=None, expected=True):
    data = content(name) if data is None else data
    info = tarfile.TarInfo(name)
    info.size = len(data)
    t.addfile(info, io.BytesIO(data))
    if expected:
        expect["files"][name] = sha(data)


def tar_dir(t, name):
    info = tarfile.TarInfo(name)
    info.type = tarfile.DIRTYPE
    info.mode = 0o755
    t.addfile(info)


def tar_link(t, name, target, kind=tarfile.SYMTYPE):
    info = tarfile.TarInfo(name)
    info.type = kind
    info.linkname = target
    t.addfile(info)


def tar_case(mode, build):
    with tarfile.open(OUT, mode, format=tarfile.PAX_FORMAT) as t:
        build(t)


def tar_nested(t):
    tar_file(t, "top.txt")
    tar_dir(t, "a")
    tar_file(t, "a/b/c.txt")            # two levels, folders not listed
    tar_file(t, "caméra 1/été.txt")     # non-ASCII names
    tar_file(t, "./dot.txt")
    expect["files"]["dot.txt"] = expect["files"].pop("./dot.txt")
    tar_file(t, "a/b/c.txt", b"replaced")   # a later entry wins


def tar_links(t):
    tar_file(t, "top.txt")
    tar_file(t, "sub/file.txt")
    tar_link(t, "sub/up", "../top.txt")
    tar_link(t, "dirlink", "sub")
    tar_link(t, "hard", "sub/file.txt", tarfile.LNKTYPE)
    expect["links"].update({"sub/up": "../top.txt", "dirlink": "sub"})
    expect["hardlinks"]["hard"] = "sub/file.txt"
    expect["files"]["sub/up"] = expect["files"]["top.txt"]
    expect["files"]["hard"] = expect["files"]["sub/file.txt"]


def hostile(*entries):
    # A benign entry first: refusing must happen before it is created.
    def build(t):
        tar_file(t, "ok.txt")
        for e in entries:
            if e[0] == "file":
                tar_file(t, e[1], b"escaped", expected=False)
            elif e[0] == "sym":
                tar_link(t, e[1], e[2])
            elif e[0] == "hard":
                tar_link(t, e[1], e[2], tarfile.LNKTYPE)
            elif e[0] == "chr":
                info = tarfile.TarInfo(e[1])
                info.type = tarfile.CHRTYPE
                info.devmajor, info.devminor = 1, 3
                t.addfile(info)
    return build


outside = os.path.join(ROOT, "outside.txt")
TAR_CASES = {
    "tar_nested": ("w", tar_nested),
    "tar_nested_gz": ("w:gz", tar_nested),
    "tar_links": ("w", tar_links),
    "tar_empty": ("w", lambda t: None),
    "tar_absolute": ("w", hostile(("file", os.path.join(ROOT, "abs_escape.txt")))),
    "tar_dotdot": ("w", hostile(("file", "../escape.txt"))),
    "tar_dotdot_inner": ("w:bz2", hostile(("file", "sub/../../../escape.txt"))),
    "tar_drive": ("w", hostile(("file", "C:/escape.txt"))),
    "tar_backslash": ("w", hostile(("file", "..\\..\\escape.txt"))),
    "tar_symlink_up": ("w", hostile(("sym", "up", "../.."))),
    "tar_symlink_absolute": ("w:xz", hostile(("sym", "abs", ROOT))),
    "tar_symlink_then_file": ("w", hostile(("sym", "d", ".."), ("file", "d/escape.txt"))),
    # Each link looks harmless alone; through the first, the second climbs out.
    "tar_symlink_chain": ("w", hostile(("sym", "a", "."), ("sym", "a/b", ".."), ("file", "a/b/escape.txt"))),
    "tar_symlink_ladder": ("w", hostile(("sym", "a", "."), ("sym", "b", "a/.."), ("file", "b/escape.txt"))),
    "tar_hardlink_absolute": ("w", hostile(("hard", "h", outside), ("file", "h"))),
    "tar_hardlink_dotdot": ("w", hostile(("hard", "h", "../../outside.txt"), ("file", "h"))),
    "tar_device": ("w", hostile(("chr", "null"))),
}


# ---- python zipfile ----

def zip_case(build):
    with zipfile.ZipFile(OUT, "w", zipfile.ZIP_DEFLATED) as z:
        build(z)


def zip_file(z, name, data=None, expected=True):
    data = content(name) if data is None else data
    z.writestr(zipfile.ZipInfo(name), data, zipfile.ZIP_DEFLATED)
    if expected:
        expect["files"][name] = sha(data)


def zip_symlink(z, name, target):
    info = zipfile.ZipInfo(name)
    info.create_system = 3
    info.external_attr = (stat.S_IFLNK | 0o777) << 16
    z.writestr(info, target)


def zip_hostile(kind, name, target=None):
    def build(z):
        zip_file(z, "ok.txt")
        if kind == "file":
            zip_file(z, name, b"escaped", expected=False)
        else:
            zip_symlink(z, name, target)
            zip_file(z, name + "/escape.txt", b"escaped", expected=False)
    return build


def zip_nested(z):
    zip_file(z, "top.txt")
    zip_file(z, "a/b/c.txt")
    zip_file(z, "vidéo/été.txt")
    zip_symlink(z, "a/up", "../top.txt")
    expect["links"]["a/up"] = "../top.txt"
    expect["files"]["a/up"] = expect["files"]["top.txt"]


ZIP_CASES = {
    "zip_nested": zip_nested,
    "zip_empty": lambda z: None,
    "zip_dotdot": zip_hostile("file", "../escape.txt"),
    "zip_absolute": zip_hostile("file", os.path.join(ROOT, "abs_escape.txt")),
    "zip_backslash": zip_hostile("file", "..\\escape.txt"),
    "zip_drive": zip_hostile("file", "c:\\escape.txt"),
    "zip_symlink_absolute": zip_hostile("sym", "d", ROOT),
    "zip_symlink_up": zip_hostile("sym", "d", "../.."),
}


# ---- damaged archives ----

def cut(fraction=None, drop=None):
    data = open(OUT, "rb").read()
    size = int(len(data) * fraction) if fraction is not None else len(data) - drop
    open(OUT, "wb").write(data[:size])


def damaged(case):
    global expect
    if case == "tar_cut_in_data":
        tar_case("w", tar_nested)
        with tarfile.open(OUT) as t:
            last = t.getmembers()[-1]
        data = open(OUT, "rb").read()
        open(OUT, "wb").write(data[:last.offset_data + 100])   # inside the last file's data
    elif case == "tar_cut_between_entries":
        tar_case("w", lambda t: (tar_file(t, "a.txt", content("a", 1024)), tar_file(t, "b.txt", content("b", 1024))))
        data = open(OUT, "rb").read()
        open(OUT, "wb").write(data[:512 + 1024])   # complete first entry, no closing blocks
    elif case == "tar_gz_cut":
        tar_case("w:gz", tar_nested)
        cut(fraction=0.6)
    elif case == "zip_cut":
        zip_case(zip_nested)
        cut(fraction=0.5)
    elif case == "zip_cut_directory":
        zip_case(zip_nested)
        cut(drop=10)                   # inside the end-of-directory record
    elif case == "zip_bad_crc":
        with zipfile.ZipFile(OUT, "w", zipfile.ZIP_STORED) as z:
            z.writestr("a.txt", content("a"))
        data = bytearray(open(OUT, "rb").read())
        data[30 + len("a.txt") + 100] ^= 0xFF   # a byte of the stored data
        open(OUT, "wb").write(bytes(data))
    elif case == "not_an_archive":
        open(OUT, "wb").write(content("noise", 5000))
    elif case == "zero_bytes":
        open(OUT, "wb").close()
    else:
        return False
    expect = {"files": {}, "links": {}, "hardlinks": {}}
    return True


# ---- command lines ----

def run(*args, cwd=None):
    subprocess.run(list(args), cwd=cwd, check=True, stdout=subprocess.DEVNULL)


def make_tree():
    files = {"top.txt": content("top"), "sub/file.txt": content("file", 70000), "sub/deep/x.bin": content("x", 1)}
    for rel, data in files.items():
        path = os.path.join(SRC, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        expect["files"][rel] = sha(data)
    os.symlink("../top.txt", os.path.join(SRC, "sub/up"))
    expect["links"]["sub/up"] = "../top.txt"
    expect["files"]["sub/up"] = expect["files"]["top.txt"]


def make_hardlink(kept):
    # zip and 7-Zip store the second name as a copy.
    os.link(os.path.join(SRC, "sub/file.txt"), os.path.join(SRC, "hard"))
    if kept:
        expect["hardlinks"]["hard"] = "sub/file.txt"
    expect["files"]["hard"] = expect["files"]["sub/file.txt"]


def escape_source():
    # What the hostile command lines pack: a file outside the tree they climb from.
    os.makedirs(os.path.join(SRC, "sub"), exist_ok=True)
    with open(os.path.join(SRC, "ok.txt"), "wb") as f:
        f.write(b"ok")
    with open(os.path.join(SRC, "escape.txt"), "wb") as f:
        f.write(b"escaped")


def command_line(case):
    if case in ("cli_tar", "cli_tar_gz", "cli_zip", "cli_bsdtar_7z", "cli_bsdtar_cpio", "cli_bsdtar_zip"):
        make_tree()
        make_hardlink(case in ("cli_tar", "cli_tar_gz", "cli_bsdtar_cpio"))
        {
            "cli_tar": lambda: run("tar", "-cf", OUT, "-C", SRC, "."),
            "cli_tar_gz": lambda: run("tar", "-czf", OUT, "-C", SRC, "top.txt", "sub", "hard"),
            "cli_zip": lambda: run("zip", "-q", "-r", "-y", OUT, ".", cwd=SRC),
            "cli_bsdtar_7z": lambda: run("bsdtar", "--format", "7zip", "-cf", OUT, "-C", SRC, "."),
            "cli_bsdtar_cpio": lambda: run("bsdtar", "--format", "newc", "-cf", OUT, "-C", SRC, "."),
            "cli_bsdtar_zip": lambda: run("bsdtar", "--format", "zip", "-cf", OUT, "-C", SRC, "."),
        }[case]()
        return True
    escape_source()
    if case == "cli_tar_absolute":
        run("tar", "-cPf", OUT, os.path.join(SRC, "ok.txt"), os.path.join(SRC, "escape.txt"))
    elif case == "cli_tar_dotdot":
        run("tar", "-cPf", OUT, "../ok.txt", "../escape.txt", cwd=os.path.join(SRC, "sub"))
    elif case == "cli_zip_dotdot":
        run("zip", "-q", OUT, "../ok.txt", "../escape.txt", cwd=os.path.join(SRC, "sub"))
    elif case == "cli_zip_symlink_absolute":
        os.symlink(outside, os.path.join(SRC, "evil"))
        run("zip", "-q", "-y", OUT, "ok.txt", "evil", cwd=SRC)
    elif case == "cli_bsdtar_zip_dotdot":
        run("bsdtar", "--format", "zip", "-s", ",^escape,../../escape,", "-cf", OUT, "-C", SRC, "ok.txt", "escape.txt")
    elif case == "cli_bsdtar_cpio_absolute":
        run("bsdtar", "--format", "newc", "-P", "-s", ",^escape," + ROOT + "/abs_escape,", "-cf", OUT,
            "-C", SRC, "ok.txt", "escape.txt")
    elif case == "cli_bsdtar_symlink_then_file":
        os.symlink(ROOT, os.path.join(SRC, "d"))
        run("bsdtar", "-s", ",^escape.txt,d/escape.txt,", "-cf", OUT, "-C", SRC, "ok.txt", "d", "escape.txt")
    else:
        return False
    expect["files"].clear()
    expect["links"].clear()
    return True


if CASE in TAR_CASES:
    tar_case(*TAR_CASES[CASE])
elif CASE in ZIP_CASES:
    zip_case(ZIP_CASES[CASE])
elif not damaged(CASE) and not command_line(CASE):
    sys.exit("unknown case " + CASE)
print(json.dumps(expect))

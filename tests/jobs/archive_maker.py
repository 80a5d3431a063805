#!/usr/bin/env python3
# Builds one test archive with python's tarfile/zipfile or with the tar, zip
# and bsdtar command lines: benign ones, hostile ones and damaged ones.
#   archive_maker.py CASE ROOT OUT
# ROOT is the test's scratch folder: absolute names and link targets point
# into it, next to the sentinel file ROOT/outside.txt. Source trees for the
# command lines are made anew in ROOT/src. Prints, as JSON, what a correct
# extraction holds: {"files": {relative: sha256}, "links": {relative: target},
# "hardlinks": {relative: relative}}.
import hashlib
import io
import json
import os
import shutil
import stat
import subprocess
import sys
import tarfile
import zipfile

CASE, ROOT, OUT = sys.argv[1], sys.argv[2], sys.argv[3]
SRC = os.path.join(ROOT, "src")
expect = {"files": {}, "links": {}, "hardlinks": {}}
F, D, S, H = tarfile.REGTYPE, tarfile.DIRTYPE, tarfile.SYMTYPE, tarfile.LNKTYPE


def sha(data):
    return hashlib.sha256(data).hexdigest()


def content(name, size=3000):
    # Distinct, reproducible bytes per name, large enough to span blocks.
    seed = hashlib.sha256(name.encode()).digest()
    return (seed * (size // len(seed) + 1))[:size]


def link(name, target, same_file=None):
    expect["links"][name] = target
    if same_file:
        expect["files"][name] = expect["files"][same_file]


# ---- python tarfile ----

def tar_add(t, name, kind=F, target="", data=None, expected=True):
    info = tarfile.TarInfo(name)
    info.type, info.linkname, info.mode = kind, target, 0o755 if kind == D else 0o644
    if kind == tarfile.CHRTYPE:
        info.devmajor, info.devminor = 1, 3
    if kind != F:
        t.addfile(info)
        return
    data = content(name) if data is None else data
    info.size = len(data)
    t.addfile(info, io.BytesIO(data))
    if expected:
        expect["files"][name] = sha(data)


def tar_tree(t):
    tar_add(t, "top.txt")
    tar_add(t, "a", D)
    tar_add(t, "a/b/c.txt")             # two levels, folders not listed
    tar_add(t, "caméra 1/été.txt")      # non-ASCII names
    tar_add(t, "./dot.txt")
    expect["files"]["dot.txt"] = expect["files"].pop("./dot.txt")
    tar_add(t, "a/b/c.txt", data=b"replaced")   # a later entry wins
    tar_add(t, "sub/file.txt")
    tar_add(t, "sub/up", S, "../top.txt")
    link("sub/up", "../top.txt", "top.txt")
    tar_add(t, "dirlink", S, "sub")
    link("dirlink", "sub")
    tar_add(t, "hard", H, "sub/file.txt")
    expect["hardlinks"]["hard"] = "sub/file.txt"
    expect["files"]["hard"] = expect["files"]["sub/file.txt"]


def hostile(*entries):
    # A benign entry first: refusing must happen before it is created.
    def build(t):
        tar_add(t, "ok.txt")
        for name, kind, target in entries:
            tar_add(t, name, kind, target, b"escaped", expected=False)
    return build


def bomb(t):
    # Far larger unpacked than packed; the hostile entry after it shows
    # whether the listing went on past the entry that cannot fit.
    tar_add(t, "ok.txt")
    tar_add(t, "bomb.bin", data=bytes(64 * 1024 * 1024), expected=False)
    tar_add(t, "../escape.txt", data=b"escaped", expected=False)


TAR_CASES = {
    "tar_tree": ("w:gz", tar_tree),
    "tar_empty": ("w", lambda t: None),
    "tar_dotdot_inner": ("w:bz2", hostile(("sub/../../../escape.txt", F, ""))),
    "tar_backslash": ("w", hostile(("..\\..\\escape.txt", F, ""))),
    "tar_symlink_up": ("w:xz", hostile(("up", S, "../.."))),
    # Each link looks harmless alone; through the first, the second climbs out.
    "tar_symlink_chain": ("w", hostile(("a", S, "."), ("a/b", S, ".."), ("a/b/escape.txt", F, ""))),
    "tar_symlink_ladder": ("w", hostile(("a", S, "."), ("b", S, "a/.."), ("b/escape.txt", F, ""))),
    "tar_hardlink_out": ("w", hostile(("h", H, "../../outside.txt"), ("h", F, ""))),
    "tar_device": ("w", hostile(("null", tarfile.CHRTYPE, ""))),
    # Harmless, but no file system takes a name of 300 bytes.
    "tar_name_too_long": ("w", hostile(("x" * 300, F, ""))),
    "tar_bomb": ("w:bz2", bomb),
}


def tar_case(mode, build):
    with tarfile.open(OUT, mode, format=tarfile.PAX_FORMAT) as t:
        build(t)


# ---- python zipfile ----

def zip_file(z, name, data=None, expected=True):
    data = content(name) if data is None else data
    z.writestr(zipfile.ZipInfo(name), data, zipfile.ZIP_DEFLATED)
    if expected:
        expect["files"][name] = sha(data)


def zip_tree(z):
    zip_file(z, "top.txt")
    zip_file(z, "a/b/c.txt")
    zip_file(z, "vidéo/été.txt")
    info = zipfile.ZipInfo("a/up")
    info.create_system, info.external_attr = 3, (stat.S_IFLNK | 0o777) << 16
    z.writestr(info, "../top.txt")
    link("a/up", "../top.txt", "top.txt")


ZIP_CASES = {
    "zip_tree": zip_tree,
    "zip_empty": lambda z: None,
    "zip_drive": lambda z: (zip_file(z, "ok.txt"), zip_file(z, "c:\\escape.txt", b"escaped", False)),
}


def zip_case(build):
    with zipfile.ZipFile(OUT, "w", zipfile.ZIP_DEFLATED) as z:
        build(z)


# ---- damaged archives ----

def cut(size):
    data = open(OUT, "rb").read()
    open(OUT, "wb").write(data[:size(data)])


def damaged(case):
    if case == "tar_cut_in_data":
        tar_case("w", tar_tree)
        with tarfile.open(OUT) as t:
            last = [m for m in t.getmembers() if m.size > 1000][-1]
        cut(lambda data: last.offset_data + 100)   # inside that file's data
    elif case == "tar_cut_between_entries":
        tar_case("w", lambda t: (tar_add(t, "a.txt", data=content("a", 1024)), tar_add(t, "b.txt")))
        cut(lambda data: 512 + 1024)   # complete first entry, no closing blocks
    elif case == "tar_gz_cut":
        tar_case("w:gz", tar_tree)
        cut(lambda data: len(data) * 6 // 10)
    elif case == "zip_cut":
        zip_case(zip_tree)
        cut(lambda data: len(data) // 2)
    elif case == "zip_cut_directory":
        zip_case(zip_tree)
        cut(lambda data: len(data) - 10)   # inside the end-of-directory record
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
    return True


# ---- command lines ----

def run(*args, cwd=None):
    subprocess.run(list(args), cwd=cwd, check=True, stdout=subprocess.DEVNULL)


def write(rel, data):
    path = os.path.join(SRC, rel)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    return sha(data)


def make_tree(hardlink_kept):
    files = {"top.txt": content("top"), "sub/file.txt": content("file", 70000), "sub/deep/x.bin": content("x", 1)}
    for rel, data in files.items():
        expect["files"][rel] = write(rel, data)
    os.symlink("../top.txt", os.path.join(SRC, "sub/up"))
    link("sub/up", "../top.txt", "top.txt")
    # zip stores the second name of a file as a copy.
    os.link(os.path.join(SRC, "sub/file.txt"), os.path.join(SRC, "hard"))
    if hardlink_kept:
        expect["hardlinks"]["hard"] = "sub/file.txt"
    expect["files"]["hard"] = expect["files"]["sub/file.txt"]


BENIGN_CLI = {
    "cli_tar": lambda: run("tar", "-cf", OUT, "-C", SRC, "."),
    "cli_zip": lambda: run("zip", "-q", "-r", "-y", OUT, ".", cwd=SRC),
    "cli_bsdtar_cpio": lambda: run("bsdtar", "--format", "newc", "-cf", OUT, "-C", SRC, "."),
}
# What the hostile command lines pack: a file outside the tree they climb from.
HOSTILE_CLI = {
    "cli_tar_absolute": lambda: run("tar", "-cPf", OUT, os.path.join(SRC, "ok.txt"), os.path.join(SRC, "escape.txt")),
    "cli_zip_dotdot": lambda: run("zip", "-q", OUT, "../ok.txt", "../escape.txt", cwd=os.path.join(SRC, "sub")),
    "cli_zip_symlink_absolute": lambda: (os.symlink(os.path.join(ROOT, "outside.txt"), os.path.join(SRC, "evil")),
                                         run("zip", "-q", "-y", OUT, "ok.txt", "evil", cwd=SRC)),
    "cli_bsdtar_symlink_then_file": lambda: (os.symlink(ROOT, os.path.join(SRC, "d")),
                                             run("bsdtar", "-s", ",^escape.txt,d/escape.txt,", "-cf", OUT,
                                                 "-C", SRC, "ok.txt", "d", "escape.txt")),
}


if CASE in TAR_CASES:
    tar_case(*TAR_CASES[CASE])
elif CASE in ZIP_CASES:
    zip_case(ZIP_CASES[CASE])
elif CASE in BENIGN_CLI:
    shutil.rmtree(SRC, ignore_errors=True)
    make_tree(CASE != "cli_zip")
    BENIGN_CLI[CASE]()
elif CASE in HOSTILE_CLI:
    shutil.rmtree(SRC, ignore_errors=True)
    os.makedirs(os.path.join(SRC, "sub"))
    write("ok.txt", b"ok")
    write("escape.txt", b"escaped")
    HOSTILE_CLI[CASE]()
elif not damaged(CASE):
    sys.exit("unknown case " + CASE)
print(json.dumps(expect))

#!/usr/bin/env python3
"""Randomized crash-and-concurrency run of the real station ("torture").

Drives real brisko-workflow processes (headless and --run-once, two stores sharing one temp
folder) over real folders with random steps: new photos (small JPEGs, some with EXIF
orientation 6) on a card, in hot folders and on two Directory Browse cameras (one refuses
deletes: a read-only folder; their folders repeat names, 100CANON/IMG_0001.JPG beside
101CANON/IMG_0001.JPG), photos rewritten or renamed over, hard links, the card and the camera
pulled and put back (also while a station stands paused at a rename), a full disk, kill -9 at
random moments and at chosen file calls (tools/torture_shim.c, preloaded). Actions chain: every
destination is the source of a downstream Move Files, so a placed copy is taken on at once; a
downstream action may name its source through a symbolic link or with a doubled "/".
Rotation and BriskoExif tagging run on card, hot-folder and camera paths. Where a private CUPS
can be started (tools/cups_sandbox.sh: root, cupsd, ippeveprinter), a Print Files action prints
photos dropped into its folder and moves them on (in some rounds to another file system, killed
during the move on), while the printer runs out of paper now and then; in some rounds the second
station prints from the same folder. The printer keeps every job's document, and every printed
photo must have been printed exactly once.

Where loop devices work (root, mkfs.vfat or else mkfs.ext2), two card images with one volume
label ("EOS_DIGITAL", as every card of one camera model) take turns at one mount point with the
same folder and file names, swapped while moves from them run, wait or were killed. Flushes of a
card's folders fail with EIO for a while (the shim), and the card may then come back as last
flushed: the removals made since undone. A Move Subfolders source refuses deletes for a while
(immutable, or a read-only bind mount) while its archive is another file system. Both stations
take from one hot folder (on its own file system). --temp-tmpfs puts the temp folder on its own
tmpfs, another file system than every destination.

After each round everything is stopped, each store gets two --run-once passes, and the model is
checked: the last version of every photo exists exactly once outside its source (byte for
byte, or for rotated and tagged photos as a whole JPEG carrying the photo's marker, which sits
in EXIF and in a COM segment, both kept by tagging and lossless rotation), no photo twice,
nothing unknown (half-written), nothing left in the temp folder and no hidden (.brisko-*) or
scratch copy anywhere: with every station stopped nothing is in progress, so each is a fault.
Each fault names the seed and round and shows the stations' log lines for that photo.

Where rclone is installed, an Upload Files action sends what a Move Files takes off the card
(card/U) on to a WebDAV server the tool runs on loopback (`rclone serve webdav` over a folder
outside the station's), in some rounds written in place rather than renamed into place; the server
is stopped (now and then killed mid-send) and started again at random. Once the queue has drained
in the closing passes, every photo of that folder must be on the server exactly once, byte for
byte, with nothing else there (no half-sent or hidden file), and the queue's records must hold no
photo still waiting or given up.

Each round starts from empty folders and its own random stream, so `--seed S --round R`
replays one round (timing still varies; --repeat runs it again and again).

    nice -n 10 python3 tools/torture.py --minutes 30      # as root: tmpfs card, cameras, disk
    nice -n 10 python3 tools/torture.py --minutes 10 --temp-tmpfs
    python3 tools/torture.py --seed 7 --round 12 --repeat 20 --verbose
"""

import argparse
import base64
import hashlib
import os
import random
import re
import shutil
import signal
import struct
import subprocess
import sys
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))

# A 32x16 baseline JPEG, 4:2:0 (16x16 blocks, so a quarter turn is lossless), made by cjpeg.
BASE_JPEG = base64.b64decode(
    "/9j/4AAQSkZJRgABAQAAAQABAAD/2wBDAAMCAgMCAgMDAwMEAwMEBQgFBQQEBQoHBwYIDAoMDAsKCwsNDhIQDQ4RDgsLEBYQERMU"
    "FRUVDA8XGBYUGBIUFRT/2wBDAQMEBAUEBQkFBQkUDQsNFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQU"
    "FBQUFBQUFBT/wAARCAAQACADASIAAhEBAxEB/8QAHwAAAQUBAQEBAQEAAAAAAAAAAAECAwQFBgcICQoL/8QAtRAAAgEDAwIEAwUF"
    "BAQAAAF9AQIDAAQRBRIhMUEGE1FhByJxFDKBkaEII0KxwRVS0fAkM2JyggkKFhcYGRolJicoKSo0NTY3ODk6Q0RFRkdISUpTVFVW"
    "V1hZWmNkZWZnaGlqc3R1dnd4eXqDhIWGh4iJipKTlJWWl5iZmqKjpKWmp6ipqrKztLW2t7i5usLDxMXGx8jJytLT1NXW19jZ2uHi"
    "4+Tl5ufo6erx8vP09fb3+Pn6/8QAHwEAAwEBAQEBAQEBAQAAAAAAAAECAwQFBgcICQoL/8QAtREAAgECBAQDBAcFBAQAAQJ3AAEC"
    "AxEEBSExBhJBUQdhcRMiMoEIFEKRobHBCSMzUvAVYnLRChYkNOEl8RcYGRomJygpKjU2Nzg5OkNERUZHSElKU1RVVldYWVpjZGVm"
    "Z2hpanN0dXZ3eHl6goOEhYaHiImKkpOUlZaXmJmaoqOkpaanqKmqsrO0tba3uLm6wsPExcbHyMnK0tPU1dbX2Nna4uPk5ebn6Onq"
    "8vP09fb3+Pn6/9oADAMBAAIRAxEAPwD4k0P4R/d/c/pXoWh/CPO39z+lfSuh/CPO39z+lehaH8I8bf3P6VxYDNdtT814f8Qfh98+"
    "atD+EeNv7n9K9B0P4R52/uf0r6W0P4R52/uf0rtbf4cRaVbrJJDuY8JGByx/w96+5jxFhsuw08Xi6ihTgrtvZL+tlu3otT+meHeP"
    "3NxjGV2f/9k=")

MARKER = re.compile(rb"TORTURE:(\d+):(\d+):")


def jpeg(marker, orientation, pad):
    """A photo: EXIF with the marker as ImageDescription and the orientation, the marker again in
    a COM segment, then padding."""
    desc = marker.encode() + b"\0"
    tiff = (b"MM\0\x2a" + struct.pack(">I", 8) + struct.pack(">H", 2) +
            struct.pack(">HHII", 0x010E, 2, len(desc), 38) +
            struct.pack(">HHIHH", 0x0112, 3, 1, orientation, 0) + struct.pack(">I", 0) + desc)
    app1 = b"Exif\0\0" + tiff
    com = marker.encode()
    out = [b"\xff\xd8", b"\xff\xe1" + struct.pack(">H", len(app1) + 2) + app1,
           b"\xff\xfe" + struct.pack(">H", len(com) + 2) + com]
    while pad:
        chunk, pad = pad[:60000], pad[60000:]
        out.append(b"\xff\xfe" + struct.pack(">H", len(chunk) + 2) + chunk)
    rest = BASE_JPEG[2:]
    if rest[:2] == b"\xff\xe0":  # the JFIF header would stand before EXIF
        rest = rest[2 + struct.unpack(">H", rest[2:4])[0]:]
    out.append(rest)
    return b"".join(out)


def jpeg_problem(data):
    """None for a whole JPEG (segments up to the scan, then an end marker), else what is wrong."""
    if data[:2] != b"\xff\xd8":
        return "no start marker"
    i = 2
    while True:
        if i + 4 > len(data) or data[i] != 0xFF:
            return "segment chain broken at %d" % i
        m = data[i + 1]
        if m == 0xFF:
            i += 1
            continue
        n = struct.unpack(">H", data[i + 2:i + 4])[0]
        if i + 2 + n > len(data):
            return "segment runs past the end"
        if m == 0xDA:
            break
        i += 2 + n
    if not data.rstrip(b"\0").endswith(b"\xff\xd9"):
        return "no end marker (truncated)"
    if shutil.which("djpeg"):
        r = subprocess.run(["djpeg", "-outfile", os.devnull], input=data, capture_output=True)
        if r.returncode != 0 or b"Corrupt" in r.stderr or b"Premature" in r.stderr:
            return "does not decode: " + r.stderr.decode(errors="replace").strip()[:120]
    return None


def exif_orientation(data):
    i = data.find(b"Exif\0\0")
    if i < 0:
        return None
    t = data[i + 6:]
    e = ">" if t[:2] == b"MM" else "<"
    try:
        ifd = struct.unpack(e + "I", t[4:8])[0]
        for k in range(struct.unpack(e + "H", t[ifd:ifd + 2])[0]):
            tag, _, _ = struct.unpack(e + "HHI", t[ifd + 2 + 12 * k:ifd + 10 + 12 * k])
            if tag == 0x0112:
                return struct.unpack(e + "H", t[ifd + 10 + 12 * k:ifd + 12 + 12 * k])[0]
    except struct.error:
        return None
    return None


def stray_kind(name):
    for pattern, kind in ((r"\.brisko-tag-.*\.tmp$", ".brisko-tag-*.tmp"), (r"\.brisko-.*-cam.*\.tmp$", ".brisko-*-cam*.tmp"),
                          (r"\.brisko-.*\.tmp$", ".brisko-*.tmp"), (r"\..*\.brisko-gone$", ".*.brisko-gone"),
                          (r"\..*\.brisko-[A-Za-z0-9]{6}$", ".*.brisko-XXXXXX"), (r"ExifRotatorTemp_", "ExifRotatorTemp_*")):
        if re.match(pattern, name):
            return kind
    return name


def sha(data):
    return hashlib.sha1(data).hexdigest()


def dword(v):
    return '<v name="%s" value="0x%08x" type="REG_DWORD"/>' % v


def text(v):
    n, s = v
    s = s.replace("&", "&amp;").replace('"', "&quot;").replace("<", "&lt;")
    return '<v name="%s" value="%s"/>' % (n, s)


def backup_xml(actions, temp):
    """The configuration as a backup file the station restores."""
    keys = ['<k name="Actions">' + dword(("NumActions", len(actions))) + "</k>"]
    for i, a in enumerate(actions):
        vals = [text(("m_strName", a["name"])), text(("m_strSourceFolder", a["src"] + "/")),
                text(("m_strDestFolder", a["dst"] + "/")), text(("m_strFileSpec", a.get("spec", "*.jpg")))]
        for k in ("m_iType", "m_bIncludeSubFolders", "m_bAutoRotateJPG", "m_bAddOrUpdateBriskoExif",
                  "m_bEnabled"):
            vals.append(dword((k, a.get(k, 1 if k == "m_bEnabled" else 0))))
        vals += [dword(kv) for kv in a.get("extra", {}).items()]
        vals += [text(kv) for kv in a.get("texts", {}).items()]
        keys.append('<k name="Action_%d">%s</k>' % (i, "".join(vals)))
    keys.append('<k name="Settings">' + text(("m_TempPath", temp + "/")) + "</k>")
    return ('<?xml version="1.0" encoding="UTF-8"?>\n<k name="HKEY_LOCAL_MACHINE"><k name="SOFTWARE">'
            '<k name="Brisko Pty Ltd"><k name="BriskoFileWorkflow">%s</k></k></k></k>\n' % "".join(keys))


class Photo:
    def __init__(self, pid, path, route):
        self.pid, self.path, self.route = pid, path, route
        self.versions = []  # (sha1 of the bytes, version number)
        self.live = True
        self.paths = [path]  # every name it had at its source, for its log lines
        self.card = None  # which of the same-label cards it was taken on


class Medium:
    """A card or a camera: its own file system where it can be (a tmpfs bind-mounted at its place,
    read-only for a camera that refuses deletes), else a plain folder. New shots are written to
    its store, so a camera takes photos while it is pulled."""

    def __init__(self, t, name, size, read_only=False):
        self.t, self.name, self.read_only = t, name, read_only
        self.place = t.p(name)
        self.store = t.work + "/%sstore" % name
        self.mounted = False
        self.inserted = True
        if t.root and (os.path.ismount(self.store) or t.mount_tmpfs(self.store, size)):
            if self.store not in t.mounts:
                t.mounts.append(self.store)
            for f in os.listdir(self.store):
                shutil.rmtree(self.store + "/" + f, ignore_errors=True)
            self.mounted = self.attach()
        if not self.mounted:
            self.store = self.place
            os.makedirs(self.place, exist_ok=True)

    def attach(self):
        os.makedirs(self.place, exist_ok=True)
        if not self.t.sh("mount", "--bind", self.store, self.place):
            return False
        self.t.mounts.append(self.place)
        if self.read_only and not self.t.sh("mount", "-o", "remount,bind,ro", self.place):
            self.t.note("%s: read-only remount failed" % self.name)
        return True

    def real(self, path):
        """Where the tool writes a photo the station sees at `path`."""
        if self.mounted:
            return self.store + path[len(self.place):]
        return path if self.inserted else self.t.p("outside/" + self.name) + path[len(self.place):]

    def owns(self, path):
        return path.startswith(self.place + "/")

    def pull(self):
        if not self.inserted:
            return
        if self.mounted:
            self.t.sh("umount", "-l", self.place)
            self.t.mounts.remove(self.place)
            try:
                os.rmdir(self.place)
            except OSError as e:  # something was written below the pulled medium's place
                self.t.note("%s: its place stays after the pull: %s" % (self.name, e.strerror))
        else:
            os.rename(self.place, self.t.p("outside/" + self.name))
        self.inserted = False
        self.t.pulls += 1
        self.t.note("%s pulled" % self.name)

    def put(self):
        if self.inserted:
            return
        if self.mounted:
            if not self.attach():  # the photos on it would all count as lost
                self.t.note("%s mount failed" % self.name)
        else:
            os.rename(self.t.p("outside/" + self.name), self.place)
        self.inserted = True
        self.t.note("%s back" % self.name)


class SwapCards:
    """Two cards with one volume label, as every card formatted by one camera model: loop-mounted
    images (FAT where the kernel mounts it, else ext2 with the same label), each mounted at its
    own store for the tool and one at a time at the card's place. Their folders and names repeat
    (DCIM/100CANON/IMG_0001.JPG on both), so only the file system's identity tells them apart."""

    LABEL = "EOS_DIGITAL"

    def __init__(self, t, rng, kind):
        self.t, self.kind = t, kind
        self.place = t.p("swap")
        self.cards = []
        for name in ("swapA", "swapB"):
            # A new image file each round: a file system still held by a killed station's last
            # reference must never be written over, nor its loop device taken up again.
            img, store = "%s/%s-%d.img" % (t.work, name, t.round), "%s/%sstore" % (t.work, name)
            for old in os.listdir(t.work):
                if old.startswith(name + "-") and old.endswith(".img"):
                    r = subprocess.run(["losetup", "-j", "%s/%s" % (t.work, old)], capture_output=True, text=True)
                    for dev in re.findall(r"^(/dev/loop\d+):", r.stdout, re.M):
                        t.sh("losetup", "-d", dev)  # when busy, it goes once the last user lets go
                    os.unlink("%s/%s" % (t.work, old))
            t.sh("umount", "-l", store)
            mkfs = (["mkfs.vfat", "-n", self.LABEL, "-i", "%08x" % rng.getrandbits(32)] if kind == "vfat" else
                    ["mkfs.ext2", "-q", "-F", "-L", self.LABEL, "-U", "random"])
            with open(img, "wb") as f:
                f.truncate(48 << 20)
            os.makedirs(store, exist_ok=True)
            if not t.sh(*mkfs, img) or not t.sh("mount", "-o", "loop", img, store):
                raise OSError("cannot make and mount %s" % img)
            t.mounts.append(store)
            os.makedirs(store + "/DCIM/100CANON")
            self.cards.append({"name": name, "store": store, "numbers": 0})
        self.inserted = None
        os.makedirs(self.place, exist_ok=True)
        self.put(self.cards[0])

    def real(self, card, path):
        return card["store"] + path[len(self.place):]

    def owns(self, path):
        return path.startswith(self.place + "/")

    def pull(self):
        if not self.inserted:
            return
        self.t.sh("umount", "-l", self.place)
        self.t.mounts.remove(self.place)
        self.t.note("%s pulled" % self.inserted["name"])
        self.inserted = None
        self.t.pulls += 1

    def put(self, card):
        if self.inserted is card:
            return
        self.pull()
        if not self.t.sh("mount", "--bind", card["store"], self.place):
            self.t.note("%s mount failed" % card["name"])
            return
        self.t.mounts.append(self.place)
        self.inserted = card
        self.t.note("%s in (label %s)" % (card["name"], self.LABEL))

    def other(self):
        return self.cards[1] if self.inserted is self.cards[0] else self.cards[0]

    def swap(self):
        """The card goes out and the other one, same label, goes in at the same place."""
        self.put(self.other())
        self.t.swaps += 1

    def out_stores(self):
        return [c for c in self.cards if c is not self.inserted]


class Station:
    """One store and the processes running on it."""

    def __init__(self, t, name, store):
        self.t, self.name, self.store = t, name, store
        self.proc = None
        self.killed = False
        self.logs = 0

    def env(self, shim=None):
        e = dict(os.environ)
        for k in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "BRISKO_STORE", "LD_PRELOAD"):
            e.pop(k, None)
        e["XDG_RUNTIME_DIR"] = self.t.run_dir
        e["XDG_STATE_HOME"] = self.t.work + "/state"
        if self.t.printer:
            e["CUPS_SERVER"] = self.t.printer["CUPS_SERVER"]
        if self.t.upload:
            e["RCLONE_CONFIG"] = self.t.rclone_conf
        if self.t.shim:
            e["LD_PRELOAD"] = self.t.shim
            e["TORTURE_EIO"] = self.t.eio_flag
            e.update(shim or {})
        return e

    def log_file(self, kind):
        self.logs += 1
        return open("%s/logs/r%d-%s-%s-%d.log" % (self.t.work, self.t.round, self.name, kind, self.logs), "wb")

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def start(self, shim=None, once=False):
        """A headless station, or one --run-once pass running beside the steps."""
        if self.running():
            return
        mode = "--run-once" if once else "--headless"
        self.proc = subprocess.Popen([self.t.binary, mode, "--store", self.store], env=self.env(shim),
                                     stdout=self.log_file(mode[2:]), stderr=subprocess.STDOUT,
                                     stdin=subprocess.DEVNULL)
        self.killed = False

    def died(self):
        """True once for a process the shim killed at its file call."""
        if self.proc is None or self.killed or self.proc.poll() != -signal.SIGKILL:
            return False
        self.killed = True
        return True

    def kill(self):
        if self.running():
            self.proc.kill()
            self.proc.wait()
            self.killed = True
            self.t.kills += 1
            return True
        return False

    def stop(self):
        """SIGTERM runs the exit sequence; a station that does not end in 60 s is a fault."""
        if not self.running():
            self.proc = None
            return
        if self.proc.args[1] == "--run-once":
            try:
                self.proc.wait(120)
            except subprocess.TimeoutExpired:
                self.t.fault("hang", "%s --run-once did not end within 120 s" % self.name)
                self.proc.kill()
            self.proc = None
            return
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(60)
        except subprocess.TimeoutExpired:
            self.t.fault("hang", "%s did not exit within 60 s of SIGTERM" % self.name)
            self.proc.kill()
            self.proc.wait()
        self.proc = None

    def run_once(self, shim=None, timeout=120):
        with self.log_file("once") as out:
            p = subprocess.Popen([self.t.binary, "--run-once", "--store", self.store], env=self.env(shim),
                                 stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
            try:
                return p.wait(timeout)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
                self.t.fault("hang", "%s --run-once did not end within %d s" % (self.name, timeout))
                return -1


class Torture:
    def __init__(self, args):
        self.a = args
        self.binary = os.path.abspath(args.binary)
        self.work = os.path.abspath(args.dir or "/tmp/brisko-torture-%d" % args.seed)
        self.fs = self.work + "/fs"
        self.run_dir = self.work + "/run"
        self.root = os.geteuid() == 0 and not args.no_mount
        self.mounts = []
        self.steps = self.kills = self.photos = self.rounds = 0
        self.shim_kills = self.pauses = self.pulls = 0
        self.doubled = self.lost = self.strays = 0
        self.by_path = {}  # "doubled cam" -> count: which path a fault came by
        self.faults = []
        self.round = 0
        self.trace = []
        self.shim = None
        self.printer = None  # the private CUPS's env file, as a dict
        self.job_hashes = {}  # printer's job file -> sha1 of its document
        self.prints = 0  # photos printed once and moved on
        self.paper_out = False
        self.swaps = self.eio_windows = self.refusals = 0
        self.aimed = {}  # scenario kind -> how often it ran
        self.refused = []  # (folder, "immutable" | "read-only") refusing deletes now
        self.loop_kind = None  # the file system of the same-label cards, where loop mounts work
        self.eio_flag = self.work + "/flush-fails"
        self.upload = bool(shutil.which("rclone")) and not args.no_upload
        self.server = None  # the loopback WebDAV server of the upload step, while it runs
        self.remote = self.work + "/remote"  # what it serves: outside the station's folders
        self.rclone_conf = self.work + "/rclone.conf"
        self.uploaded = self.server_stops = 0

    # ----- set-up -------------------------------------------------------------------------
    def sh(self, *cmd):
        return subprocess.run(cmd, capture_output=True).returncode == 0

    def build_shim(self):
        if self.a.no_shim:
            return
        cc = shutil.which("cc") or shutil.which("gcc") or shutil.which("clang")
        out = self.work + "/torture_shim.so"
        if cc and self.sh(cc, "-shared", "-fPIC", "-O1", "-o", out, HERE + "/torture_shim.c", "-ldl"):
            self.shim = out
        else:
            print("torture: no C compiler for the preload shim; kills at file calls are left out")

    def start_printer(self):
        if self.a.no_print:
            return
        folder = self.work + "/cups"
        shutil.rmtree(folder, ignore_errors=True)
        r = subprocess.run([HERE + "/cups_sandbox.sh", "start", folder, "--owner", str(os.getpid())],
                           capture_output=True, text=True)
        if r.returncode != 0:
            print("torture: no private printer, the print path is left out: %s" % r.stderr.strip()[-300:])
            return
        with open(folder + "/env") as f:
            self.printer = dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)

    def set_paper(self, out):
        """The printer's trays empty (media-empty) or filled, through its web form."""
        level = "0" if out else "-2"
        url = ("%s/media?size1=na_letter_8.5x11in&type1=stationery&level1=%s&size2=na_index-4x6_4x6in"
               "&type2=photographic-glossy&level2=%s" % (self.printer["PRINTER_WEB"], level, level))
        try:
            urllib.request.urlopen(url, timeout=5).read()
            self.paper_out = out
            self.note("printer: paper %s" % ("out" if out else "in"))
        except OSError as e:
            self.note("printer: paper %s failed: %s" % ("out" if out else "in", e))

    def wait_for_paper_seen(self):
        """CUPS learns of paper put in only when its backend next asks the printer (a job held
        for paper is retried some seconds later): the closing passes wait for that, as an operator
        would, up to 30 s."""
        env = dict(os.environ, CUPS_SERVER=self.printer["CUPS_SERVER"])
        deadline = time.time() + 30
        while time.time() < deadline:
            # Without a job CUPS keeps the last reasons it heard (the station asks the printer).
            jobs = subprocess.run(["lpstat", "-o", self.printer["QUEUE"]], capture_output=True, text=True,
                                  env=env)
            if jobs.returncode != 0 or not jobs.stdout.strip():
                return
            r = subprocess.run(["lpstat", "-l", "-p", self.printer["QUEUE"]], capture_output=True,
                               text=True, env=env)
            if r.returncode != 0 or "media-empty" not in r.stdout and "media-needed" not in r.stdout:
                return
            time.sleep(0.5)
        self.note("printer: CUPS still says paper out 30 s after paper in")

    def stop_printer(self):
        if self.printer:
            subprocess.run([HERE + "/cups_sandbox.sh", "stop", self.work + "/cups"], capture_output=True)

    def setup_server(self):
        """A loopback port and the rclone configuration naming the server as the remote "gallery"."""
        if not self.upload:
            if not self.a.no_upload:
                print("torture: rclone is not installed; the upload step is left out")
            return
        s = __import__("socket").socket()
        s.bind(("127.0.0.1", 0))
        self.server_port = s.getsockname()[1]
        s.close()
        with open(self.rclone_conf, "w") as f:
            f.write("[gallery]\ntype = webdav\nurl = http://127.0.0.1:%d/\nvendor = other\n" % self.server_port)

    def start_server(self):
        if not self.upload or self.server:
            return
        os.makedirs(self.remote, exist_ok=True)
        self.server = subprocess.Popen(["rclone", "serve", "webdav", self.remote, "--addr",
                                        "127.0.0.1:%d" % self.server_port, "--config", "/dev/null",
                                        "--cache-dir", self.work + "/rclone-cache"],
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        import socket
        for _ in range(100):
            try:
                socket.create_connection(("127.0.0.1", self.server_port), 0.2).close()
                break
            except OSError:
                time.sleep(0.05)
        self.note("server up")

    def stop_server(self, hard=False):
        if not self.server:
            return
        self.server.kill() if hard else self.server.terminate()
        try:
            self.server.wait(10)
        except subprocess.TimeoutExpired:
            self.server.kill()
            self.server.wait()
        self.server = None
        self.note("server %s" % ("killed" if hard else "stopped"))

    def find_loop_kind(self):
        """Which file system two same-label card images can be: FAT where the kernel mounts it,
        else ext2; None without root, loop devices or mkfs."""
        if not self.root or self.a.no_loop:
            return None
        img, mnt = self.work + "/probe.img", self.work + "/probe"
        os.makedirs(mnt, exist_ok=True)
        for kind, mkfs in (("vfat", ["mkfs.vfat", "-n", SwapCards.LABEL]), ("ext2", ["mkfs.ext2", "-q", "-F"])):
            if not shutil.which(mkfs[0]):
                continue
            with open(img, "wb") as f:
                f.truncate(8 << 20)
            if self.sh(*mkfs, img) and self.sh("mount", "-o", "loop", img, mnt):
                self.sh("umount", mnt)
                os.unlink(img)
                return kind
        if os.path.exists(img):
            os.unlink(img)
        print("torture: no loop-mounted card images (mkfs.vfat, mkfs.ext2 or loop devices missing); "
              "the same-label card swap is left out")
        return None

    def unmount_all(self):
        for m in reversed(self.mounts):
            self.sh("umount", "-l", m)
        self.mounts = []

    def mount_tmpfs(self, path, size):
        os.makedirs(path, exist_ok=True)
        if self.sh("mount", "-t", "tmpfs", "-o", "size=%s,mode=0755" % size, "tmpfs", path):
            self.mounts.append(path)
            return True
        return False

    def p(self, rel):
        return self.fs + "/" + rel

    def setup_round(self, rng):
        """Empty folders, fresh stores, the card, the cameras and the small disk mounted where
        possible; actions chained so every destination feeds a downstream Move Files."""
        for st in getattr(self, "stations", []):
            st.kill()
        self.eio(None)
        self.lift_all()
        self.unmount_all()
        if os.path.exists(self.fs):
            for top, dirs, _ in os.walk(self.fs):  # a read-only camera left by a non-root run
                for d in dirs:
                    os.chmod(os.path.join(top, d), 0o755)
            shutil.rmtree(self.fs)
        for d in ("conf", "logs", "state", "run"):
            os.makedirs(self.work + "/" + d, exist_ok=True)
        os.chmod(self.run_dir, 0o700)
        for d in ("hot", "arch", "turnin", "turned", "drop", "full", "hot2", "temp", "temp2", "outside",
                  "tagged", "camdst", "camrodst", "final/hot", "final/tagged", "final/turned", "final/arch",
                  "final/full", "final/camdst", "final/camrodst", "final/hot2", "printin", "printed",
                  "swapdst", "final/swapdst", "shared", "final/shareda", "final/sharedb", "links", "up"):
            os.makedirs(self.p(d), exist_ok=True)
        self.disk_is_mount = self.root and self.mount_tmpfs(self.p("full"), "6m")
        # Other file systems: the temp folder (--temp-tmpfs), the archive Move Subfolders fills
        # (so it copies and deletes), the print path's destination (so its move-on copies) and
        # the hot folder two stations take from.
        self.temp_is_mount = self.a.temp_tmpfs and self.mount_tmpfs(self.p("temp"), "256m")
        self.arch_is_mount = self.root and rng.random() < 0.5 and self.mount_tmpfs(self.p("arch"), "64m")
        self.print_cross = bool(self.printer) and self.root and rng.random() < 0.6 and \
            self.mount_tmpfs(self.p("printed"), "64m")
        self.shared_is_mount = self.root and rng.random() < 0.8 and self.mount_tmpfs(self.p("shared"), "64m")
        self.swap = None
        if self.loop_kind and rng.random() < 0.8:
            try:
                self.swap = SwapCards(self, rng, self.loop_kind)
            except OSError as e:
                print("torture: %s; no card swap this round" % e)
        self.card = Medium(self, "card", "64m")
        self.cam = Medium(self, "cam", "64m")
        self.camro = Medium(self, "camro", "16m", read_only=True)
        self.media = [self.card, self.cam, self.camro]
        for d in ("card/DCIM/100", "card/DCIM/101", "card/B", "card/T", "card/U"):
            os.makedirs(self.card.real(self.p(d)), exist_ok=True)
        self.shots = {}  # camera folder -> last number: each folder counts from IMG_0001
        for m, folders in ((self.cam, ("100CANON", "101CANON")), (self.camro, ("100CANON", "101CANON"))):
            for f in folders:
                os.makedirs(m.real(m.place + "/DCIM/" + f), exist_ok=True)
                if m.read_only and not m.mounted:
                    os.chmod(m.real(m.place + "/DCIM/" + f), 0o555)
        self.filler = False
        # Which paths turn and tag this round (the hot-folder turn path always does both).
        self.rotates = {"turn": True, "tag": rng.random() < 0.5, "cam": rng.random() < 0.5}
        self.tags = {"turn": True, "tag": True, "cam": rng.random() < 0.7}
        cam_spec = "*.JPG"
        # Some rounds the camera also shoots RAW+JPEG shots (with a .THM now and then, the sidecar
        # Directory Browse lists), taken by Cam and Oncamdst keeping shots together.
        self.cam_shots = rng.random() < 0.5
        self.cam_written = 0  # when the camera last took a photo
        cam_shot_spec = "*.JPG|*.CR2" if self.cam_shots else cam_spec
        cam_keep = {"m_bKeepShotsTogether": 1} if self.cam_shots else {}
        # Some rounds the card and camera copies are read back and compared before sources go.
        check = {"m_bVerifyCopies": 1} if rng.random() < 0.5 else {}
        if check:
            self.note("copies checked")
        a_actions = [
            {"name": "Card", "m_iType": 1, "src": self.p("card/DCIM"), "dst": self.p("hot"),
             "m_bIncludeSubFolders": 1, "extra": dict(check)},
            {"name": "Tag", "m_iType": 1, "src": self.p("card/T"), "dst": self.p("tagged"),
             "m_bAutoRotateJPG": int(self.rotates["tag"]), "m_bAddOrUpdateBriskoExif": 1},
            {"name": "Turn", "m_iType": 1, "src": self.p("turnin"), "dst": self.p("turned"),
             "m_bAutoRotateJPG": 1, "m_bAddOrUpdateBriskoExif": 1},
            {"name": "Sort", "m_iType": 5, "src": self.p("hot"), "dst": self.p("arch")},
            {"name": "Disk", "m_iType": 1, "src": self.p("drop"), "dst": self.p("full"), "extra": dict(check)},
            {"name": "Cam", "m_iType": 1, "src": "camera:disk:" + self.cam.place, "dst": self.p("camdst"),
             "m_bIncludeSubFolders": 1, "spec": cam_shot_spec, "m_bAutoRotateJPG": int(self.rotates["cam"]),
             "m_bAddOrUpdateBriskoExif": int(self.tags["cam"]), "extra": dict(cam_keep, **check)},
            {"name": "CamRO", "m_iType": 1, "src": "camera:disk:" + self.camro.place,
             "dst": self.p("camrodst"), "m_bIncludeSubFolders": 1, "spec": cam_spec},
        ]
        # Downstream: every destination is taken on by a Move Files into the archive.
        down = [{"name": "On" + d, "m_iType": 1, "src": self.p(d), "dst": self.p("final/" + d),
                 "spec": cam_shot_spec if d == "camdst" else cam_spec if d.startswith("cam") else "*.jpg",
                 "m_bIncludeSubFolders": int(d != "hot"),  # hot's subfolders are Sort's
                 "extra": cam_keep if d == "camdst" else {}}
                for d in ("hot", "tagged", "turned", "arch", "full", "camdst", "camrodst")]
        shot_up, shot_down = self.setup_shots(rng)
        a_actions += shot_up
        printing = None
        if self.printer:
            # A replayed round writes the same photos again: only this round's jobs count.
            jobs = self.printer["JOBS_DIR"]
            self.old_jobs = set(os.listdir(jobs)) if os.path.isdir(jobs) else set()
            printing = {"name": "Print", "m_iType": 8, "src": self.p("printin"), "dst": self.p("printed"),
                        "extra": {"m_iPrintCopies": 1}, "texts": {"m_strPrintQueue": self.printer["QUEUE"]}}
            a_actions.append(printing)
        if self.swap:
            self.rotates["swap"], self.tags["swap"] = rng.random() < 0.3, rng.random() < 0.3
            a_actions.append({"name": "Swap", "m_iType": 1, "src": self.p("swap/DCIM"), "dst": self.p("swapdst"),
                              "m_bIncludeSubFolders": 1, "spec": "*.JPG", "m_bAutoRotateJPG": int(self.rotates["swap"]),
                              "m_bAddOrUpdateBriskoExif": int(self.tags["swap"])})
            down.append({"name": "Onswapdst", "m_iType": 1, "src": self.p("swapdst"), "dst": self.p("final/swapdst"),
                         "spec": "*.JPG"})
        if self.upload:
            # Off the card into "up", and from there to the server: the remote starts empty.
            self.stop_server()
            shutil.rmtree(self.remote, ignore_errors=True)
            self.start_server()
            in_place = {"m_bUploadInPlace": 1} if rng.random() < 0.3 else {}
            self.note("upload %s" % ("in place" if in_place else "through hidden names"))
            a_actions.append({"name": "CardUp", "m_iType": 1, "src": self.p("card/U"), "dst": self.p("up")})
            a_actions.append({"name": "Upload", "m_iType": 9, "src": self.p("up"), "dst": "gallery:up",
                              "extra": in_place})
        # One hot folder that both stations take from.
        a_actions.append({"name": "ShareA", "m_iType": 1, "src": self.p("shared"), "dst": self.p("final/shareda"),
                          "extra": dict(check)})
        down += shot_down
        # A downstream action may name its source, the upstream destination, another way.
        for a in down:
            a["src"] = self.named_otherwise(rng, a["src"])
        # Mostly after their upstream actions (a copy moves on in the same pass), sometimes before.
        a_actions = a_actions + down if rng.random() < 0.7 else down + a_actions
        b_actions = [{"name": "Second", "m_iType": 1, "src": self.p("card/B"), "dst": self.p("hot2")},
                     {"name": "Onhot2", "m_iType": 1, "src": self.named_otherwise(rng, self.p("hot2")),
                      "dst": self.p("final/hot2")},
                     {"name": "ShareB", "m_iType": 1, "src": self.p("shared"),
                      "dst": self.p(rng.choice(["final/sharedb", "final/sharedb", "final/shareda"]))}]
        # Some rounds both stations print from the one folder.
        self.two_print = bool(printing) and rng.random() < 0.5
        if self.two_print:
            b_actions.append(dict(printing))
        self.stations = []
        for name, actions, temp in (("A", a_actions, self.p("temp")), ("B", b_actions, self.p("temp"))):
            store = "%s/conf/%s.db" % (self.work, name)
            for f in os.listdir(self.work + "/conf"):
                if f.startswith(name + "."):
                    os.unlink(self.work + "/conf/" + f)
            xml = "%s/conf/%s.BriskoWorkflowBackup" % (self.work, name)
            with open(xml, "w") as f:
                f.write(backup_xml(actions, temp))
            st = Station(self, name, store)
            r = subprocess.run([self.binary, "--store", store, "--restore", xml], env=st.env(),
                               capture_output=True)
            if r.returncode != 0:
                sys.exit("torture: cannot restore %s: %s" % (xml, r.stderr.decode(errors="replace")))
            self.stations.append(st)
        self.A, self.B = self.stations
        self.model = []
        self.open_temp = set()
        self.signal = self.work + "/paused"
        if os.path.exists(self.signal):
            os.unlink(self.signal)

    def named_otherwise(self, rng, folder):
        """`folder` as the action names it: mostly as it is, sometimes through a symbolic link
        or with a doubled "/"."""
        rel = os.path.relpath(folder, self.fs)
        r = rng.random()
        if r < 0.2:
            link = self.p("links/" + rel.replace("/", "_"))
            if not os.path.lexists(link):
                os.symlink(folder if rng.random() < 0.5 else "../" + rel, link)
            self.note("%s is named through the link %s" % (rel, os.path.relpath(link, self.fs)))
            return link
        if r < 0.3:
            self.note("%s is named with a doubled /" % rel)
            return self.fs + "//" + rel
        return folder

    # ----- reporting ----------------------------------------------------------------------
    def note(self, what):
        self.trace.append("%6.2f %s" % (time.time() - self.round_start, what))
        if self.a.verbose:
            print("  r%d %s" % (self.round, self.trace[-1]))

    def fault(self, kind, what, needles=()):
        """`needles`: paths (or names) whose log lines tell this fault's story."""
        self.faults.append((self.round, kind, what))
        self.note("FAULT %s: %s" % (kind, what))
        head = "FAULT seed=%d round=%d %s: %s\n" % (self.a.seed, self.round, kind, what)
        self.round_faults.append(head + "".join("    " + x + "\n" for x in self.log_lines(needles)))
        # One incident can touch a hundred photos: show a few of each kind, with a few log lines.
        shown = sum(1 for r, k, _ in self.faults if r == self.round and k == kind)
        if shown <= 3 or self.a.verbose:
            print(head + "".join("    " + x + "\n" for x in self.log_lines(needles, 6)), end="", flush=True)

    def tally(self, what):
        self.by_path[what] = self.by_path.get(what, 0) + 1

    def log_lines(self, needles, limit=16):
        """The stations' log lines of this round naming any of `needles`, in file order."""
        needles = [n for n in needles if n]
        if not needles:
            return []
        out = []
        prefix = "r%d-" % self.round
        logs = self.work + "/logs/"
        for name in sorted((n for n in os.listdir(logs) if n.startswith(prefix) and n.endswith(".log")),
                           key=lambda n: os.path.getmtime(logs + n)):
            try:
                st = os.stat(logs + name)
                key = (st.st_size, st.st_mtime_ns)
                if self.log_cache.get(name, (None,))[0] != key:
                    with open(logs + name, errors="replace") as f:
                        self.log_cache[name] = (key, f.read().splitlines())
            except OSError:
                continue
            out += ["%s: %s" % (name[len(prefix):-4], line[:300]) for line in self.log_cache[name][1]
                    if any(n in line for n in needles)]
        if len(out) > limit:
            out = out[:limit // 2] + ["... %d more" % (len(out) - limit)] + out[-(limit // 2):]
        return out

    # ----- photos -------------------------------------------------------------------------
    def medium_of(self, path):
        return next((m for m in self.media if m.owns(path)), None)

    def write_version(self, ph, rng, at=None):
        ver = len(ph.versions) + 1
        big = rng.random() < 0.08
        pad = rng.randbytes(rng.randint(100000, 600000) if big else rng.randint(200, 30000))
        if ph.route == "full":
            pad = pad[:rng.randint(100, 120000)]
        orient = 6 if rng.random() < 0.5 else 1
        data = jpeg("TORTURE:%d:%d:%08x" % (ph.pid, ver, rng.getrandbits(32)), orient, pad)
        path = at or ph.path
        m = None if ph.card else self.medium_of(path)
        if ph.card:
            path = self.swap.real(ph.card, path)
        elif m:
            path = m.real(path)
        # Saved as an editor saves: a side file renamed over the name.
        side = os.path.join(os.path.dirname(path), ".%s.part" % os.path.basename(path))
        locked = m and m.read_only and not m.mounted
        try:
            for attempt in range(5):
                # The station removes emptied subfolders under our feet.
                try:
                    os.makedirs(os.path.dirname(path), exist_ok=True)
                    if locked:
                        os.chmod(os.path.dirname(path), 0o755)
                    with open(side, "wb") as f:
                        f.write(data)
                    os.rename(side, path)
                    break
                except FileNotFoundError:
                    if attempt == 4:
                        raise
                finally:
                    if locked:
                        os.chmod(os.path.dirname(path), 0o555)
        except OSError as e:
            self.note("write %s failed: %s" % (path, e.strerror))
            try:
                os.unlink(side)
            except OSError:
                pass
            return False
        ph.versions.append((sha(data), ver))
        return True

    def new_photo(self, rng, folder, route, name=None, card=None):
        pid = len(self.model) + 1
        ph = Photo(pid, self.p("%s/%s" % (folder, name or "IMG_%05d.jpg" % pid)), route)
        ph.card = card
        if self.write_version(ph, rng):
            self.model.append(ph)
            self.photos += 1
        return ph

    def shoot(self, rng, m):
        """A camera shot: each DCIM folder counts from IMG_0001, so names repeat across folders."""
        folder = "%s/DCIM/%s" % (m.name, rng.choice(["100CANON", "101CANON"]))
        n = self.shots[folder] = self.shots.get(folder, 0) + 1
        self.cam_written = time.time()
        if m is self.cam and self.cam_shots and rng.random() < 0.5:
            return self.shoot_shot(rng, folder, "IMG_%04d" % n)
        return self.new_photo(rng, folder, m.name, "IMG_%04d.JPG" % n)

    def swap_photos(self, rng, card, n, first=None):
        """Photos on one of the same-label cards (in or out); `first` numbers them from there, so
        the other card can get the same names."""
        first = card["numbers"] + 1 if first is None else first
        made = []
        for number in range(first, first + n):
            path = self.p("swap/DCIM/100CANON/IMG_%04d.JPG" % number)
            if not os.path.exists(self.swap.real(card, path)):
                made.append(self.new_photo(rng, "swap/DCIM/100CANON", "swap", "IMG_%04d.JPG" % number, card))
        card["numbers"] = max(card["numbers"], first + n - 1)
        return made

    def still_at_source(self, ph):
        return os.path.exists(self.swap.real(ph.card, ph.path) if ph.card else ph.path)

    def at_source(self, rng, folders):
        c = [ph for ph in self.model if ph.live and os.path.exists(ph.path) and
             any(ph.path.startswith(self.p(f) + "/") for f in folders)]
        return rng.choice(c) if c else None

    # ----- steps --------------------------------------------------------------------------
    def card_folders(self):
        return (["card/DCIM/100", "card/DCIM/101", "card/B", "card/T"] + ["card/U"] * self.upload
                if self.card.inserted else [])

    def step(self, rng):
        self.steps += 1
        if self.printer and rng.random() < 0.03:
            self.set_paper(not self.paper_out)
        # Cameras are not rewritten: a shot is written once.
        sources = ["turnin", "drop", "hot", "shared"] + self.card_folders()
        self.write_late_partners(rng)
        if self.upload and rng.random() < 0.05:
            # The network drops (sometimes mid-send) or comes back.
            if self.server:
                self.stop_server(hard=rng.random() < 0.5)
                self.server_stops += 1
            else:
                self.start_server()
        r = rng.random()
        if self.a.aim:
            self.scenario(rng)
            return
        if r < 0.30:
            # Now and then a burst large enough that the station reads a folder two at a time.
            n = 1 if rng.random() < 0.7 else rng.randint(5, 25) if rng.random() < 0.97 else rng.randint(300, 400)
            where = rng.choice(["card"] * 3 + ["cardB", "cardT", "turnin", "drop", "hot", "cam", "cam",
                                               "camro", "shots", "shots", "shared"] + ["print"] * bool(self.printer) +
                               ["swap"] * 2 * bool(self.swap) + ["cardU"] * 2 * self.upload)
            if where.startswith("card") and not self.card.inserted:
                where = "turnin"
            for _ in range(n):
                if where == "card":
                    self.new_photo(rng, rng.choice(["card/DCIM/100", "card/DCIM/101"]), "plain")
                elif where == "cardB":
                    self.new_photo(rng, "card/B", "plain")
                elif where == "cardU":
                    self.new_photo(rng, "card/U", "up")
                elif where == "cardT":
                    self.new_photo(rng, "card/T", "tag")
                elif where == "turnin":
                    self.new_photo(rng, "turnin", "turn")
                elif where == "drop":
                    self.new_photo(rng, "drop", "full")
                elif where == "shots":
                    self.shoot_shot(rng)
                elif where == "print":
                    if _ < 3:  # a job takes the printer about a second
                        self.new_photo(rng, "printin", "print")
                elif where == "shared":
                    self.new_photo(rng, "shared", "shared")
                elif where == "swap":  # mostly the card in the station, else one in the camera
                    self.swap_photos(rng, self.swap.inserted if self.swap.inserted and rng.random() < 0.8
                                     else rng.choice(self.swap.cards), 1)
                elif where in ("cam", "camro"):
                    self.shoot(rng, self.cam if where == "cam" else self.camro)
                else:
                    self.new_photo(rng, "hot/s%d/t%d" % (rng.randint(1, 3), rng.randint(1, 2)), "plain")
            self.note("new %d photo(s) in %s" % (n, where))
        elif r < 0.40:
            ph = self.at_source(rng, sources)
            if ph and self.write_version(ph, rng):
                self.note("rewrite #%d (v%d) at %s" % (ph.pid, len(ph.versions), ph.path))
        elif r < 0.45:
            # A photo renamed over another, perhaps while a crashed batch record names both.
            a = self.at_source(rng, sources)
            b = a and [x for x in self.model if x.live and x is not a and os.path.dirname(x.path) ==
                       os.path.dirname(a.path) and os.path.exists(x.path)]
            if b:
                b = rng.choice(b)
                try:
                    os.rename(b.path, a.path)
                    a.live = False
                    b.path = a.path
                    b.paths.append(a.path)
                    self.note("rename #%d over #%d at %s" % (b.pid, a.pid, a.path))
                except OSError as e:
                    self.note("rename over failed: %s" % e.strerror)
        elif r < 0.50:
            ph = self.at_source(rng, sources)
            if ph:
                try:
                    os.link(ph.path, ph.path + ".lnk")
                    self.note("hard link %s.lnk" % ph.path)
                except OSError as e:
                    self.note("hard link failed: %s" % e.strerror)
        elif r < 0.55:
            self.card.pull() if self.card.inserted else self.card.put()
        elif r < 0.60:
            m = self.cam if rng.random() < 0.75 else self.camro
            m.pull() if m.inserted else m.put()
        elif r < 0.64 and self.disk_is_mount:
            self.fill_disk(rng) if not self.filler else self.free_disk()
        elif r < 0.72:
            st = rng.choice(self.stations)
            if st.kill():
                self.note("kill -9 %s" % st.name)
        elif r < 0.84:
            st = self.A if rng.random() < 0.7 else self.B
            if not st.running():
                self.start_station(rng, st, once=rng.random() < 0.4)
        elif r < 0.94:
            self.scenario(rng)
        elif r < 0.965:
            # A second station on another store, sharing the temp folder, running a pass now.
            if not self.B.running():
                self.note("B --run-once beside A")
                rc = self.B.run_once()
                self.note("B --run-once ended %d" % rc)
        else:
            self.card_and_folder_step(rng)
        time.sleep(rng.random() * 0.4)

    def card_and_folder_step(self, rng):
        """The same-label card swapped, pulled or put back; flushes on a card failing with EIO
        for a while (or no longer); a Move Subfolders source refusing deletes (or no longer)."""
        way = rng.choice(["eio", "refuse"] + ["swap"] * 2 * bool(self.swap))
        if way == "swap":
            if self.swap.inserted and rng.random() < 0.7:
                self.swap.swap()
            elif self.swap.inserted:
                self.swap.pull()
            else:
                self.swap.put(rng.choice(self.swap.cards))
        elif way == "eio":
            self.eio(None if os.path.exists(self.eio_flag) else
                     rng.choice([self.card.place] + ([self.swap.place] if self.swap else [])))
        elif self.refused:
            self.lift(rng.choice(self.refused)[0])
        else:
            self.refuse(rng, self.p("hot/s%d" % rng.randint(1, 3)))

    def eio(self, folder):
        """From now on flushes at or below `folder` fail with EIO in every station (None: no
        longer). Their removals stand: only a pull can undo them (see eio_scenario)."""
        if folder:
            with open(self.eio_flag, "w") as f:
                f.write(folder + "\n")
            self.eio_windows += 1
            self.note("flushes under %s fail with EIO" % os.path.relpath(folder, self.fs))
        elif os.path.exists(self.eio_flag):
            os.unlink(self.eio_flag)
            self.note("flushes succeed again")

    def refuse(self, rng, folder):
        """`folder` refuses deletes: immutable, or a read-only bind mount of itself."""
        os.makedirs(folder, exist_ok=True)
        rel = os.path.relpath(folder, self.fs)
        if not self.root:
            return
        if rng.random() < 0.5 and self.sh("mount", "--bind", folder, folder):
            self.mounts.append(folder)
            if not self.sh("mount", "-o", "remount,bind,ro", folder):
                self.note("%s: read-only remount failed" % rel)
            kind = "read-only"
        elif self.sh("chattr", "+i", folder):
            kind = "immutable"
        else:
            self.note("%s: chattr +i failed" % rel)
            return
        self.refused.append((folder, kind))
        self.refusals += 1
        self.note("%s refuses deletes (%s)" % (rel, kind))

    def lift(self, folder):
        for f, kind in [x for x in self.refused if x[0] == folder]:
            if kind == "read-only":
                self.sh("umount", "-l", f)
                self.mounts.remove(f)
            else:
                self.sh("chattr", "-i", f)
            self.refused.remove((f, kind))
            self.note("%s allows deletes again" % os.path.relpath(f, self.fs))

    def lift_all(self):
        for folder, _ in list(self.refused):
            self.lift(folder)

    def scenario(self, rng):
        """Aimed at one window of a move, with random photos and counts: a crash at a chosen
        call of a batch off the card or of a rotation, then a pass to recover; a second
        station's pass while A stands between placing a batch and removing its sources; a
        rewrite while Move Subfolders flushes its copies; a crash before the sources go, then a
        pass without the card; a photo saved anew at its source's unlink; the card or the camera
        pulled while A stands paused at a rename (placing a copy, a tag batch, a downstream
        move), then a pass without it and one with it back; the same-label card swapped while a
        move from it stands paused or after a crash; a pass while the card's flushes fail, then
        the card back as last flushed; Move Subfolders over a folder refusing deletes; a second
        station's pass over the shared hot folder or print folder while A stands paused there."""
        if not self.shim:
            return
        self.A.stop()
        kinds = ["crash-mid-batch", "crash-mid-turn", "second-station-mid-batch", "rewrite-mid-subfolders",
                 "crash-then-no-card", "save-anew-at-unlink", "pull-at-rename", "pull-at-rename",
                 "crash-mid-camera"] + ["crash-mid-print"] * bool(self.printer)
        kinds += ["eio-card-flush", "refused-subfolders", "second-station-mid-hot"] + \
            ["swap-card"] * 2 * bool(self.swap) + ["second-station-mid-print"] * self.two_print
        kind = rng.choice(kinds)
        self.aimed[kind] = self.aimed.get(kind, 0) + 1
        aimed = {"eio-card-flush": self.eio_scenario, "refused-subfolders": self.refused_scenario,
                 "swap-card": self.swap_scenario, "second-station-mid-hot": self.two_stations_scenario,
                 "second-station-mid-print": self.two_stations_scenario}
        if kind in aimed:
            aimed[kind](rng, kind)
            return
        pull = None
        if kind == "crash-mid-turn":
            folder = "turnin"
            call, under = rng.choice([("rename", "turned/"), ("fsync", "temp/"), ("rename", "temp/"),
                                      ("unlink", "turnin/"), ("fsync", "turned/")])
            act = rng.choice(["kill-before", "kill-after"])
        elif kind == "crash-mid-batch":
            self.card.put()
            folder = rng.choice(["card/DCIM/100", "card/DCIM/101", "card/T"])
            call, under = rng.choice([("unlink", "card/"), ("fsync", "hot/"), ("rename", "hot/"),
                                      ("fsync", "temp/"), ("unlink", "temp/"), ("rename", "tagged/"),
                                      ("rename", "final/")])
            act = rng.choice(["kill-before", "kill-after"])
        elif kind == "crash-mid-camera":
            self.cam.put()
            folder = "cam"
            call, under = rng.choice([("unlink", "cam/"), ("rename", "camdst/"), ("rename", "temp/"),
                                      ("fsync", "camdst/"), ("rename", "final/"), ("unlink", "camdst/")])
            act = rng.choice(["kill-before", "kill-after"])
        elif kind == "crash-mid-print":
            # Between the record and the job, the job and the move on, the move and the record's end.
            folder = "printin"
            # Across file systems (some rounds) the move on copies, flushes and removes the source.
            call, under = rng.choice([("rename", "printed/"), ("rename", "temp/"), ("fsync", "temp/"),
                                      ("unlink", "temp/"), ("fsync", "printed/"), ("unlink", "printin/")])
            act = rng.choice(["kill-before", "kill-after"])
        elif kind == "pull-at-rename":
            m = rng.choice([self.card, self.cam])
            m.put()
            if m is self.card:
                folder = rng.choice(["card/DCIM/100", "card/T", "card/T"])
                under = rng.choice(["hot/", "tagged/", "temp/", "final/"])
            else:
                folder = "cam"
                under = rng.choice(["camdst/", "camdst/", "temp/", "final/"])
            call, act, pull = "rename", "pause", m
        elif kind == "rewrite-mid-subfolders":
            folder = "hot/s%d" % rng.randint(1, 3)
            call, under, act = "fsync", "arch/", "pause"
        else:
            self.card.put()
            folder = "card/DCIM/100"
            call, under = "unlink", "card/"
            act = "pause" if kind in ("second-station-mid-batch", "save-anew-at-unlink") else rng.choice(
                ["kill-before", "kill-after"])
        route = {"turnin": "turn", "card/T": "tag", "printin": "print"}.get(folder, "plain")
        count = rng.randint(2, 12) if route != "print" else rng.randint(1, 3)
        if folder == "cam":
            made = [self.shoot(rng, self.cam) for _ in range(count)]
        else:
            made = [self.new_photo(rng, folder, route) for _ in range(count)]
        nth = rng.randint(1, 3)
        self.note("scenario %s: %d photos in %s, A --run-once %s at %s #%d under %s" %
                  (kind, len(made), folder, act, call, nth, under))
        self.A.start({"TORTURE_CALL": call, "TORTURE_NTH": str(nth), "TORTURE_ACT": act,
                      "TORTURE_UNDER": self.fs + "/" + under, "TORTURE_SIGNAL": self.signal}, once=True)
        deadline = time.time() + 90
        while self.A.running() and time.time() < deadline:
            if os.path.exists(self.signal):
                self.pauses += 1
                if kind == "second-station-mid-batch":
                    self.B.stop()
                    self.note("B --run-once while A is paused: %d" % self.B.run_once())
                elif pull:
                    self.note("A paused at %s" % self.paused_at())
                    pull.pull()
                else:
                    at = self.paused_photo()
                    if at and self.write_version(at, rng):
                        self.note("save #%d anew (v%d) at its unlink" % (at.pid, len(at.versions)))
                    for ph in made[:rng.randint(1, 3)]:
                        if ph is not at and ph.route not in ("cam", "camro", "camshot") and os.path.exists(ph.path) \
                                and self.write_version(ph, rng):
                            self.note("rewrite #%d (v%d) while A is paused" % (ph.pid, len(ph.versions)))
                os.unlink(self.signal)
            time.sleep(0.05)
        if self.A.died():
            self.kills += 1
            self.shim_kills += 1
            self.note("A killed at its file call")
        self.A.stop()
        if pull and not pull.inserted:
            self.note("A --run-once without the %s: %d" % (pull.name, self.A.run_once()))
            pull.put()
            self.note("A --run-once with the %s back: %d" % (pull.name, self.A.run_once()))
        elif kind == "crash-then-no-card":
            self.card.pull()
            self.note("A --run-once without the card: %d" % self.A.run_once())
            self.card.put()
        elif kind.startswith("crash-mid"):
            self.look_at_temp()
            self.note("A --run-once to recover: %d" % self.A.run_once())

    def aimed_run(self, env, on_pause=None):
        """A --run-once with the shim set to `env` (call, nth, act, under); `on_pause` runs while it
        stands paused there."""
        self.A.start(dict(env, TORTURE_SIGNAL=self.signal), once=True)
        deadline = time.time() + 90
        while self.A.running() and time.time() < deadline:
            if os.path.exists(self.signal):
                self.pauses += 1
                self.note("A paused at %s" % self.paused_at())
                if on_pause:
                    on_pause()
                os.unlink(self.signal)
            time.sleep(0.05)
        if self.A.died():
            self.kills += 1
            self.shim_kills += 1
            self.note("A killed at its file call")
        self.A.stop()

    def aim(self, rng, calls, acts=("pause", "kill-before", "kill-after")):
        call, under = rng.choice(calls)
        env = {"TORTURE_CALL": call, "TORTURE_NTH": str(rng.randint(1, 3)), "TORTURE_ACT": rng.choice(acts),
               "TORTURE_UNDER": self.fs + "/" + under}
        return env, "%s at %s #%s under %s" % (env["TORTURE_ACT"], call, env["TORTURE_NTH"], under)

    def swap_scenario(self, rng, kind):
        """A move from the card stops (paused or killed) and the other card with the same label
        and the same names goes in: a pass with it, then one with the first card back."""
        sw = self.swap
        first = sw.inserted or sw.cards[0]
        sw.put(first)
        n = rng.randint(2, 10)
        start = max(c["numbers"] for c in sw.cards) + 1
        made = self.swap_photos(rng, first, n, start)
        self.swap_photos(rng, sw.other(), rng.randint(1, n), start)
        env, what = self.aim(rng, [("rename", "swapdst/"), ("rename", "temp/"), ("unlink", "swap/"),
                                   ("fsync", "swapdst/"), ("rename", "final/"), ("fsync", "temp/"),
                                   ("unlink", "temp/"), ("fsync", "swap/")])
        self.note("scenario %s: %d photos on %s, same names on the other card, A --run-once %s" %
                  (kind, len(made), first["name"], what))
        self.aimed_run(env, on_pause=sw.swap)
        if sw.inserted is first:
            sw.swap()
        self.note("A --run-once with %s in: %d" % (sw.inserted["name"], self.A.run_once()))
        sw.put(first)
        self.note("A --run-once with %s back: %d" % (first["name"], self.A.run_once()))

    def eio_scenario(self, rng, kind):
        """A pass over the card while its folder flushes fail with EIO; then either the card is
        pulled and comes back as last flushed (the removals of that pass undone), or the
        removals stand; then a pass."""
        self.B.stop()  # its flushes would make the card's removals durable
        self.card.put()
        folder = rng.choice(["card/DCIM/100", "card/DCIM/101", "card/T"])
        made = [self.new_photo(rng, folder, "tag" if folder == "card/T" else "plain")
                for _ in range(rng.randint(2, 12))]
        root = self.card.real(self.card.place)
        flushed = self.card_state(root) if self.card.mounted else None
        env = {}
        what = ""
        if rng.random() < 0.3:
            env, what = self.aim(rng, [("unlink", "card/"), ("fsync", "card/"), ("rename", "card/"),
                                       ("fsync", "hot/"), ("unlink", "temp/")], ("kill-before", "kill-after"))
        self.note("scenario %s: %d photos in %s, A --run-once %s" % (kind, len(made), folder, what))
        self.eio(self.card.place)
        self.aimed_run(env)
        self.eio(None)
        if flushed is not None and rng.random() < 0.6:
            self.card.pull()
            self.note("the card comes back as last flushed: %d removal(s) undone" %
                      self.restore_card(flushed, self.card.real(self.card.place)))
            self.card.put()
        elif flushed is not None:
            shutil.rmtree(root + "/.flushed", ignore_errors=True)
        self.note("A --run-once after the failed flushes: %d" % self.A.run_once())

    def card_state(self, root):
        """The card's files as its last flush left them: each hard-linked into .flushed on the
        card, by name and inode."""
        keep = root + "/.flushed"
        os.makedirs(keep, exist_ok=True)
        state = {}
        for top, dirs, files in os.walk(root):
            dirs[:] = [d for d in dirs if top != root or d != ".flushed"]
            for name in files:
                path = os.path.join(top, name)
                n = "%d" % len(state)
                try:
                    os.link(path, keep + "/" + n)
                    state[os.path.relpath(path, root)] = (os.lstat(path).st_ino, n)
                except OSError:
                    pass
        return state

    def restore_card(self, state, root):
        """Undoes every removal and rename made on the card since card_state: a name that lost
        its file gets it back, a name the file was set aside to goes."""
        names = {}
        for top, dirs, files in os.walk(root):
            dirs[:] = [d for d in dirs if top != root or d != ".flushed"]
            for name in files:
                path = os.path.join(top, name)
                names.setdefault(os.lstat(path).st_ino, []).append(os.path.relpath(path, root))
        undone = 0
        for rel, (ino, n) in state.items():
            if os.path.lexists(os.path.join(root, rel)):
                continue  # still there
            for other in names.get(ino, []):
                if other not in state:
                    os.unlink(os.path.join(root, other))
            os.makedirs(os.path.dirname(os.path.join(root, rel)), exist_ok=True)
            os.link(root + "/.flushed/" + n, os.path.join(root, rel))
            undone += 1
        shutil.rmtree(root + "/.flushed", ignore_errors=True)
        return undone

    def refused_scenario(self, rng, kind):
        """Move Subfolders over a folder that refuses deletes, three passes (one of them may be
        killed at a chosen call), then a pass once deletes are allowed again."""
        sub = "hot/s%d" % rng.randint(1, 3)
        self.lift(self.p(sub))
        made = [self.new_photo(rng, "%s/t%d" % (sub, rng.randint(1, 2)), "plain") for _ in range(rng.randint(2, 10))]
        self.refuse(rng, self.p(sub))
        env, what = self.aim(rng, [("unlink", "hot/"), ("rename", "arch/"), ("fsync", "arch/"),
                                   ("unlink", "arch/"), ("rename", "final/")], ("kill-before", "kill-after"))
        self.note("scenario %s: %d photos in %s, three passes, the second %s" % (kind, len(made), sub, what))
        for i in range(3):
            if i == 1:
                self.aimed_run(env)
            else:
                self.note("A --run-once: %d" % self.A.run_once())
        self.lift(self.p(sub))
        self.note("A --run-once with deletes allowed: %d" % self.A.run_once())

    def two_stations_scenario(self, rng, kind):
        """Both stations take from one folder (the shared hot folder, or the print folder): B runs
        a pass while A stands paused at a chosen call, or both run at once."""
        self.B.stop()
        if kind == "second-station-mid-print":
            made = [self.new_photo(rng, "printin", "print") for _ in range(rng.randint(1, 3))]
            calls = [("rename", "temp/"), ("fsync", "temp/"), ("rename", "printed/"), ("unlink", "printin/"),
                     ("fsync", "printed/"), ("unlink", "temp/")]
        else:
            made = [self.new_photo(rng, "shared", "shared") for _ in range(rng.randint(2, 12))]
            calls = [("unlink", "shared/"), ("rename", "shared/"), ("rename", "final/"), ("fsync", "final/"),
                     ("rename", "temp/"), ("fsync", "temp/"), ("unlink", "temp/")]
        if rng.random() < 0.3:
            self.note("scenario %s: %d photos, A and B --run-once at once" % (kind, len(made)))
            self.A.start(None, once=True)
            self.B.start(None, once=True)
            self.A.stop()
            self.B.stop()
            return
        env, what = self.aim(rng, calls, ("pause",))
        self.note("scenario %s: %d photos, A --run-once %s" % (kind, len(made), what))
        self.aimed_run(env, on_pause=lambda: self.note("B --run-once while A is paused: %d" % self.B.run_once()))

    def paused_at(self):
        try:
            with open(self.signal) as f:
                return " ".join(f.read().split()[1:])
        except OSError:
            return "?"

    def paused_photo(self):
        """The photo whose set-aside source the paused station is about to unlink, if any."""
        try:
            with open(self.signal) as f:
                line = f.read().split()
        except OSError:
            return None
        if len(line) < 3 or line[1] != "unlink":
            return None
        path, name = line[2], os.path.basename(line[2])
        if name.startswith(".") and name.endswith(".brisko-gone"):
            path = os.path.join(os.path.dirname(path), name[1:-len(".brisko-gone")])
        return next((x for x in self.model if x.live and x.path == path and
                     x.route not in ("cam", "camro", "shot", "camshot")), None)

    def start_station(self, rng, st, once=False):
        shim = None
        if self.shim and rng.random() < 0.6:
            act = rng.choice(["kill-before", "kill-after", "pause", "pause"])
            call = rng.choice(["unlink", "unlink", "rename", "rename", "rename", "unlink,rename", "fsync", "link"])
            # Narrowing the folder aims at one step: the record, the placed copy, the source.
            under = rng.choice(["", "", "temp/", "card/", "hot/", "arch/", "turned/", "tagged/", "cam/",
                                "camdst/", "camrodst/", "final/"] + ["printed/"] * bool(self.printer))
            nth = rng.randint(1, 25 if not under else 6)
            shim = {"TORTURE_CALL": call, "TORTURE_NTH": str(nth), "TORTURE_ACT": act,
                    "TORTURE_UNDER": self.fs + "/" + under, "TORTURE_SIGNAL": self.signal}
            self.note("start %s %s, %s at %s #%d under %s" % (st.name, "--run-once" if once else "headless",
                                                               act, call, nth, under or "fs/"))
        else:
            self.note("start %s %s" % (st.name, "--run-once" if once else "headless"))
        st.start(shim, once)

    def fill_disk(self, rng):
        st = os.statvfs(self.p("full"))
        free = st.f_bavail * st.f_frsize - rng.randint(0, 80000)
        if free > 0:
            try:
                with open(self.p("full/.filler"), "wb") as f:
                    f.write(b"\0" * free)
            except OSError:
                pass
        self.filler = True
        self.note("disk full")

    def free_disk(self):
        try:
            os.unlink(self.p("full/.filler"))
        except OSError:
            pass
        self.filler = False
        self.note("disk freed")

    def on_pause(self, rng):
        """A station stopped at a file call: change something under it, pull the card or the
        camera, or kill it there."""
        try:
            with open(self.signal) as f:
                line = f.read().split()
        except OSError:
            return
        self.pauses += 1
        self.note("paused at %s" % " ".join(line[1:]))
        r = rng.random()
        if r < 0.2:
            for st in self.stations:
                if st.proc and str(st.proc.pid) == line[0] and st.kill():
                    self.note("kill -9 %s while paused" % st.name)
                    self.shim_kills += 1
        elif r < 0.4:
            if not self.B.running():
                self.note("B --run-once while A is paused")
                self.note("B --run-once ended %d" % self.B.run_once())
        elif r < 0.75:
            m = rng.choice([self.card, self.card, self.cam, self.cam, self.camro])
            m.pull() if m.inserted else m.put()
        else:
            srcs = ["turnin", "drop", "hot"] + self.card_folders()
            path = line[2] if len(line) > 2 else ""
            # A photo saved anew at the very call the station is paused at: its source's unlink,
            # which removes the source under the hidden name it was set aside to. (Not a shot's
            # file: saved anew after its shot moved, it is a shot of its own and takes a suffix.)
            name = os.path.basename(path)
            aside = name.startswith(".") and name.endswith(".brisko-gone")
            if aside:
                path = os.path.join(os.path.dirname(path), name[1:-len(".brisko-gone")])
            ph = next((x for x in self.model if x.live and x.path == path and
                       x.route not in ("cam", "camro", "shot", "camshot")), None) or self.at_source(rng, srcs)
            if ph and (aside or os.path.exists(ph.path)) and self.write_version(ph, rng):
                self.note("rewrite #%d (v%d) while paused" % (ph.pid, len(ph.versions)))
        try:
            os.unlink(self.signal)
        except OSError:
            pass

    def look_at_temp(self):
        """Photos waiting in the temp folder must not be open to every local account."""
        for folder in (self.p("temp"), self.p("temp2")):
            try:
                names = os.listdir(folder)
            except OSError:
                continue
            for name in names:
                try:
                    mode = os.lstat(os.path.join(folder, name)).st_mode
                except OSError:
                    continue
                if mode & 0o002 and name not in self.open_temp:
                    self.open_temp.add(name)
                    self.fault("mode", "temp/%s is writable by every user (%o)" % (name, mode & 0o777))

    # ----- the check ----------------------------------------------------------------------
    def quiet(self):
        if os.path.exists(self.signal):
            os.unlink(self.signal)
        self.eio(None)
        self.lift_all()
        for m in self.media:
            m.put()
        if self.swap and not self.swap.inserted:
            self.swap.put(self.swap.cards[0])
        if self.printer and self.paper_out:
            self.set_paper(False)
            self.wait_for_paper_seen()
        if self.filler:
            self.free_disk()
        for st in self.stations:
            if st.running():
                self.note("SIGTERM %s" % st.name)
            st.stop()
        self.start_server()
        # A lone RAW or JPEG on a camera keeping shots waits 5 s (by its camera time) for its
        # partner: the closing passes come once the photographer has stopped that long.
        if self.cam_shots and time.time() < self.cam_written + 5.5:
            time.sleep(self.cam_written + 5.5 - time.time())
        for _ in range(2):
            for st in self.stations:
                rc = st.run_once()
                self.note("%s --run-once ended %d" % (st.name, rc))
                if rc not in (0, 1):
                    self.fault("exit", "%s --run-once ended with %d" % (st.name, rc))
        if self.swap:
            # The other card of the same label gets its closing passes too.
            self.swap.swap()
            for _ in range(2):
                rc = self.A.run_once()
                self.note("A --run-once with %s in ended %d" % (self.swap.inserted["name"], rc))
                if rc not in (0, 1):
                    self.fault("exit", "A --run-once ended with %d" % rc)

    def modified(self, route):
        return route == "turn" or self.rotates.get(route) or self.tags.get(route)

    def check(self):
        """Every station is stopped and has had its closing passes: nothing is in progress, so
        any hidden or scratch file left is a fault. Exempt are the tool's own hard links (*.lnk)
        and disk filler, and a station's list of photos kept by the camera that refuses deletes
        while that camera still holds them."""
        by_hash = {}
        for ph in self.model:
            for h, ver in ph.versions:
                by_hash[h] = (ph, ver)
        seen = {}  # (pid, version) -> paths outside its source
        self.camro_holds = sum(1 for ph in self.model if ph.route == "camro" and os.path.exists(ph.path))
        # A card of the same label that is out is looked at too: its photos and hidden files count.
        roots = [(self.fs, None)] + [(c["store"], c["name"]) for c in (self.swap.out_stores() if self.swap else [])]
        for root, card in roots:
            for top, dirs, files in os.walk(root):
                for name in files:
                    path = os.path.join(top, name)
                    rel = (os.path.relpath(path, self.fs) if not card else
                           "%s (out)/%s" % (card, os.path.relpath(path, root)))
                    if name.endswith(".lnk") or rel == "full/.filler":
                        continue
                    try:
                        with open(path, "rb") as f:
                            data = f.read()
                        mode = os.lstat(path).st_mode
                    except OSError as e:
                        self.fault("unreadable", "%s: %s" % (rel, e.strerror), [path])
                        continue
                    in_temp = rel.startswith("temp/") or rel.startswith("temp2/")
                    # A copy's hidden name, SafeOutput's temporary, a tag batch's or a camera
                    # download's, a source set aside for its delete, the rotator's scratch copy.
                    if (re.match(r"\.brisko-.*\.tmp$", name) or re.match(r"\..*\.brisko-[A-Za-z0-9]{6}$", name) or
                            (name.startswith(".") and name.endswith(".brisko-gone")) or
                            re.match(r"ExifRotatorTemp_\d+(_\d+)?\.jpg_temp$", name)):
                        self.strays += 1
                        self.tally("stray %s/%s" % (rel.split("/")[0], stray_kind(name)))
                        m = MARKER.search(data)
                        ph = m and next((x for x in self.model if x.pid == int(m.group(1))), None)
                        # A record's text tells what it was about.
                        said = ph and ", photo #%d from %s" % (ph.pid, ph.path) or \
                            ", begins %r" % data[:160].decode("utf-8", "replace")
                        self.fault("stray", "%s left (%d bytes%s)" % (rel, len(data), said),
                                   [name, path] + (ph.paths if ph else []))
                        continue
                    # The one explicit exemption: the durable list of what a camera refusing deletes
                    # kept, while that camera still holds photos (it stops a second copy on restart).
                    if in_temp and name.endswith(".brisko-camera-kept") and self.camro_holds:
                        self.note("exempt: %s (the refusing camera holds %d photos)" % (rel, self.camro_holds))
                        continue
                    if in_temp and name == "shot-names.brisko-shots":
                        continue  # where recent shots went, for their late partners (kept 10 minutes)
                    if in_temp and self.upload and name.endswith(".brisko-upload") and \
                            os.path.basename(top) == "upload_queue":
                        self.check_upload_record(rel, data)
                        continue  # what was sent stays recorded while its photo is there
                    if in_temp:
                        self.fault("stranded", "left in the temp folder: %s (%d bytes)" % (rel, len(data)), [name])
                    if mode & 0o002:
                        self.fault("mode", "%s is writable by every user (%o)" % (rel, mode & 0o777), [path])
                    h = sha(data)
                    if h in by_hash:
                        ph, ver = by_hash[h]
                    else:
                        m = MARKER.search(data)
                        ph = m and next((x for x in self.model if x.pid == int(m.group(1))), None)
                        if not ph:
                            if not in_temp:
                                self.fault("unknown", "%s is no photo of this run (%d bytes)" % (rel, len(data)), [path])
                            continue
                        ver = int(m.group(2))
                        if not self.modified(ph.route) or self.medium_of(path):
                            self.fault("damaged", "%s (#%d v%d) differs from every version written" %
                                       (rel, ph.pid, ver), ph.paths + [path])
                            continue
                        bad = jpeg_problem(data)
                        if bad:
                            self.fault("damaged", "%s (#%d v%d): %s" % (rel, ph.pid, ver, bad), ph.paths + [path])
                        elif self.rotates.get(ph.route) and exif_orientation(data) not in (None, 1):
                            self.fault("unrotated", "%s (#%d v%d) still has orientation %s" %
                                       (rel, ph.pid, ver, exif_orientation(data)), ph.paths + [path])
                    # A camera that refuses deletes keeps its shot; only copies elsewhere count.
                    if ph.route == "camro" and path == ph.path:
                        continue
                    seen.setdefault((ph.pid, ver), []).append(path)
        for ph in self.model:
            for h, ver in ph.versions:
                paths = seen.get((ph.pid, ver), [])
                last = ph.live and ver == ph.versions[-1][1]
                if last and not paths:
                    self.lost += 1
                    self.tally("lost " + ph.route)
                    self.fault("lost", "#%d v%d (%s, %s path) exists nowhere%s" %
                               (ph.pid, ver, ph.path, ph.route, " but on the camera" if ph.route == "camro" else ""),
                               ph.paths)
                if len(paths) > 1:
                    self.doubled += 1
                    self.tally("doubled " + ph.route)
                    self.fault("doubled", "#%d v%d (%s path, from %s) exists %d times: %s" %
                               (ph.pid, ver, ph.route, ph.path, len(paths),
                                ", ".join(sorted(os.path.relpath(x, self.fs) for x in paths))), ph.paths + paths)
            if ph.live and ph.route != "camro" and self.still_at_source(ph):
                self.fault("stuck", "#%d still at its source %s after two passes" % (ph.pid, ph.path), ph.paths)
        self.check_shots(seen)
        self.check_prints(seen)
        self.check_remote()

    def check_prints(self, seen):
        """A photo moved on by Print Files was printed exactly once: the printer keeps each job's
        document, the photo's bytes."""
        if not self.printer:
            return
        jobs = self.printer["JOBS_DIR"]
        try:
            names = os.listdir(jobs)
        except OSError:
            names = []
        for name in names:
            if name not in self.job_hashes and not name.endswith((".env", ".prn")):
                try:
                    with open(os.path.join(jobs, name), "rb") as f:
                        self.job_hashes[name] = sha(f.read())
                except OSError:
                    continue
        printed = {}
        for name, h in self.job_hashes.items():
            if name in self.old_jobs:
                continue
            printed[h] = printed.get(h, 0) + 1
        for ph in self.model:
            if ph.route != "print" or not ph.live:
                continue
            h, ver = ph.versions[-1]
            n = printed.get(h, 0)
            placed = seen.get((ph.pid, ver), [])
            if placed and n == 0:
                self.tally("unprinted print")
                self.fault("unprinted", "#%d moved on to %s but never printed" %
                           (ph.pid, ", ".join(os.path.relpath(x, self.fs) for x in placed)), ph.paths + placed)
            elif n == 1 and placed:
                self.prints += 1
            elif n > 1:
                self.tally("printed twice")
                self.fault("printed", "#%d (%s) printed %d times" % (ph.pid, ph.path, n), ph.paths + placed)

    def check_upload_record(self, rel, data):
        """After the closing passes no photo may wait or have been given up."""
        lines = data.decode("utf-8", "replace").split("\n")
        if lines[:1] != ["brisko-upload 1"] or "end" not in lines:
            self.fault("upload", "%s is no whole upload record" % rel, [os.path.basename(rel)])
            return
        for line in lines[3:lines.index("end")]:
            f = line.split("\t")
            if f[0] in ("pending", "sending", "failed"):
                self.tally("upload " + f[0])
                self.fault("upload", "%s: %s is %s after the closing passes%s" %
                           (rel, f[6] if len(f) > 6 else "?", f[0], (": " + f[8]) if len(f) > 8 and f[8] else ""),
                           [f[6]] if len(f) > 6 else [])

    def check_remote(self):
        """Every photo in "up" is on the server once, byte for byte; nothing else is there."""
        if not self.upload:
            return
        local = {}
        for top, _, files in os.walk(self.p("up")):
            for name in files:
                with open(os.path.join(top, name), "rb") as f:
                    local.setdefault(sha(f.read()), []).append(os.path.join(top, name))
        remote = {}
        for top, dirs, files in os.walk(self.remote):
            for name in files:
                path = os.path.join(top, name)
                rel = os.path.relpath(path, self.remote)
                with open(path, "rb") as f:
                    data = f.read()
                h = sha(data)
                if "/." in "/" + rel:
                    self.tally("stray remote")
                    self.fault("stray", "remote %s left (%d bytes)" % (rel, len(data)), [name])
                    continue
                if h not in local:
                    self.tally("unknown remote")
                    self.fault("unknown", "remote %s is no photo of up/ (%d bytes, half-sent?)" % (rel, len(data)),
                               [name])
                    continue
                remote.setdefault(h, []).append(rel)
        for h, paths in local.items():
            n = len(remote.get(h, []))
            if n == 1:
                self.uploaded += len(paths)
            elif n == 0:
                self.tally("unsent")
                self.fault("unsent", "%s is not on the server" % os.path.relpath(paths[0], self.fs), paths)
            elif n != len(paths):
                self.tally("sent twice")
                self.fault("doubled", "%s is on the server %d times: %s" %
                           (os.path.relpath(paths[0], self.fs), n, ", ".join(sorted(remote[h]))), paths)

    # ----- RAW+JPEG shots ----------------------------------------------------------------
    # Shots (S00001.JPG, .CR2, sometimes .xmp) shot on the card (card/S) and into a hot folder
    # (shothot), moved by actions that keep shots together (the card's with a counter rename) into
    # "shots", then on into final/shots. A RAW sometimes arrives seconds after its JPEG moved (a
    # tethered camera) and must follow it. After the closing passes every shot must be whole:
    # all its files in one folder under one base name.
    def setup_shots(self, rng):
        os.makedirs(self.card.real(self.p("card/S")), exist_ok=True)
        for d in ("shothot", "shots", "final/shots"):
            os.makedirs(self.p(d), exist_ok=True)
        self.rotates["shot"] = rng.random() < 0.5
        self.tags["shot"] = rng.random() < 0.5
        self.rotates["camshot"], self.tags["camshot"] = self.rotates["cam"], self.tags["cam"]
        self.shot_members = {}  # shot id -> its photos
        self.next_shot = 0
        self.late = []  # (due time, shot id, folder, base): RAWs still to arrive
        keep = {"m_bKeepShotsTogether": 1}
        counter = dict(keep, m_bRenameFile=1, m_ComponentArray_count=2, m_ComponentArray_0=4, m_ComponentArray_1=2)
        steps = {"m_bAutoRotateJPG": int(self.rotates["shot"]), "m_bAddOrUpdateBriskoExif": int(self.tags["shot"])}
        spec = "*.JPG|*.CR2"  # the sidecars come along
        up = [dict({"name": "Shots", "m_iType": rng.choice([1, 3]), "src": self.p("card/S"), "dst": self.p("shots"),
                    "spec": spec, "extra": counter}, **steps),
              dict({"name": "ShotsHot", "m_iType": 1, "src": self.p("shothot"), "dst": self.p("shots"),
                    "spec": spec, "extra": keep}, **steps)]
        down = [{"name": "Onshots", "m_iType": 1, "src": self.p("shots"), "dst": self.p("final/shots"),
                 "spec": spec, "extra": keep}]
        return up, down

    def shot_file(self, rng, sid, path, data):
        ph = Photo(len(self.model) + 1, path, self.shot_route(path))
        m = self.medium_of(path)
        real = m.real(path) if m else path
        try:
            os.makedirs(os.path.dirname(real), exist_ok=True)
            side = os.path.join(os.path.dirname(real), ".%s.part" % os.path.basename(real))
            with open(side, "wb") as f:
                f.write(data)
            os.rename(side, real)
        except OSError as e:
            self.note("write %s failed: %s" % (path, e.strerror))
            return
        ph.versions.append((sha(data), 1))
        ph.shot = sid
        self.model.append(ph)
        self.photos += 1
        self.shot_members.setdefault(sid, []).append(ph)

    def shot_route(self, path):
        return "camshot" if self.cam.owns(path) else "shot"

    def shoot_shot(self, rng, folder=None, base=None):
        """A shot on the card, in the hot folder or (given its folder and base) on the camera."""
        folder = folder or ("card/S" if self.card.inserted and rng.random() < 0.6 else "shothot")
        self.next_shot += 1
        sid = self.next_shot
        base = base or "S%05d" % sid
        route = self.shot_route(self.p(folder + "/x"))
        raw_only = not self.tags[route] and rng.random() < 0.15
        if not raw_only:
            ph = Photo(len(self.model) + 1, self.p("%s/%s.JPG" % (folder, base)), route)
            if not self.write_version(ph, rng):
                return
            ph.shot = sid
            self.model.append(ph)
            self.photos += 1
            self.shot_members.setdefault(sid, []).append(ph)
        if rng.random() < 0.5:
            marker = "TORTURE:%d:1:%08x" % (len(self.model) + 1, rng.getrandbits(32))
            if route == "camshot":  # a camera's sidecar: its thumbnail
                self.shot_file(rng, sid, self.p("%s/%s.THM" % (folder, base)), marker.encode() + rng.randbytes(200))
            else:
                self.shot_file(rng, sid, self.p("%s/%s.xmp" % (folder, base)),
                               ('<x:xmpmeta xmlns:x="adobe:ns:meta/"><!-- %s --></x:xmpmeta>\n' % marker).encode())
        if not raw_only and rng.random() < 0.3:
            self.late.append((time.time() + rng.uniform(0.5, 5), sid, folder, base))
        else:
            self.write_raw(rng, sid, folder, base)

    def write_raw(self, rng, sid, folder, base):
        marker = "TORTURE:%d:1:%08x" % (len(self.model) + 1, rng.getrandbits(32))
        self.shot_file(rng, sid, self.p("%s/%s.CR2" % (folder, base)),
                       b"II*\0" + marker.encode() + rng.randbytes(rng.randint(500, 40000)))

    def write_late_partners(self, rng):
        due = [x for x in self.late if x[0] <= time.time()]
        self.late = [x for x in self.late if x[0] > time.time()]
        for _, sid, folder, base in due:
            if folder.startswith("cam/"):
                self.cam_written = time.time()
            self.write_raw(rng, sid, folder, base)
            self.note("late RAW of shot %s in %s" % (base, folder))

    def check_shots(self, seen):
        for sid, members in sorted(self.shot_members.items()):
            places = []
            for ph in members:
                places += seen.get((ph.pid, ph.versions[-1][1]), [])
            folders = {os.path.dirname(x) for x in places}
            bases = {os.path.basename(x).split(".")[0] for x in places}
            if len(places) == len(members) and len(folders) <= 1 and len(bases) <= 1:
                continue
            self.tally("split shot")
            self.fault("split", "shot %d (%s) is not whole: %s" %
                       (sid, ", ".join(os.path.basename(ph.path) for ph in members),
                        ", ".join(sorted(os.path.relpath(x, self.fs) for x in places)) or "nowhere"),
                       [ph.path for ph in members] + places)

    # ----- rounds -------------------------------------------------------------------------
    def run_round(self, n):
        self.round = n
        self.rounds += 1
        self.trace = []
        self.round_faults = []
        self.log_cache = {}  # log file -> ((size, mtime), lines)
        self.round_start = time.time()
        rng = random.Random("%d/%d" % (self.a.seed, n))
        faults_before, steps_before = len(self.faults), self.steps
        counts_before = (self.kills, self.pulls, self.pauses, self.doubled, self.lost, self.strays)
        self.setup_round(rng)
        length = rng.uniform(*self.a.round_seconds)
        if not self.a.aim:
            self.start_station(rng, self.A)
        while time.time() - self.round_start < length:
            for st in self.stations:
                if st.died():
                    self.kills += 1
                    self.shim_kills += 1
                    self.note("%s killed at its file call" % st.name)
            if os.path.exists(self.signal):
                self.on_pause(rng)
            self.step(rng)
            self.look_at_temp()
        self.quiet()
        self.check()
        for st in self.stations:
            st.kill()
        live = sum(1 for ph in self.model if ph.live)
        d = [a - b for a, b in zip((self.kills, self.pulls, self.pauses, self.doubled, self.lost, self.strays),
                                   counts_before)]
        print("round %d: %.0f s, %d photos (%d live), %d steps, %d kills, %d pulls, %d pauses, %d doubled, "
              "%d lost, %d stray, %d faults" % ((n, time.time() - self.round_start, len(self.model), live,
                                                 self.steps - steps_before) + tuple(d) +
                                                (len(self.faults) - faults_before,)), flush=True)
        if len(self.faults) > faults_before:
            kinds = {}
            for _, k, _ in self.faults[faults_before:]:
                kinds[k] = kinds.get(k, 0) + 1
            print("  faults of round %d: %s" % (n, ", ".join("%s %d" % kv for kv in sorted(kinds.items()))))
            path = "%s/logs/r%d-steps.txt" % (self.work, n)
            with open(path, "w") as f:
                f.write("\n".join(self.trace) + "\n")
            with open("%s/logs/r%d-faults.txt" % (self.work, n), "w") as f:
                f.write("".join(self.round_faults))
            print("  steps of round %d: %s, faults with log lines: %s/logs/r%d-faults.txt (replay: --seed %d "
                  "--round %d)" % (n, path, self.work, n, self.a.seed, n))

    def main(self):
        os.makedirs(self.work, exist_ok=True)
        self.build_shim()
        self.setup_server()
        self.start_printer()
        self.loop_kind = self.find_loop_kind()
        end = time.time() + self.a.minutes * 60 + self.a.seconds
        n = self.a.round if self.a.round is not None else 1
        try:
            repeat = 0
            while True:
                self.run_round(n)
                repeat += 1
                if self.a.round is not None:
                    if repeat >= self.a.repeat:
                        break
                else:
                    n += 1
                    if time.time() >= end:
                        break
        finally:
            for st in getattr(self, "stations", []):
                st.kill()
            self.unmount_all()
            self.stop_printer()
            self.stop_server()
        print("torture seed=%d: %d rounds, %d steps, %d photos, %d kills (%d by the shim at a file call),"
              " %d pulls, %d pauses, %d doubled, %d lost, %d stray hidden files, %d faults" %
              (self.a.seed, self.rounds, self.steps, self.photos, self.kills, self.shim_kills, self.pulls,
               self.pauses, self.doubled, self.lost, self.strays, len(self.faults)))
        print("same-label card swaps %d (%s), flush failure windows %d, folders refusing deletes %d" %
              (self.swaps, self.loop_kind or "left out", self.eio_windows, self.refusals))
        if self.aimed:
            print("aimed scenarios: " + ", ".join("%s %d" % kv for kv in sorted(self.aimed.items())))
        if self.printer:
            print("printed exactly once and moved on: %d photos" % self.prints)
        if self.upload:
            print("uploaded exactly once and equal: %d photos; server stopped %d times" %
                  (self.uploaded, self.server_stops))
        kinds = {}
        for _, k, _ in self.faults:
            kinds[k] = kinds.get(k, 0) + 1
        if kinds:
            print("faults by kind: " + ", ".join("%s %d" % kv for kv in sorted(kinds.items())))
        if self.by_path:
            print("by path: " + ", ".join("%s %d" % kv for kv in sorted(self.by_path.items())))
        return 1 if self.faults else 0


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--binary", default=os.path.join(HERE, "..", "build", "ci", "brisko-workflow"))
    ap.add_argument("--minutes", type=float, default=0)
    ap.add_argument("--seconds", type=float, default=0)
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--round", type=int, default=None, help="replay this round only")
    ap.add_argument("--repeat", type=int, default=1, help="with --round: how many times")
    ap.add_argument("--dir", help="work folder (default /tmp/brisko-torture-SEED)")
    ap.add_argument("--no-shim", action="store_true", help="no kills or pauses at file calls")
    ap.add_argument("--no-mount", action="store_true", help="no tmpfs card or disk even as root")
    ap.add_argument("--no-print", action="store_true", help="no private CUPS, no Print Files action")
    ap.add_argument("--no-loop", action="store_true", help="no loop-mounted same-label cards")
    ap.add_argument("--no-upload", action="store_true", help="no loopback WebDAV server, no Upload Files action")
    ap.add_argument("--temp-tmpfs", action="store_true",
                    help="the temp folder on its own tmpfs, another file system than every destination (root)")
    ap.add_argument("--round-seconds", type=float, nargs=2, default=[12, 40], metavar=("MIN", "MAX"))
    ap.add_argument("--aim", action="store_true", help="only the steps aimed at one window of a move")
    ap.add_argument("--verbose", action="store_true")
    a = ap.parse_args()
    if a.seed is None:
        a.seed = random.SystemRandom().randint(1, 999999)
    if not a.minutes and not a.seconds and a.round is None:
        a.minutes = 1
    if a.temp_tmpfs and (os.geteuid() != 0 or a.no_mount):
        sys.exit("torture: --temp-tmpfs mounts a tmpfs: run as root, without --no-mount")
    t = Torture(a)

    def on_signal(signum, frame):
        raise KeyboardInterrupt

    signal.signal(signal.SIGTERM, on_signal)
    print("torture seed=%d binary=%s work=%s" % (a.seed, t.binary, t.work), flush=True)
    try:
        return t.main()
    except KeyboardInterrupt:
        print("torture: interrupted")
        return 1


if __name__ == "__main__":
    sys.exit(main())

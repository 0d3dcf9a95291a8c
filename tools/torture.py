#!/usr/bin/env python3
"""Randomized crash-and-concurrency run of the real station ("torture").

Drives real brisko-workflow processes (headless and --run-once, two stores sharing one temp
folder) over real folders with random steps: new photos (small JPEGs, some with EXIF
orientation 6), photos rewritten or renamed over, hard links, a card pulled and put back, a
full disk, kill -9 at random moments and at chosen file calls (tools/torture_shim.c, preloaded).
After each round everything is stopped, each store gets two --run-once passes, and the model is
checked: the last version of every photo exists exactly once (byte for byte, or for rotated and
tagged photos as a whole JPEG carrying the photo's marker), no content twice, nothing unknown
(half-written), nothing left in the temp folder.

Each round starts from empty folders and its own random stream, so `--seed S --round R`
replays one round (timing still varies; --repeat runs it again and again).

    sudo nice -n 10 python3 tools/torture.py --minutes 30
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
    """A photo: EXIF with the marker as ImageDescription and the orientation, then padding."""
    desc = marker.encode() + b"\0"
    tiff = (b"MM\0\x2a" + struct.pack(">I", 8) + struct.pack(">H", 2) +
            struct.pack(">HHII", 0x010E, 2, len(desc), 38) +
            struct.pack(">HHIHH", 0x0112, 3, 1, orientation, 0) + struct.pack(">I", 0) + desc)
    app1 = b"Exif\0\0" + tiff
    out = [b"\xff\xd8", b"\xff\xe1" + struct.pack(">H", len(app1) + 2) + app1]
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
                text(("m_strDestFolder", a["dst"] + "/")), text(("m_strFileSpec", "*.jpg"))]
        for k in ("m_iType", "m_bIncludeSubFolders", "m_bAutoRotateJPG", "m_bAddOrUpdateBriskoExif",
                  "m_bEnabled"):
            vals.append(dword((k, a.get(k, 1 if k == "m_bEnabled" else 0))))
        keys.append('<k name="Action_%d">%s</k>' % (i, "".join(vals)))
    keys.append('<k name="Settings">' + text(("m_TempPath", temp + "/")) + "</k>")
    return ('<?xml version="1.0" encoding="UTF-8"?>\n<k name="HKEY_LOCAL_MACHINE"><k name="SOFTWARE">'
            '<k name="Brisko Pty Ltd"><k name="BriskoFileWorkflow">%s</k></k></k></k>\n' % "".join(keys))


class Photo:
    def __init__(self, pid, path, route):
        self.pid, self.path, self.route = pid, path, route
        self.versions = []  # (sha1 of the bytes, version number)
        self.live = True


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
        if self.t.shim:
            e["LD_PRELOAD"] = self.t.shim
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
        self.shim_kills = self.pauses = 0
        self.faults = []
        self.round = 0
        self.trace = []
        self.shim = None

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

    def setup_round(self):
        """Empty folders, fresh stores, the card and the small disk mounted where possible."""
        for st in getattr(self, "stations", []):
            st.kill()
        self.unmount_all()
        if os.path.exists(self.fs):
            shutil.rmtree(self.fs)
        for d in ("conf", "logs", "state", "run"):
            os.makedirs(self.work + "/" + d, exist_ok=True)
        os.chmod(self.run_dir, 0o700)
        for d in ("card", "hot", "arch", "turnin", "turned", "drop", "full", "hot2", "temp", "temp2",
                  "outside"):
            os.makedirs(self.p(d), exist_ok=True)
        self.card_is_mount = False
        self.disk_is_mount = False
        if self.root:
            # The card is its own file system (moves off it copy); pulling it detaches the mount.
            self.card_store = self.work + "/cardstore"
            if os.path.ismount(self.card_store) or self.mount_tmpfs(self.card_store, "64m"):
                if self.card_store not in self.mounts:
                    self.mounts.append(self.card_store)
                for f in os.listdir(self.card_store):
                    shutil.rmtree(self.card_store + "/" + f, ignore_errors=True)
                self.card_is_mount = self.sh("mount", "--bind", self.card_store, self.p("card"))
                if self.card_is_mount:
                    self.mounts.append(self.p("card"))
            self.disk_is_mount = self.mount_tmpfs(self.p("full"), "6m")
        for d in ("card/DCIM/100", "card/DCIM/101", "card/B"):
            os.makedirs(self.p(d), exist_ok=True)
        self.card_in = True
        self.filler = False
        temp_b = self.p("temp")
        a_actions = [
            {"name": "Card", "m_iType": 1, "src": self.p("card/DCIM"), "dst": self.p("hot"),
             "m_bIncludeSubFolders": 1},
            {"name": "Turn", "m_iType": 1, "src": self.p("turnin"), "dst": self.p("turned"),
             "m_bAutoRotateJPG": 1, "m_bAddOrUpdateBriskoExif": 1},
            {"name": "Sort", "m_iType": 5, "src": self.p("hot"), "dst": self.p("arch"),
             "m_bEnabled": 1},
            {"name": "Disk", "m_iType": 1, "src": self.p("drop"), "dst": self.p("full")},
        ]
        b_actions = [{"name": "Second", "m_iType": 1, "src": self.p("card/B"), "dst": self.p("hot2")}]
        self.stations = []
        for name, actions, temp in (("A", a_actions, self.p("temp")), ("B", b_actions, temp_b)):
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

    # ----- reporting ----------------------------------------------------------------------
    def note(self, what):
        self.trace.append("%6.2f %s" % (time.time() - self.round_start, what))
        if self.a.verbose:
            print("  r%d %s" % (self.round, self.trace[-1]))

    def fault(self, kind, what):
        self.faults.append((self.round, kind, what))
        self.note("FAULT %s: %s" % (kind, what))
        # One incident can touch a hundred photos: show a few of each kind.
        shown = sum(1 for r, k, _ in self.faults if r == self.round and k == kind)
        if shown <= 3 or self.a.verbose:
            print("FAULT seed=%d round=%d %s: %s" % (self.a.seed, self.round, kind, what), flush=True)

    # ----- photos -------------------------------------------------------------------------
    def write_version(self, ph, rng, at=None):
        ver = len(ph.versions) + 1
        big = rng.random() < 0.08
        pad = rng.randbytes(rng.randint(100000, 600000) if big else rng.randint(200, 30000))
        if ph.route == "full":
            pad = pad[:rng.randint(100, 120000)]
        orient = 6 if rng.random() < 0.5 else 1
        data = jpeg("TORTURE:%d:%d:%08x" % (ph.pid, ver, rng.getrandbits(32)), orient, pad)
        path = at or ph.path
        # Saved as an editor saves: a side file renamed over the name.
        side = os.path.join(os.path.dirname(path), ".%s.part" % os.path.basename(path))
        try:
            for attempt in range(5):
                # The station removes emptied subfolders under our feet.
                try:
                    os.makedirs(os.path.dirname(path), exist_ok=True)
                    with open(side, "wb") as f:
                        f.write(data)
                    os.rename(side, path)
                    break
                except FileNotFoundError:
                    if attempt == 4:
                        raise
        except OSError as e:
            self.note("write %s failed: %s" % (path, e.strerror))
            try:
                os.unlink(side)
            except OSError:
                pass
            return False
        ph.versions.append((sha(data), ver))
        return True

    def new_photo(self, rng, folder, route):
        pid = len(self.model) + 1
        ph = Photo(pid, self.p("%s/IMG_%05d.jpg" % (folder, pid)), route)
        if self.write_version(ph, rng):
            self.model.append(ph)
            self.photos += 1
        return ph

    def at_source(self, rng, folders):
        c = [ph for ph in self.model if ph.live and os.path.exists(ph.path) and
             any(ph.path.startswith(self.p(f) + "/") for f in folders)]
        return rng.choice(c) if c else None

    # ----- steps --------------------------------------------------------------------------
    def card_folders(self):
        return ["card/DCIM/100", "card/DCIM/101", "card/B"] if self.card_in else []

    def step(self, rng):
        self.steps += 1
        sources = ["turnin", "drop", "hot"] + self.card_folders()
        r = rng.random()
        if self.a.aim:
            self.scenario(rng)
            return
        if r < 0.30:
            n = 1 if rng.random() < 0.7 else rng.randint(5, 25)
            where = rng.choice(["card"] * 3 + ["cardB", "turnin", "drop"] + ["hot"])
            if where in ("card", "cardB") and not self.card_in:
                where = "turnin"
            for _ in range(n):
                if where == "card":
                    self.new_photo(rng, rng.choice(["card/DCIM/100", "card/DCIM/101"]), "plain")
                elif where == "cardB":
                    self.new_photo(rng, "card/B", "plain")
                elif where == "turnin":
                    self.new_photo(rng, "turnin", "turn")
                elif where == "drop":
                    self.new_photo(rng, "drop", "full")
                else:
                    self.new_photo(rng, "hot/s%d/t%d" % (rng.randint(1, 3), rng.randint(1, 2)), "plain")
            self.note("new %d photo(s) in %s" % (n, where))
        elif r < 0.42:
            ph = self.at_source(rng, sources)
            if ph and self.write_version(ph, rng):
                self.note("rewrite #%d (v%d) at %s" % (ph.pid, len(ph.versions), ph.path))
        elif r < 0.48:
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
                    self.note("rename #%d over #%d at %s" % (b.pid, a.pid, a.path))
                except OSError as e:
                    self.note("rename over failed: %s" % e.strerror)
        elif r < 0.54:
            ph = self.at_source(rng, sources)
            if ph:
                try:
                    os.link(ph.path, ph.path + ".lnk")
                    self.note("hard link %s.lnk" % ph.path)
                except OSError as e:
                    self.note("hard link failed: %s" % e.strerror)
        elif r < 0.60:
            self.pull_card() if self.card_in else self.put_card()
        elif r < 0.66 and self.disk_is_mount:
            self.fill_disk(rng) if not self.filler else self.free_disk()
        elif r < 0.74:
            st = rng.choice(self.stations)
            if st.kill():
                self.note("kill -9 %s" % st.name)
        elif r < 0.86:
            st = self.A if rng.random() < 0.7 else self.B
            if not st.running():
                self.start_station(rng, st, once=rng.random() < 0.4)
        elif r < 0.94:
            self.scenario(rng)
        elif r < 0.98:
            # A second station on another store, sharing the temp folder, running a pass now.
            if not self.B.running():
                self.note("B --run-once beside A")
                rc = self.B.run_once()
                self.note("B --run-once ended %d" % rc)
        time.sleep(rng.random() * 0.4)

    def scenario(self, rng):
        """Aimed at one window of a move, with random photos and counts: a crash at a chosen
        call of a batch off the card or of a rotation, then a pass to recover; a second
        station's pass while A stands between placing a batch and removing its sources; a
        rewrite while Move Subfolders flushes its copies; a crash before the sources go, then a
        pass without the card; a photo saved anew at its source's unlink."""
        if not self.shim:
            return
        self.A.stop()
        kinds = ["crash-mid-batch", "crash-mid-turn", "second-station-mid-batch", "rewrite-mid-subfolders",
                 "crash-then-no-card", "save-anew-at-unlink"]
        kind = rng.choice(kinds)
        if kind == "crash-mid-turn":
            folder = "turnin"
            call, under = rng.choice([("rename", "turned/"), ("fsync", "temp/"), ("rename", "temp/"),
                                      ("unlink", "turnin/"), ("fsync", "turned/")])
            act = rng.choice(["kill-before", "kill-after"])
        elif kind == "crash-mid-batch":
            if not self.card_in:
                self.put_card()
            folder = rng.choice(["card/DCIM/100", "card/DCIM/101"])
            call, under = rng.choice([("unlink", "card/"), ("fsync", "hot/"), ("rename", "hot/"),
                                      ("fsync", "temp/"), ("unlink", "temp/")])
            act = rng.choice(["kill-before", "kill-after"])
        elif kind == "rewrite-mid-subfolders":
            folder = "hot/s%d" % rng.randint(1, 3)
            call, under, act = "fsync", "arch/", "pause"
        else:
            if not self.card_in:
                self.put_card()
            folder = "card/DCIM/100"
            call, under = "unlink", "card/"
            act = "pause" if kind in ("second-station-mid-batch", "save-anew-at-unlink") else rng.choice(
                ["kill-before", "kill-after"])
        route = "turn" if folder == "turnin" else "plain"
        made = [self.new_photo(rng, folder, route) for _ in range(rng.randint(2, 12))]
        nth = rng.randint(1, 2)
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
                else:
                    at = self.paused_photo()
                    if at and self.write_version(at, rng):
                        self.note("save #%d anew (v%d) at its unlink" % (at.pid, len(at.versions)))
                    for ph in made[:rng.randint(1, 3)]:
                        if ph is not at and os.path.exists(ph.path) and self.write_version(ph, rng):
                            self.note("rewrite #%d (v%d) while A is paused" % (ph.pid, len(ph.versions)))
                os.unlink(self.signal)
            time.sleep(0.05)
        if self.A.died():
            self.kills += 1
            self.shim_kills += 1
            self.note("A killed at its file call")
        self.A.stop()
        if kind == "crash-then-no-card":
            self.pull_card()
            self.note("A --run-once without the card: %d" % self.A.run_once())
            self.put_card()
        elif kind.startswith("crash-mid"):
            self.look_at_temp()
            self.note("A --run-once to recover: %d" % self.A.run_once())

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
        return next((x for x in self.model if x.live and x.path == path), None)

    def start_station(self, rng, st, once=False):
        shim = None
        if self.shim and rng.random() < 0.6:
            act = rng.choice(["kill-before", "kill-after", "pause", "pause"])
            call = rng.choice(["unlink", "rename", "rename", "fsync", "fsync", "link"])
            # Narrowing the folder aims at one step: the record, the placed copy, the source.
            under = rng.choice(["", "", "temp/", "card/", "hot/", "arch/", "turned/"])
            nth = rng.randint(1, 25 if not under else 6)
            shim = {"TORTURE_CALL": call, "TORTURE_NTH": str(nth), "TORTURE_ACT": act,
                    "TORTURE_UNDER": self.fs + "/" + under, "TORTURE_SIGNAL": self.signal}
            self.note("start %s %s, %s at %s #%d under %s" % (st.name, "--run-once" if once else "headless",
                                                               act, call, nth, under or "fs/"))
        else:
            self.note("start %s %s" % (st.name, "--run-once" if once else "headless"))
        st.start(shim, once)

    def pull_card(self):
        if self.card_is_mount:
            self.sh("umount", "-l", self.p("card"))
            self.mounts.remove(self.p("card"))
            os.rmdir(self.p("card"))
        else:
            os.rename(self.p("card"), self.p("outside/card"))
        self.card_in = False
        self.note("card pulled")

    def put_card(self):
        if self.card_is_mount:
            os.makedirs(self.p("card"), exist_ok=True)
            r = subprocess.run(["mount", "--bind", self.card_store, self.p("card")], capture_output=True)
            if r.returncode == 0:
                self.mounts.append(self.p("card"))
            else:  # the photos on it would all count as lost
                self.note("card mount failed: %s" % r.stderr.decode(errors="replace").strip())
        else:
            os.rename(self.p("outside/card"), self.p("card"))
        self.card_in = True
        self.note("card back")

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
        """A station stopped at a file call: change something under it, or kill it there."""
        try:
            with open(self.signal) as f:
                line = f.read().split()
        except OSError:
            return
        self.pauses += 1
        self.note("paused at %s" % " ".join(line[1:]))
        r = rng.random()
        if r < 0.25:
            for st in self.stations:
                if st.proc and str(st.proc.pid) == line[0] and st.kill():
                    self.note("kill -9 %s while paused" % st.name)
                    self.shim_kills += 1
        elif r < 0.55:
            if not self.B.running():
                self.note("B --run-once while A is paused")
                self.note("B --run-once ended %d" % self.B.run_once())
        elif r < 0.75 and self.card_in:
            self.pull_card()
        else:
            srcs = ["turnin", "drop", "hot"] + self.card_folders()
            path = line[2] if len(line) > 2 else ""
            # A photo saved anew at the very call the station is paused at: its source's unlink,
            # which removes the source under the hidden name it was set aside to.
            name = os.path.basename(path)
            aside = name.startswith(".") and name.endswith(".brisko-gone")
            if aside:
                path = os.path.join(os.path.dirname(path), name[1:-len(".brisko-gone")])
            ph = next((x for x in self.model if x.live and x.path == path), None) or self.at_source(rng, srcs)
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
        if not self.card_in:
            self.put_card()
        if self.filler:
            self.free_disk()
        for st in self.stations:
            if st.running():
                self.note("SIGTERM %s" % st.name)
            st.stop()
        for _ in range(2):
            for st in self.stations:
                rc = st.run_once()
                self.note("%s --run-once ended %d" % (st.name, rc))
                if rc not in (0, 1):
                    self.fault("exit", "%s --run-once ended with %d" % (st.name, rc))

    def check(self):
        by_hash = {}
        for ph in self.model:
            for h, ver in ph.versions:
                by_hash[h] = (ph, ver)
        seen = {}  # (pid, version) -> paths
        leftovers = 0
        for top, dirs, files in os.walk(self.fs):
            for name in files:
                path = os.path.join(top, name)
                rel = os.path.relpath(path, self.fs)
                if name.endswith(".lnk") or rel == "full/.filler":
                    continue
                try:
                    with open(path, "rb") as f:
                        data = f.read()
                    mode = os.lstat(path).st_mode
                except OSError as e:
                    self.fault("unreadable", "%s: %s" % (rel, e.strerror))
                    continue
                in_temp = rel.startswith("temp/") or rel.startswith("temp2/")
                # Half-written temporary files: the copy's in a destination, SafeOutput's
                # anywhere; the station sweeps them from the temp folder only when an hour old.
                # The rotator's turned pixels, read back into the photo and then deleted: a kill
                # in between leaves them in the temp folder until the hour-old sweep.
                rotator = in_temp and re.match(r"ExifRotatorTemp_\d+(_\d+)?\.jpg_temp$", name)
                if rotator or re.match(r"\.brisko-.*\.tmp$", name) or re.match(r"\..*\.brisko-[A-Za-z0-9]{6}$", name):
                    leftovers += 1
                    self.note("leftover %s" % rel)
                    continue
                # A source set aside for its delete: a pass after a crash finishes or puts it back.
                if name.startswith(".") and name.endswith(".brisko-gone"):
                    self.fault("hidden", "%s set aside and left (%d bytes)" % (rel, len(data)))
                if in_temp:
                    self.fault("stranded", "left in the temp folder: %s (%d bytes)" % (rel, len(data)))
                if mode & 0o002:
                    self.fault("mode", "%s is writable by every user (%o)" % (rel, mode & 0o777))
                h = sha(data)
                if h in by_hash:
                    ph, ver = by_hash[h]
                    seen.setdefault((ph.pid, ver), []).append(rel)
                    continue
                m = MARKER.search(data)
                ph = m and next((x for x in self.model if x.pid == int(m.group(1))), None)
                if not ph:
                    if not in_temp:
                        self.fault("unknown", "%s is no photo of this run (%d bytes)" % (rel, len(data)))
                    continue
                ver = int(m.group(2))
                if ph.route != "turn" or not (rel.startswith("turned/") or in_temp):
                    self.fault("damaged", "%s (#%d v%d) differs from every version written" %
                               (rel, ph.pid, ver))
                    continue
                bad = jpeg_problem(data)
                if bad:
                    self.fault("damaged", "%s (#%d v%d): %s" % (rel, ph.pid, ver, bad))
                elif exif_orientation(data) not in (None, 1):
                    self.fault("unrotated", "%s (#%d v%d) still has orientation %s" %
                               (rel, ph.pid, ver, exif_orientation(data)))
                seen.setdefault((ph.pid, ver), []).append(rel)
        for ph in self.model:
            for h, ver in ph.versions:
                paths = seen.get((ph.pid, ver), [])
                last = ph.live and ver == ph.versions[-1][1]
                if last and not paths:
                    self.fault("lost", "#%d v%d (%s) exists nowhere" % (ph.pid, ver, ph.path))
                if len(paths) > 1:
                    self.fault("doubled", "#%d v%d exists %d times: %s" % (ph.pid, ver, len(paths),
                                                                           ", ".join(sorted(paths))))
            if ph.live and os.path.exists(ph.path):
                self.fault("stuck", "#%d still at its source %s after two passes" % (ph.pid, ph.path))
        return leftovers

    # ----- rounds -------------------------------------------------------------------------
    def run_round(self, n):
        self.round = n
        self.rounds += 1
        self.trace = []
        self.round_start = time.time()
        rng = random.Random("%d/%d" % (self.a.seed, n))
        faults_before, steps_before = len(self.faults), self.steps
        self.setup_round()
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
        leftovers = self.check()
        for st in self.stations:
            st.kill()
        live = sum(1 for ph in self.model if ph.live)
        print("round %d: %.0f s, %d photos (%d live), %d steps, %d faults%s" %
              (n, time.time() - self.round_start, len(self.model), live, self.steps - steps_before,
               len(self.faults) - faults_before,
               ", %d leftover .tmp" % leftovers if leftovers else ""), flush=True)
        if len(self.faults) > faults_before:
            kinds = {}
            for _, k, _ in self.faults[faults_before:]:
                kinds[k] = kinds.get(k, 0) + 1
            print("  faults of round %d: %s" % (n, ", ".join("%s %d" % kv for kv in sorted(kinds.items()))))
            path = "%s/logs/r%d-steps.txt" % (self.work, n)
            with open(path, "w") as f:
                f.write("\n".join(self.trace) + "\n")
            print("  steps of round %d: %s (replay: --seed %d --round %d)" % (n, path, self.a.seed, n))

    def main(self):
        os.makedirs(self.work, exist_ok=True)
        self.build_shim()
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
        print("torture seed=%d: %d rounds, %d steps, %d photos, %d kills (%d by the shim at a file call),"
              " %d pauses, %d faults" % (self.a.seed, self.rounds, self.steps, self.photos, self.kills,
                                          self.shim_kills, self.pauses, len(self.faults)))
        kinds = {}
        for _, k, _ in self.faults:
            kinds[k] = kinds.get(k, 0) + 1
        if kinds:
            print("faults by kind: " + ", ".join("%s %d" % kv for kv in sorted(kinds.items())))
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
    ap.add_argument("--round-seconds", type=float, nargs=2, default=[12, 40], metavar=("MIN", "MAX"))
    ap.add_argument("--aim", action="store_true", help="only the steps aimed at one window of a move")
    ap.add_argument("--verbose", action="store_true")
    a = ap.parse_args()
    if a.seed is None:
        a.seed = random.SystemRandom().randint(1, 999999)
    if not a.minutes and not a.seconds and a.round is None:
        a.minutes = 1
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

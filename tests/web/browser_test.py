#!/usr/bin/env python3
"""A real browser on the status page of a running station: headless Chromium opens the page, a
photo is moved, and the new log line must appear in the page's DOM without a reload, as text.
Beside it an action whose destination runs through a regular file fails on every pass: the page's
verdict names it and its reason, its photo counts once and is one log line, the other action's
Moved lines stay in view, and 16 slow half-open connections do not keep a request waiting. At
390 pixels, a program that does not end is named with its photo, and a station frozen with SIGSTOP
is "Not answering" until it thaws. A second station prints on a private cupsd whose queue a person
paused: the verdict says "Paused" at 390 pixels until the queue is resumed (that part is skipped
where the private print system cannot start).
Exit 77 (skipped) where no Chromium is installed. Loopback only; every wait is bounded.
With BRISKO_SCREENSHOTS=DIR the page is saved there at 390 and 1280 pixels wide.

usage: browser_test.py BRISKO_BINARY
"""
import base64
import json
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import urllib.request

PHOTO = "<img src=x onerror=alert(1)>.jpg"

BACKUP = """<?xml version="1.0" encoding="UTF-8"?>
 <k name="HKEY_LOCAL_MACHINE"><k name="SOFTWARE"><k name="Brisko Pty Ltd"><k name="BriskoFileWorkflow">
  <k name="Actions"><v name="NumActions" value="0x00000003 (3)" type="REG_DWORD"/></k>
  <k name="Action_0">
   <v name="m_strName" value="Card"/>
   <v name="m_iType" value="0x00000001 (1)" type="REG_DWORD"/>
   <v name="m_strSourceFolder" value="{root}/card/"/>
   <v name="m_strDestFolder" value="{root}/out/"/>
   <v name="m_strFileSpec" value="*.jpg"/>
  </k>
  <k name="Action_1">
   <v name="m_strName" value="Broken move"/>
   <v name="m_iType" value="0x00000001 (1)" type="REG_DWORD"/>
   <v name="m_strSourceFolder" value="{root}/stuck/"/>
   <v name="m_strDestFolder" value="{root}/file/sub/"/>
   <v name="m_strFileSpec" value="*.jpg"/>
  </k>
  <k name="Action_2">
   <v name="m_strName" value="Send"/>
   <v name="m_iType" value="0x00000001 (1)" type="REG_DWORD"/>
   <v name="m_strSourceFolder" value="{root}/send/"/>
   <v name="m_strDestFolder" value="{root}/sent/"/>
   <v name="m_strFileSpec" value="*.jpg"/>
   <v name="m_bUseExternalExe" value="0x00000001 (1)" type="REG_DWORD"/>
   <v name="m_strExternalExeFilepath" value="{root}/enhance"/>
  </k>
  <k name="Settings"><v name="m_TempPath" value="{root}/temp/"/></k>
 </k></k></k></k>
"""


PRINT_BACKUP = """<?xml version="1.0" encoding="UTF-8"?>
 <k name="HKEY_LOCAL_MACHINE"><k name="SOFTWARE"><k name="Brisko Pty Ltd"><k name="BriskoFileWorkflow">
  <k name="Actions"><v name="NumActions" value="0x00000001 (1)" type="REG_DWORD"/></k>
  <k name="Action_0">
   <v name="m_strName" value="Prints"/>
   <v name="m_iType" value="0x00000008 (8)" type="REG_DWORD"/>
   <v name="m_strSourceFolder" value="{root}/print/"/>
   <v name="m_strDestFolder" value="{root}/printed/"/>
   <v name="m_strFileSpec" value="*.jpg"/>
   <v name="m_strPrintQueue" value="{queue}"/>
  </k>
  <k name="Settings"><v name="m_TempPath" value="{root}/temp/"/></k>
 </k></k></k></k>
"""


class DevTools:
    """Just enough of a WebSocket client for DevTools' JSON messages."""

    def __init__(self, url):
        m = re.match(r"ws://([^/:]+):(\d+)(/.*)", url)
        self.sock = socket.create_connection((m.group(1), int(m.group(2))), timeout=10)
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall((f"GET {m.group(3)} HTTP/1.1\r\nHost: {m.group(1)}:{m.group(2)}\r\n"
                           f"Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
                           "Sec-WebSocket-Version: 13\r\n\r\n").encode())
        head = b""
        while b"\r\n\r\n" not in head:
            head += self.sock.recv(1)
        if b" 101 " not in head.split(b"\r\n")[0]:
            raise RuntimeError("no websocket: " + head.decode(errors="replace"))
        self.next_id = 0

    def _recv_exact(self, n):
        data = b""
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                raise RuntimeError("devtools closed")
            data += chunk
        return data

    def _send(self, text):
        payload = text.encode()
        mask = os.urandom(4)
        n = len(payload)
        header = bytes([0x81]) + (bytes([0x80 | n]) if n < 126 else bytes([0x80 | 126]) + struct.pack(">H", n))
        self.sock.sendall(header + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload)))

    def _recv(self):
        b0, b1 = self._recv_exact(2)
        n = b1 & 0x7F
        if n == 126:
            n = struct.unpack(">H", self._recv_exact(2))[0]
        elif n == 127:
            n = struct.unpack(">Q", self._recv_exact(8))[0]
        return b0 & 0x0F, self._recv_exact(n)

    def call(self, method, params):
        self.next_id += 1
        self._send(json.dumps({"id": self.next_id, "method": method, "params": params}))
        while True:
            op, data = self._recv()
            if op != 1:
                continue
            msg = json.loads(data)
            if msg.get("id") == self.next_id:
                return msg["result"]

    def evaluate(self, expression):
        return self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True})["result"].get("value")


def find_chromium():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        path = shutil.which(name)
        if path:
            return path
    return None


def open_page(chromium, url, root):
    """Headless Chromium showing `url`, and DevTools on its page; its profile and log go in `root`."""
    os.makedirs(os.path.join(root, "chrome"), exist_ok=True)
    browser = subprocess.Popen([chromium, "--headless", "--no-sandbox", "--disable-gpu",
                                "--remote-debugging-address=127.0.0.1", "--remote-debugging-port=0",
                                "--user-data-dir=" + os.path.join(root, "chrome"), url],
                               stdout=subprocess.DEVNULL, stderr=open(os.path.join(root, "chrome.log"), "w"))
    ws = None
    deadline = time.time() + 60
    while time.time() < deadline and ws is None:
        time.sleep(0.2)
        with open(os.path.join(root, "chrome.log")) as log:
            m = re.search(r"DevTools listening on ws://127\.0\.0\.1:(\d+)/", log.read())
        if m:
            ws = int(m.group(1))
    assert ws, "chromium did not open its DevTools port"
    page = None
    deadline = time.time() + 30
    while time.time() < deadline and page is None:
        with urllib.request.urlopen(f"http://127.0.0.1:{ws}/json/list", timeout=5) as r:
            page = next((t for t in json.load(r) if t["type"] == "page" and t["url"].startswith(url)), None)
        time.sleep(0.2)
    assert page, "chromium shows no status page"
    return browser, DevTools(page["webSocketDebuggerUrl"])


def start_station(binary, root, backup, env):
    """Restores `backup` into a new store in `root` and starts a headless station on it with its
    status page; returns the process and the page's address."""
    store = os.path.join(root, "s.db")
    with open(os.path.join(root, "b.xml"), "w") as f:
        f.write(backup)
    subprocess.run([binary, "--store", store, "--restore", os.path.join(root, "b.xml")], env=env, check=True,
                   stdout=subprocess.DEVNULL, timeout=60)
    station = subprocess.Popen([binary, "--headless", "--store", store, "--status-page", "127.0.0.1:0"],
                               env=env, stdout=subprocess.PIPE, text=True)
    url = None
    deadline = time.time() + 30
    while time.time() < deadline and url is None:
        m = re.search(r"Status page at (http://127\.0\.0\.1:\d+/)", station.stdout.readline())
        url = m.group(1) if m else None
    if not url:
        station.kill()
        station.wait()
    assert url, "the station did not log its status page"
    return station, url


def stop(processes):
    for p in processes:
        if p and p.poll() is None:
            p.send_signal(signal.SIGTERM)
            try:
                p.wait(timeout=20)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()


def wait_for(tools, expression, done, seconds):
    """Evaluates `expression` in the page until `done(value)` holds or `seconds` pass; the last value."""
    value = None
    deadline = time.time() + seconds
    while time.time() < deadline:
        value = tools.evaluate(expression)
        if done(value):
            break
        time.sleep(0.5)
    return value


def paused_printer(binary, chromium, sample, shots):
    """A printer a person paused (cupsdisable, against a private cupsd): at 390 px the verdict says
    "Printer QUEUE: Paused" while a photo waits, and once the queue is resumed the photo prints.
    Skipped where the private print system cannot start (tools missing)."""
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "cups_sandbox.sh")
    with tempfile.TemporaryDirectory() as root:
        sandbox = os.path.join(root, "cups")
        started = subprocess.run(["bash", script, "start", sandbox, "--owner", str(os.getpid())],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, timeout=120)
        if started.returncode == 77:
            print("paused printer SKIPPED: " + started.stderr.strip())
            return "skipped"
        assert started.returncode == 0, "the private print system did not start: " + started.stderr[-800:]
        station = browser = None
        try:
            values = dict(line.split("=", 1) for line in open(os.path.join(sandbox, "env")).read().splitlines()
                          if "=" in line)
            queue = values["QUEUE"]
            env = dict(os.environ, CUPS_SERVER=values["CUPS_SERVER"], XDG_RUNTIME_DIR=os.path.join(root, "run"),
                       XDG_STATE_HOME=os.path.join(root, "state"), ASAN_OPTIONS="detect_leaks=0")
            for d in ("print", "printed", "temp", "run", "state"):
                os.mkdir(os.path.join(root, d))
            cups_tool = lambda name: shutil.which(name) or os.path.join("/usr/sbin", name)
            subprocess.run([cups_tool("cupsdisable"), queue], env=env, check=True, timeout=30)
            shutil.copy(sample, os.path.join(root, "print", "IMG_0007.jpg"))
            station, url = start_station(binary, root, PRINT_BACKUP.format(root=root, queue=queue), env)
            browser, tools = open_page(chromium, url, root)
            tools.call("Emulation.setDeviceMetricsOverride",
                       {"width": 390, "height": 1000, "deviceScaleFactor": 1, "mobile": True})
            wanted = "Printer " + queue + ": Paused"
            verdict = wait_for(tools, "document.getElementById('verdict').textContent", lambda v: v == wanted, 60)
            assert verdict == wanted, "verdict: %r" % verdict
            # A pass over the photo leaves it waiting and the queue paused.
            passed = wait_for(tools, "document.getElementById('lastPass').textContent",
                              lambda v: v and v != "none yet", 60)
            assert passed and passed != "none yet", "no pass in a minute"
            verdict = tools.evaluate("document.getElementById('verdict').textContent")
            assert verdict == wanted, "verdict after a pass: %r" % verdict
            assert os.path.exists(os.path.join(root, "print", "IMG_0007.jpg")), "a photo printed on a paused queue"
            if shots:
                png = tools.call("Page.captureScreenshot", {"format": "png"})["data"]
                with open(os.path.join(shots, "status_390_paused.png"), "wb") as f:
                    f.write(base64.b64decode(png))
            # Resumed by a person: the photo prints and the verdict clears.
            subprocess.run([cups_tool("cupsenable"), queue], env=env, check=True, timeout=30)
            deadline = time.time() + 90
            while time.time() < deadline and os.path.exists(os.path.join(root, "print", "IMG_0007.jpg")):
                time.sleep(0.5)
            assert not os.path.exists(os.path.join(root, "print", "IMG_0007.jpg")), "the photo never printed"
            verdict = wait_for(tools, "document.getElementById('verdict').textContent", lambda v: v == "All well", 30)
            assert verdict == "All well", "verdict after the resume: %r" % verdict
            return "passed"
        finally:
            stop((browser, station))
            subprocess.run(["bash", script, "stop", sandbox], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           timeout=60)


def main():
    binary = sys.argv[1]
    chromium = find_chromium()
    if not chromium:
        print("SKIPPED: no chromium installed (Debian package 'chromium'; tools/setup.sh installs it)")
        return 77
    photo_source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "jpeg")
    sample = next((os.path.join(d, f) for d, _, fs in sorted(os.walk(photo_source)) for f in sorted(fs)
                   if f.lower().endswith(".jpg") and os.path.basename(d) != "broken"), None)
    with tempfile.TemporaryDirectory() as root:
        for d in ("card", "out", "temp", "run", "state", "chrome", "stuck", "send", "sent"):
            os.mkdir(os.path.join(root, d))
        with open(os.path.join(root, "file"), "w") as f:
            f.write("a file where a folder should be")
        shutil.copy(sample, os.path.join(root, "stuck", "stuck.jpg"))
        # A program that does not end until the test says so.
        with open(os.path.join(root, "enhance"), "w") as f:
            f.write("#!/bin/sh\nwhile [ ! -e '%s' ]; do sleep 0.2; done\n" % os.path.join(root, "release"))
        os.chmod(os.path.join(root, "enhance"), 0o755)
        env = dict(os.environ, XDG_RUNTIME_DIR=os.path.join(root, "run"), XDG_STATE_HOME=os.path.join(root, "state"),
                   ASAN_OPTIONS="detect_leaks=0")
        station, url = start_station(binary, root, BACKUP.format(root=root), env)
        browser = None
        try:
            browser, tools = open_page(chromium, url, root)
            # Survives only as long as the page is not reloaded.
            deadline = time.time() + 30
            while time.time() < deadline and not tools.evaluate(
                    "document.readyState === 'complete' && !!document.getElementById('log')"):
                time.sleep(0.2)
            tools.evaluate("window.__stayed = 'yes'")
            shutil.copy(sample, os.path.join(root, "card", PHOTO))
            wanted = "Moved file from " + os.path.join(root, "card", PHOTO)
            state = None
            deadline = time.time() + 60
            while time.time() < deadline:
                state = tools.evaluate("JSON.stringify([window.__stayed || '', document.getElementById('log').textContent,"
                                       " document.querySelectorAll('#log img').length,"
                                       " document.getElementById('count-moved').textContent])")
                state = json.loads(state) if state else ["", "", 0, ""]
                if wanted in state[1]:
                    break
                time.sleep(0.5)
            assert wanted in state[1], "the moved photo's log line did not appear: " + state[1][:500]
            assert state[0] == "yes", "the page was reloaded"
            assert state[2] == 0, "a file name became markup"
            assert state[3] == "1", "moved count is " + state[3]

            # The broken action has failed on every pass meanwhile: one verdict, one photo, one line.
            time.sleep(6)
            board = json.loads(tools.evaluate(
                "JSON.stringify([document.getElementById('verdict').textContent,"
                " document.getElementById('count-failures').textContent,"
                " document.getElementById('log').textContent,"
                " Array.prototype.filter.call(document.querySelectorAll('#placed img'),"
                "  function (i) { return i.complete && i.naturalWidth > 0; }).length])"))
            assert "Broken move: 1 photo waits since " in board[0], board[0]
            assert board[0].endswith(", safe where it is (stuck.jpg). Check: The folder " +
                                     os.path.join(root, "file", "sub") + " cannot be made: file is a file"), board[0]
            assert board[1] == "1 photo", "failures: " + board[1]
            assert board[2].count("Move file from " + os.path.join(root, "stuck", "stuck.jpg")) == 1, board[2][:800]
            assert "CopyOrMoveFilesUsingShell" not in board[2], board[2][:800]
            assert wanted in board[2], "the Moved line is gone from the log"
            assert board[3] == 1, "thumbnails shown: %d" % board[3]

            # 16 connections that send a header line now and then, each from its own address.
            slow = []
            for i in range(16):
                c = socket.socket()
                c.bind((f"127.0.1.{i + 1}", 0))
                c.connect(("127.0.0.1", int(url.rsplit(":", 1)[1].strip("/"))))
                c.sendall(b"GET / HTTP/1.1\r\n")
                slow.append(c)
            for _ in range(3):
                for c in slow:
                    try:
                        c.sendall(b"X-Slow: 1\r\n")
                    except OSError:
                        pass
                start = time.time()
                with urllib.request.urlopen(url + "status.json", timeout=5) as r:
                    assert r.status == 200
                assert time.time() - start < 1, "a request waited %.1f s behind slow connections" % (time.time() - start)
                time.sleep(1)
            for c in slow:
                c.close()

            shots = os.environ.get("BRISKO_SCREENSHOTS")
            if shots:
                for width, height in ((390, 1600), (1280, 1400)):
                    tools.call("Emulation.setDeviceMetricsOverride",
                               {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": width < 600})
                    time.sleep(2.5)
                    png = tools.call("Page.captureScreenshot", {"format": "png"})["data"]
                    with open(os.path.join(shots, f"status_{width}.png"), "wb") as f:
                        f.write(base64.b64decode(png))
            # A program that does not end: the page says what the station waits for, at phone width.
            tools.call("Emulation.setDeviceMetricsOverride",
                       {"width": 390, "height": 1600, "deviceScaleFactor": 1, "mobile": True})
            shutil.copy(sample, os.path.join(root, "send", "IMG_0042.jpg"))
            waiting = "Waiting since "
            board = ["", 0]
            deadline = time.time() + 60
            while time.time() < deadline and waiting not in board[0]:
                time.sleep(0.5)
                board = json.loads(tools.evaluate("JSON.stringify([document.getElementById('state').textContent,"
                                                  " document.documentElement.scrollWidth])"))
            assert waiting in board[0] and (os.path.join(root, "enhance") + " on IMG_0042.jpg (Send)") in board[0], board[0]
            assert board[1] <= 390, "the page is %d pixels wide at 390" % board[1]
            if shots:
                png = tools.call("Page.captureScreenshot", {"format": "png"})["data"]
                with open(os.path.join(shots, "status_390_waiting.png"), "wb") as f:
                    f.write(base64.b64decode(png))

            # A frozen station keeps its connections open and never answers: the page says so.
            station.send_signal(signal.SIGSTOP)
            try:
                verdict = ""
                deadline = time.time() + 30
                while time.time() < deadline and not verdict.startswith("Not answering since "):
                    time.sleep(0.5)
                    verdict = tools.evaluate("document.getElementById('verdict').textContent + '|' +"
                                             " document.body.className")
                assert verdict.startswith("Not answering since ") and verdict.endswith("|stale"), verdict
                if shots:
                    png = tools.call("Page.captureScreenshot", {"format": "png"})["data"]
                    with open(os.path.join(shots, "status_390_hung.png"), "wb") as f:
                        f.write(base64.b64decode(png))
            finally:
                station.send_signal(signal.SIGCONT)
            # Thawed and the program released: the page answers again and the wait is over.
            open(os.path.join(root, "release"), "w").close()
            board = ["", ""]
            deadline = time.time() + 60
            while time.time() < deadline and (waiting in board[0] or board[1] == "stale"):
                time.sleep(0.5)
                board = json.loads(tools.evaluate("JSON.stringify([document.getElementById('state').textContent,"
                                                  " document.body.className])"))
            assert waiting not in board[0] and board[1] != "stale", board
            tools.call("Emulation.clearDeviceMetricsOverride", {})

            # The station goes away: the page says since when, greyed, rather than show old counts as news.
            station.send_signal(signal.SIGTERM)
            station.wait(timeout=30)
            verdict = ""
            deadline = time.time() + 20
            while time.time() < deadline and not verdict.startswith("Not answering since "):
                time.sleep(0.5)
                verdict = tools.evaluate("document.getElementById('verdict').textContent + '|' +"
                                         " document.body.className")
            assert verdict.startswith("Not answering since ") and verdict.endswith("|stale"), verdict
            if shots:
                png = tools.call("Page.captureScreenshot", {"format": "png"})["data"]
                with open(os.path.join(shots, "status_1280_not_answering.png"), "wb") as f:
                    f.write(base64.b64decode(png))
        finally:
            stop((browser, station))
    paused = paused_printer(binary, chromium, sample, shots)
    print("PASSED: the log line appeared without a reload, as text; a stuck photo is one line and the"
          " verdict; slow connections do not hold the page; a program waited for and a frozen station"
          " are said at 390 px; a station gone is said; a paused printer (" + paused + ")")
    return 0


if __name__ == "__main__":
    sys.exit(main())

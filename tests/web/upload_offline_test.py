#!/usr/bin/env python3
"""The status page in a real browser while an upload's remote does not answer: headless Chromium
shows the Upload Files action's row as one line, "Offline since HH:MM: 3 photos waiting", naming
the remote by its name and path only (its password, in rclone's configuration, appears nowhere on
the page or in status.json). The remote is a loopback port nothing listens on.
Exit 77 (skipped) where Chromium or rclone is missing. Loopback only; every wait is bounded.
With BRISKO_SCREENSHOTS=DIR the page is saved there at 390 pixels wide (status_390_offline.png).

usage: upload_offline_test.py BRISKO_BINARY
"""
import base64
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from browser_test import DevTools, find_chromium  # noqa: E402

BACKUP = """<?xml version="1.0" encoding="UTF-8"?>
 <k name="HKEY_LOCAL_MACHINE"><k name="SOFTWARE"><k name="Brisko Pty Ltd"><k name="BriskoFileWorkflow">
  <k name="Actions"><v name="NumActions" value="0x00000001 (1)" type="REG_DWORD"/></k>
  <k name="Action_0">
   <v name="m_strName" value="Gallery"/>
   <v name="m_iType" value="0x00000009 (9)" type="REG_DWORD"/>
   <v name="m_strSourceFolder" value="{root}/out/"/>
   <v name="m_strDestFolder" value="gallery:events/"/>
   <v name="m_strFileSpec" value="*.jpg"/>
  </k>
  <k name="Settings"><v name="m_TempPath" value="{root}/temp/"/>
   <v name="m_strRcloneConfig" value="{root}/rclone.conf"/></k>
 </k></k></k></k>
"""


def wait_for(what, check, seconds):
    deadline = time.time() + seconds
    while time.time() < deadline:
        value = check()
        if value:
            return value
        time.sleep(0.3)
    raise AssertionError(what)


def main():
    binary = sys.argv[1]
    chromium = find_chromium()
    if not chromium or not shutil.which("rclone"):
        print("SKIPPED: needs chromium and rclone (Debian packages 'chromium' and 'rclone')")
        return 77
    photo_source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "jpeg")
    sample = next(os.path.join(d, f) for d, _, fs in sorted(os.walk(photo_source)) for f in sorted(fs)
                  if f.lower().endswith(".jpg") and os.path.basename(d) != "broken")
    with tempfile.TemporaryDirectory() as root:
        for d in ("out", "temp", "run", "state", "chrome"):
            os.mkdir(os.path.join(root, d))
        for i in range(3):
            shutil.copy(sample, os.path.join(root, "out", "IMG_%04d.jpg" % (41 + i)))
        # A port that was free a moment ago: the gallery's server is down.
        s = socket.socket()
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
        s.close()
        secret = subprocess.run(["rclone", "obscure", "booth-secret"], capture_output=True, text=True,
                                check=True).stdout.strip()
        with open(os.path.join(root, "rclone.conf"), "w") as f:
            f.write("[gallery]\ntype = webdav\nurl = http://127.0.0.1:%d/dav\nvendor = other\n"
                    "user = booth\npass = %s\n" % (port, secret))
        env = dict(os.environ, XDG_RUNTIME_DIR=os.path.join(root, "run"), XDG_STATE_HOME=os.path.join(root, "state"),
                   ASAN_OPTIONS="detect_leaks=0")
        env.pop("RCLONE_CONFIG", None)
        store = os.path.join(root, "s.db")
        with open(os.path.join(root, "b.xml"), "w") as f:
            f.write(BACKUP.format(root=root))
        subprocess.run([binary, "--store", store, "--restore", os.path.join(root, "b.xml")], env=env, check=True,
                       stdout=subprocess.DEVNULL, timeout=60)
        station = subprocess.Popen([binary, "--headless", "--store", store, "--status-page", "127.0.0.1:0"],
                                   env=env, stdout=subprocess.PIPE, text=True)
        browser = None
        try:
            def status_url():
                m = re.search(r"Status page at (http://127\.0\.0\.1:\d+/)", station.stdout.readline())
                return m and m.group(1)
            url = wait_for("the station did not log its status page", status_url, 30)
            chrome_log = os.path.join(root, "chrome.log")
            browser = subprocess.Popen([chromium, "--headless", "--no-sandbox", "--disable-gpu",
                                        "--remote-debugging-address=127.0.0.1", "--remote-debugging-port=0",
                                        "--window-size=390,1200", "--user-data-dir=" + os.path.join(root, "chrome"),
                                        url], stdout=subprocess.DEVNULL, stderr=open(chrome_log, "w"))

            def devtools_port():
                with open(chrome_log) as log:
                    m = re.search(r"DevTools listening on ws://127\.0\.0\.1:(\d+)/", log.read())
                return m and int(m.group(1))
            ws = wait_for("chromium did not open its DevTools port", devtools_port, 60)

            def page():
                with urllib.request.urlopen(f"http://127.0.0.1:{ws}/json/list", timeout=5) as r:
                    return next((t for t in json.load(r) if t["type"] == "page" and t["url"].startswith(url)), None)
            tools = DevTools(wait_for("chromium shows no status page", page, 30)["webSocketDebuggerUrl"])
            tools.call("Emulation.setDeviceMetricsOverride",
                       {"width": 390, "height": 1200, "deviceScaleFactor": 1, "mobile": True})

            def offline_line():
                text = tools.evaluate("Array.prototype.map.call(document.querySelectorAll('.upload'),"
                                      " function (e) { return e.textContent; }).join('|')")
                return text if text and "Offline since " in text else None
            line = wait_for("the page shows no offline upload", offline_line, 60)
            assert re.fullmatch(r"to gallery:events/: Offline since \d\d:\d\d: 3 photos waiting.*", line), line
            page_text = tools.evaluate("document.documentElement.outerHTML")
            with urllib.request.urlopen(url + "status.json", timeout=5) as r:
                status = r.read().decode()
            for text in (page_text, status):
                assert secret not in text and "booth-secret" not in text, "the remote's password is shown"
            # The one line of the action log, not one a photo.
            log = tools.evaluate("document.getElementById('log').textContent")
            assert log.count("Offline since ") == 1, log[:800]
            if os.environ.get("BRISKO_SCREENSHOTS"):
                time.sleep(1)
                png = tools.call("Page.captureScreenshot", {"format": "png"})["data"]
                with open(os.path.join(os.environ["BRISKO_SCREENSHOTS"], "status_390_offline.png"), "wb") as f:
                    f.write(base64.b64decode(png))
            print("PASSED: the offline upload is one line on the page, the remote by name and path, no password")
            return 0
        finally:
            for p in (browser, station):
                if p and p.poll() is None:
                    p.send_signal(signal.SIGTERM)
                    try:
                        p.wait(timeout=20)
                    except subprocess.TimeoutExpired:
                        p.kill()
                        p.wait()


if __name__ == "__main__":
    sys.exit(main())

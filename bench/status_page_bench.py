#!/usr/bin/env python3
"""Status page costs on an idle headless station: /status.json latency (median of 2,000
requests, a new connection each) and the station's CPU with ten clients polling every second
against the same station with the page off. Loopback only.

usage: bench/status_page_bench.py BUILD/brisko-workflow [SECONDS]
"""
import http.client
import os
import re
import statistics
import subprocess
import sys
import tempfile
import threading
import time


def start(binary, store, page):
    args = [binary, "--headless", "--store", store]
    if page:
        args += ["--status-page", "127.0.0.1:0"]
    env = dict(os.environ, XDG_RUNTIME_DIR=os.path.dirname(store), XDG_STATE_HOME=os.path.dirname(store))
    proc = subprocess.Popen(args, stdout=subprocess.PIPE, text=True, env=env)
    url = None
    if page:
        deadline = time.time() + 20
        while time.time() < deadline:
            line = proc.stdout.readline()
            m = re.search(r"Status page at http://127\.0\.0\.1:(\d+)/", line)
            if m:
                url = int(m.group(1))
                break
    threading.Thread(target=lambda: proc.stdout.read(), daemon=True).start()
    return proc, url


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def get(port, source="127.0.0.1"):
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=5, source_address=(source, 0))
    c.request("GET", "/status.json")
    r = c.getresponse()
    r.read()
    c.close()
    return r.status


def idle_cpu(proc, seconds, port=None):
    stop = threading.Event()

    def poll(i):
        while not stop.is_set():
            get(port, f"127.0.0.{10 + i}")
            stop.wait(1.0)

    threads = [threading.Thread(target=poll, args=(i,)) for i in range(10)] if port else []
    for t in threads:
        t.start()
    time.sleep(1)
    before, t0 = cpu_seconds(proc.pid), time.time()
    time.sleep(seconds)
    used = (cpu_seconds(proc.pid) - before) / (time.time() - t0)
    stop.set()
    for t in threads:
        t.join()
    return used * 100


def main():
    binary = sys.argv[1]
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 30
    with tempfile.TemporaryDirectory() as d:
        proc, port = start(binary, os.path.join(d, "on.db"), True)
        try:
            if port is None:
                sys.exit("the station did not report its status page")
            time.sleep(6)  # past the start-up countdown
            lat = []
            for _ in range(2000):
                t = time.perf_counter()
                assert get(port) == 200
                lat.append((time.perf_counter() - t) * 1000)
            print(f"status.json latency over 2000 requests: median {statistics.median(lat):.3f} ms, "
                  f"p99 {sorted(lat)[1979]:.3f} ms")
            on = idle_cpu(proc, seconds, port)
        finally:
            proc.terminate()
            proc.wait()
        proc, _ = start(binary, os.path.join(d, "off.db"), False)
        try:
            time.sleep(6)
            off = idle_cpu(proc, seconds)
        finally:
            proc.terminate()
            proc.wait()
    print(f"idle station CPU: page off {off:.3f}% of a core, ten clients polling every second {on:.3f}%, "
          f"difference {on - off:.3f}% (goal <= 1%)")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Memory and frame rate of tesmo_demo while its views are prepared again over HTTP.

Runs the demo on the bundled sample without frame-rate pacing, measures its frame rate, sends
POST /configure requests that alternate between the sample's two views (each prepares that view
again on one of the server's worker threads), then measures the frame rate again, and prints the
resident memory after start-up, after the first 10 requests, at the end and at its peak.

  python3 scripts/reprepare-memory.py [--build build] [--requests 200] [--platform cpu]

Only the standard library is used.
"""

import argparse
import json
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SAMPLE = os.path.join(ROOT, "samples", "synthetic", "config.yml")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def write_config(tmp, port, platform):
    text = open(SAMPLE).read()
    # No pacing: the frame rate is what the machine gives.
    text = re.sub(r"\n   fps_(min|max): \d+", "", text).replace("live_streams:\n", "")
    text = text.replace("platform: cpu", "platform: " + platform)
    text = text.replace('"out/', '"' + tmp + "/").replace("prefix: out/", "prefix: " + tmp + "/")
    text = text.replace("tesmo_app:\n", "tesmo_app:\n   log_fps: 1\n", 1)
    text += '\nhttp_server:\n   address: "127.0.0.1"\n   port: %d\n' % port
    path = os.path.join(tmp, "config.yml")
    with open(path, "w") as f:
        f.write(text)
    return path


def post(port, route, body):
    req = urllib.request.Request("http://127.0.0.1:%d%s" % (port, route),
                                 data=json.dumps(body).encode(),
                                 headers={"Content-Type": "application/json"})
    with urllib.request.urlopen(req, timeout=60) as res:
        return res.status


def status_kb(pid, key):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


class TickCounter:
    """Counts the demo's per-tick "fps:" lines."""

    def __init__(self, stream):
        self.ticks = 0
        self.lock = threading.Lock()
        threading.Thread(target=self._read, args=(stream,), daemon=True).start()

    def _read(self, stream):
        for line in stream:
            if line.startswith(b"fps:"):
                with self.lock:
                    self.ticks += 1

    def rate(self, seconds):
        with self.lock:
            t0 = self.ticks
        time.sleep(seconds)
        with self.lock:
            return (self.ticks - t0) / seconds


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build")
    ap.add_argument("--requests", type=int, default=200)
    ap.add_argument("--platform", default="cpu")
    ap.add_argument("--window", type=float, default=5.0, help="seconds per frame-rate window")
    args = ap.parse_args()
    demo = os.path.join(ROOT, args.build, "tools", "tesmo_demo")
    with tempfile.TemporaryDirectory() as tmp:
        port = free_port()
        config = write_config(tmp, port, args.platform)
        env = dict(os.environ, OPENCV_OPENCL_DEVICE=os.environ.get("OPENCV_OPENCL_DEVICE",
                                                                   ":CPU:"))
        proc = subprocess.Popen(["stdbuf", "-oL", demo, "--config=" + config], cwd=ROOT, env=env,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        ticks = TickCounter(proc.stdout)
        try:
            deadline = time.time() + 60
            while True:
                try:
                    post(port, "/get_app", {})
                    break
                except OSError:
                    if time.time() > deadline or proc.poll() is not None:
                        sys.exit("tesmo_demo did not start its HTTP server")
                    time.sleep(0.2)
            fps_before = ticks.rate(args.window)
            rss_start = status_kb(proc.pid, "VmRSS")
            rss_10 = rss_start
            t0 = time.time()
            for i in range(args.requests):
                view = "top_view" if i % 2 == 0 else "virtual_camera"
                post(port, "/configure", {"name": view, "blend_border_width": 0.1 + 0.01 * (i % 4)})
                if i == 9:
                    rss_10 = status_kb(proc.pid, "VmRSS")
            seconds = time.time() - t0
            rss_end = status_kb(proc.pid, "VmRSS")
            fps_after = ticks.rate(args.window)
            peak = status_kb(proc.pid, "VmHWM")
        finally:
            proc.send_signal(signal.SIGINT)
            proc.wait(timeout=60)
    mb = lambda kb: kb / 1024.0
    print("platform %s, %d re-prepares in %.1f s" % (args.platform, args.requests, seconds))
    print("RSS: %.0f MB after start, %.0f MB after 10, %.0f MB after %d, peak %.0f MB"
          % (mb(rss_start), mb(rss_10), mb(rss_end), args.requests, mb(peak)))
    print("frame rate: %.1f frames/s before, %.1f frames/s after" % (fps_before, fps_after))


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Memory and frame rate of tesmo_demo while its views are prepared again over HTTP.

Runs the demo on the bundled sample without frame-rate pacing, measures its frame rate, sends
POST /configure requests that alternate between the sample's two views (each prepares that view
again on one of the server's worker threads), then measures the frame rate again. Each frame
rate comes with the process's CPU time and minor page faults per frame, which tell more on a
loaded machine.

Count mode (the default) sends --requests requests one after the other and prints the resident
memory after start-up, after the 10th request, at the end and at its peak, and the medians of the
resident memory sampled after answers 10-29 and after the last 20 answers.

Soak mode (--duration) sends one request every --interval seconds for --duration seconds and
prints, every --sample seconds, the resident memory, glibc's arena heaps (their number and their
resident memory), the frame rate and the CPU time and page faults per frame since the last
sample; --csv also writes those rows to a file.

  python3 scripts/reprepare-memory.py [--build build] [--platform cpu|opencl|cuda]
      [--requests 200] [--duration 1800 --interval 10 --sample 30 --csv soak.csv]

Only the standard library is used.
"""

import argparse
import json
import os
import re
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SAMPLE = os.path.join(ROOT, "samples", "synthetic", "config.yml")

# glibc gives every arena but the main one heaps of this size, aligned to it (64-bit Linux).
ARENA_HEAP_BYTES = 64 << 20
MAPPING = re.compile(r"^([0-9a-f]+)-([0-9a-f]+) (\S{4}) \S+ \S+ (\d+)\s*(.*)$")


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


def configure(port, i):
    """The i-th request: the two views in turn, with one of four blend widths."""
    view = "top_view" if i % 2 == 0 else "virtual_camera"
    post(port, "/configure", {"name": view, "blend_border_width": 0.1 + 0.01 * (i % 4)})


def status_kb(pid, key):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def cpu_and_faults(pid):
    """User and system seconds of the whole process so far, and its minor page faults."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK"), int(fields[7])


def mappings(pid):
    """(start, end, perms, anonymous, rss_kb) of every mapping, in address order."""
    result = []
    with open("/proc/%d/smaps" % pid) as f:
        for line in f:
            m = MAPPING.match(line)
            if m:
                anonymous = m.group(4) == "0" and not m.group(5)
                result.append([int(m.group(1), 16), int(m.group(2), 16), m.group(3), anonymous, 0])
            elif line.startswith("Rss:") and result:
                result[-1][4] = int(line.split()[1])
    return result


def arena_heaps(pid):
    """Number and resident kB of glibc's arena heaps: anonymous read-write mappings that start on
    a heap-size boundary and, with the inaccessible rest that follows them, span one heap."""
    maps = mappings(pid)
    count, rss = 0, 0
    for i, (start, end, perms, anonymous, kb) in enumerate(maps):
        if not anonymous or not perms.startswith("rw") or start % ARENA_HEAP_BYTES:
            continue
        span_end = end
        if i + 1 < len(maps) and maps[i + 1][0] == end and maps[i + 1][2].startswith("---"):
            span_end = maps[i + 1][1]
        if span_end - start == ARENA_HEAP_BYTES:
            count += 1
            rss += kb
    return count, rss


class TickCounter:
    """Counts the demo's per-tick "fps:" lines."""

    def __init__(self, stream, pid):
        self.pid = pid
        self.ticks = 0
        self.lock = threading.Lock()
        threading.Thread(target=self._read, args=(stream,), daemon=True).start()

    def _read(self, stream):
        for line in stream:
            if line.startswith(b"fps:"):
                with self.lock:
                    self.ticks += 1

    def snapshot(self):
        """(time, ticks, CPU seconds, minor faults) now."""
        with self.lock:
            ticks = self.ticks
        return (time.time(), ticks) + cpu_and_faults(self.pid)

    @staticmethod
    def per_frame(start, end):
        """Frames per second between two snapshots, with the CPU milliseconds and the minor page
        faults per frame: a loaded machine changes those far less than the frame rate, and faults
        in every frame mean that the allocator hands memory back and takes it again."""
        frames = max(end[1] - start[1], 1)
        return ((end[1] - start[1]) / max(end[0] - start[0], 1e-3),
                1000.0 * (end[2] - start[2]) / frames, (end[3] - start[3]) / frames)

    def rate(self, seconds):
        start = self.snapshot()
        time.sleep(seconds)
        return self.per_frame(start, self.snapshot())


def mb(kb):
    return kb / 1024.0


def run_count(args, pid, port, ticks):
    """Requests one after the other; prints the memory figures and the frame rate during them."""
    rss_start = status_kb(pid, "VmRSS")
    heaps_start = arena_heaps(pid)
    after = []
    start = ticks.snapshot()
    for i in range(args.requests):
        configure(port, i)
        after.append(status_kb(pid, "VmRSS"))
    end = ticks.snapshot()
    seconds = end[0] - start[0]
    heaps_end = arena_heaps(pid)
    print("platform %s, %d re-prepares in %.1f s (%.2f s each)"
          % (args.platform, args.requests, seconds, seconds / args.requests))
    print("RSS: %.0f MB after start, %.0f MB after 10, %.0f MB after %d, peak %.0f MB"
          % (mb(rss_start), mb(after[min(9, len(after) - 1)]), mb(after[-1]), args.requests,
             mb(status_kb(pid, "VmHWM"))))
    last = max(0, len(after) - 20)
    print("RSS median: %.0f MB after answers 10-29, %.0f MB after answers %d-%d"
          % (mb(statistics.median(after[10:30] or after)), mb(statistics.median(after[last:])),
             last, len(after) - 1))
    print("arena heaps: %d (%.0f MB) after start, %d (%.0f MB) at the end"
          % (heaps_start[0], mb(heaps_start[1]), heaps_end[0], mb(heaps_end[1])))
    print("frame rate during the requests: %.1f frames/s" % ticks.per_frame(start, end)[0])


def run_soak(args, pid, port, ticks):
    """One request every interval; one row of figures every sample period."""
    out = open(args.csv, "w") if args.csv else None
    header = "seconds,requests,rss_mb,heaps,heaps_rss_mb,fps,cpu_ms_per_frame,faults_per_frame"
    print(header)
    if out:
        out.write(header + "\n")
    t0 = time.time()
    next_request, next_sample = t0, t0
    requests, last = 0, ticks.snapshot()
    while True:
        now = time.time()
        if now >= next_sample:
            heaps = arena_heaps(pid)
            snap = ticks.snapshot()
            row = "%.0f,%d,%.1f,%d,%.1f,%.1f,%.0f,%.0f" % (
                (now - t0, requests, mb(status_kb(pid, "VmRSS")), heaps[0], mb(heaps[1]))
                + ticks.per_frame(last, snap))
            print(row, flush=True)
            if out:
                out.write(row + "\n")
                out.flush()
            last = snap
            next_sample += args.sample
            if now - t0 >= args.duration:
                break
        if now >= next_request and now - t0 < args.duration:
            configure(port, requests)
            requests += 1
            next_request += args.interval
        time.sleep(max(0.0, min(next_request, next_sample) - time.time()))
    if out:
        out.close()
    print("peak RSS %.0f MB" % mb(status_kb(pid, "VmHWM")))


def wait_for_server(proc, port):
    deadline = time.time() + 60
    while True:
        try:
            post(port, "/get_app", {})
            return
        except OSError:
            if time.time() > deadline or proc.poll() is not None:
                sys.exit("tesmo_demo did not start its HTTP server")
            time.sleep(0.2)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build")
    ap.add_argument("--platform", default="cpu", choices=["cpu", "opencl", "cuda"])
    ap.add_argument("--requests", type=int, default=200, help="requests in count mode")
    ap.add_argument("--window", type=float, default=5.0, help="seconds per frame-rate window")
    ap.add_argument("--duration", type=float, default=0.0,
                    help="seconds of soak; 0 chooses count mode")
    ap.add_argument("--interval", type=float, default=10.0, help="seconds between soak requests")
    ap.add_argument("--sample", type=float, default=30.0, help="seconds between soak samples")
    ap.add_argument("--csv", default="", help="file for the soak's rows")
    args = ap.parse_args()
    demo = os.path.join(ROOT, args.build, "tools", "tesmo_demo")
    with tempfile.TemporaryDirectory() as tmp:
        port = free_port()
        config = write_config(tmp, port, args.platform)
        env = dict(os.environ, OPENCV_OPENCL_DEVICE=os.environ.get("OPENCV_OPENCL_DEVICE",
                                                                   ":CPU:"))
        proc = subprocess.Popen(["stdbuf", "-oL", demo, "--config=" + config], cwd=ROOT, env=env,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        ticks = TickCounter(proc.stdout, proc.pid)
        try:
            wait_for_server(proc, port)
            fps_before = ticks.rate(args.window)
            if args.duration > 0:
                run_soak(args, proc.pid, port, ticks)
            else:
                run_count(args, proc.pid, port, ticks)
            fps_after = ticks.rate(args.window)
        finally:
            proc.send_signal(signal.SIGINT)
            proc.wait(timeout=60)
    for label, (fps, cpu_ms, faults) in (("before", fps_before), ("after", fps_after)):
        print("%s the requests: %.1f frames/s, %.0f ms of CPU and %.0f page faults per frame"
              % (label, fps, cpu_ms, faults))


if __name__ == "__main__":
    main()

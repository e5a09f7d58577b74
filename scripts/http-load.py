#!/usr/bin/env python3
"""Latency and frame-rate figures of tesmo_demo's HTTP control server under slow, bursty and idle
clients.

Runs the demo on the bundled sample with its HTTP server on a free loopback port, runs each named
scenario against it (a fresh demo per scenario) and prints one line of figures per scenario. The
well-behaved client opens a new connection for each POST /get_app and times it to the end of the
answer; latencies are in milliseconds.

  python3 scripts/http-load.py [--build build] [--seconds 10] [scenario ...]

Scenarios (default: all):
  slow-senders  100 clients send their request head one byte a second; /get_app latency
  one-byte      64 clients send one byte of a request and nothing more; /get_app latency
  slow-bodies   64 POSTs whose 100-byte bodies arrive one byte a second; /get_app latency
  viewers-slow  32 MJPEG viewers and 32 slow senders; /get_app latency
  idle-flood    3000 idle connections opened by four threads as fast as they can, five times;
                /get_app latency while they are opened
  idle-rate     200 idle connections a second under a 1024 descriptor limit; /get_app latency
                and the demo's most open descriptors
  viewers       frames a second of each of 1, 2, 4, 8 and 32 MJPEG viewers of one view, and
                the demo's CPU use
  burst         300 clients connect at once and send /get_app 50 ms later; their answers
  sigint        SIGINT with 256 idle connections waiting; time until the demo exits

Only the standard library is used. The figures depend on the machine's load: run it on an idle
machine, or repeat a figure that looks noisy.
"""

import argparse
import os
import re
import resource
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SAMPLE = os.path.join(ROOT, "samples", "synthetic", "config.yml")
GET_APP = (b"POST /get_app HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
           b"Content-Length: 2\r\nConnection: close\r\n\r\n{}")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def write_config(tmp, port):
    text = open(SAMPLE).read()
    text = text.replace('"out/', '"' + tmp + "/").replace("prefix: out/", "prefix: " + tmp + "/")
    text += '\nhttp_server:\n   address: "127.0.0.1"\n   port: %d\n' % port
    path = os.path.join(tmp, "config.yml")
    with open(path, "w") as f:
        f.write(text)
    return path


def connect(port, timeout=10.0):
    s = socket.socket()
    s.settimeout(timeout)
    s.connect(("127.0.0.1", port))
    return s


def exchange(port, request, timeout=30.0, delay=0.0):
    """Sends `request` on a new connection, `delay` seconds after connecting; (status or None,
    milliseconds) of its answer."""
    t0 = time.monotonic()
    answer = b""
    try:
        with connect(port, timeout) as s:
            time.sleep(delay)
            s.sendall(request)
            while True:
                data = s.recv(65536)
                if not data:
                    break
                answer += data
    except OSError:
        pass
    ms = (time.monotonic() - t0) * 1000.0
    match = re.match(rb"HTTP/1\.1 (\d{3})", answer)
    return (int(match.group(1)) if match else None), ms


class Demo:
    """tesmo_demo on the sample, its HTTP server on a free port; `nofile` limits its descriptors."""

    def __init__(self, build, nofile=None):
        self.tmp = tempfile.TemporaryDirectory()
        self.port = free_port()
        config = write_config(self.tmp.name, self.port)
        demo = os.path.join(ROOT, build, "tools", "tesmo_demo")
        limit = (lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile))) \
            if nofile else None
        env = dict(os.environ, OPENCV_OPENCL_DEVICE=os.environ.get("OPENCV_OPENCL_DEVICE",
                                                                   ":CPU:"))
        self.proc = subprocess.Popen([demo, "--config=" + config], cwd=ROOT, env=env,
                                     preexec_fn=limit, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        deadline = time.time() + 60
        while exchange(self.port, GET_APP, 5.0)[0] != 200:
            if time.time() > deadline or self.proc.poll() is not None:
                sys.exit("tesmo_demo did not start its HTTP server")
            time.sleep(0.2)

    def cpu_seconds(self):
        """CPU time the demo has used, user and system."""
        with open("/proc/%d/stat" % self.proc.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def fds(self):
        try:
            return len(os.listdir("/proc/%d/fd" % self.proc.pid))
        except OSError:
            return 0

    def stop(self):
        t0 = time.monotonic()
        self.proc.send_signal(signal.SIGINT)
        try:
            self.proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.tmp.cleanup()
        return time.monotonic() - t0


def sample_latency(port, seconds, interval=0.25):
    """/get_app timed every `interval` s for `seconds`; (latencies of answered requests, failed)."""
    times, failed = [], 0
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        status, ms = exchange(port, GET_APP)
        if status == 200:
            times.append(ms)
        else:
            failed += 1
        time.sleep(interval)
    return times, failed


def latency_line(name, times, failed, extra=""):
    if not times:
        return "%-13s no answer (%d failed)%s" % (name, failed, extra)
    return ("%-13s /get_app median %.1f ms, max %.1f ms over %d requests, %d failed%s"
            % (name, statistics.median(times), max(times), len(times), failed, extra))


class Trickle:
    """`count` clients that send `head`, then one byte of `tail` a second, each reconnecting when
    cut off; counts the answers they get."""

    def __init__(self, port, count, head, tail):
        self.port, self.head, self.tail = port, head, tail
        self.answers = {}
        self.stopped = threading.Event()
        self.socks = [None] * count
        self.sent = [0] * count
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _step(self, i):
        s = self.socks[i]
        if s is not None:
            try:
                s.setblocking(False)
                data = s.recv(4096)
                if data is not None:  # an answer or the end: count it, start again
                    match = re.match(rb"HTTP/1\.1 (\d{3})", data)
                    key = match.group(1).decode() if match else "closed"
                    self.answers[key] = self.answers.get(key, 0) + 1
                    s.close()
                    s = None
            except BlockingIOError:
                pass
            except OSError:
                s.close()
                s = None
        if s is None:
            try:
                s = connect(self.port)
                s.sendall(self.head)
                self.sent[i] = 0
            except OSError:
                s = None
        elif self.sent[i] < len(self.tail):
            try:
                s.send(self.tail[self.sent[i]:self.sent[i] + 1])
                self.sent[i] += 1
            except OSError:
                pass
        self.socks[i] = s

    def _run(self):
        while not self.stopped.is_set():
            for i in range(len(self.socks)):
                self._step(i)
            self.stopped.wait(1.0)

    def stop(self):
        self.stopped.set()
        self.thread.join()
        for s in self.socks:
            if s is not None:
                s.close()


class Viewer:
    """One MJPEG viewer of `view`; counts the frames it receives."""

    def __init__(self, port, view):
        self.frames = 0
        self.status = None
        self.stopped = threading.Event()
        self.sock = connect(port)
        self.sock.sendall(("GET /%s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" % view).encode())
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        buf = b""
        try:
            while b"\r\n\r\n" not in buf:
                buf += self.sock.recv(65536)
            head, buf = buf.split(b"\r\n\r\n", 1)
            self.status = int(head[9:12])
            while not self.stopped.is_set():
                while b"\r\n\r\n" not in buf:
                    buf += self.sock.recv(65536)
                part, buf = buf.split(b"\r\n\r\n", 1)
                length = int(re.search(rb"Content-Length: (\d+)", part).group(1))
                while len(buf) < length:
                    buf += self.sock.recv(65536)
                buf = buf[length:]
                self.frames += 1
        except (OSError, ValueError, AttributeError):
            pass

    def stop(self):
        self.stopped.set()
        self.sock.close()


def slow_head(port, count, seconds, name):
    trickle = Trickle(port, count, b"POST /get_app HTTP/1.1\r\nX-Slow: ", b"a" * 100000)
    time.sleep(2.0)
    times, failed = sample_latency(port, seconds)
    trickle.stop()
    return latency_line(name, times, failed, ", slow clients' answers %s" % trickle.answers)


def scenario_slow_senders(build, seconds):
    demo = Demo(build)
    try:
        return slow_head(demo.port, 100, seconds, "slow-senders")
    finally:
        demo.stop()


def scenario_one_byte(build, seconds):
    demo = Demo(build)
    try:
        socks = []
        for _ in range(64):
            s = connect(demo.port)
            s.sendall(b"P")
            socks.append(s)
        time.sleep(0.5)
        times, failed = sample_latency(demo.port, min(seconds, 4.0))
        for s in socks:
            s.close()
        return latency_line("one-byte", times, failed)
    finally:
        demo.stop()


def scenario_slow_bodies(build, seconds):
    demo = Demo(build)
    try:
        head = (b"POST /get_app HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                b"Content-Length: 100\r\n\r\n")
        trickle = Trickle(demo.port, 64, head, b"{" + b" " * 98 + b"}")
        time.sleep(2.0)
        times, failed = sample_latency(demo.port, seconds)
        trickle.stop()
        return latency_line("slow-bodies", times, failed,
                            ", slow clients' answers %s" % trickle.answers)
    finally:
        demo.stop()


def scenario_viewers_slow(build, seconds):
    demo = Demo(build)
    try:
        viewers = [Viewer(demo.port, "top_view") for _ in range(32)]
        time.sleep(1.0)
        line = slow_head(demo.port, 32, seconds, "viewers-slow")
        watching = sum(1 for v in viewers if v.frames > 0)
        for v in viewers:
            v.stop()
        return line + ", %d of 32 viewers watching" % watching
    finally:
        demo.stop()


def open_idle(port, total, opened, held, stop=None, rate=None):
    """Opens idle connections until `total` are open (or `stop` is set), at most `rate` a second."""
    t0 = time.monotonic()
    while not (stop and stop.is_set()):
        with opened[1]:
            if opened[0] >= total:
                return
            opened[0] += 1
            n = opened[0]
        try:
            held.append(connect(port))
        except OSError:
            pass
        if rate:
            wait = t0 + n / rate - time.monotonic()
            if wait > 0:
                time.sleep(wait)


def scenario_idle_flood(build, seconds):
    demo = Demo(build)
    try:
        times, failed, floods = [], 0, 5
        for _ in range(floods):
            total, opened, held = 3000, [0, threading.Lock()], []
            threads = [threading.Thread(target=open_idle, args=(demo.port, total, opened, held))
                       for _ in range(4)]
            for t in threads:
                t.start()
            while any(t.is_alive() for t in threads):
                status, ms = exchange(demo.port, GET_APP)
                if status == 200:
                    times.append(ms)
                else:
                    failed += 1
            for t in threads:
                t.join()
            for s in held:
                s.close()
            time.sleep(2.5)  # the server's idle connections time out
        return latency_line("idle-flood", times, failed,
                            ", while %d times 3000 idle connections were opened" % floods)
    finally:
        demo.stop()


def scenario_idle_rate(build, seconds):
    demo = Demo(build, nofile=1024)
    try:
        opened, held, stop = [0, threading.Lock()], [], threading.Event()
        flood = threading.Thread(target=open_idle,
                                 args=(demo.port, 10 ** 9, opened, held, stop, 200.0))
        flood.start()
        most = [0]

        def watch():
            while not stop.is_set():
                most[0] = max(most[0], demo.fds())
                time.sleep(0.05)
        watcher = threading.Thread(target=watch)
        watcher.start()
        time.sleep(3.0)
        times, failed = sample_latency(demo.port, seconds)
        stop.set()
        flood.join()
        watcher.join()
        for s in held:
            s.close()
        return latency_line("idle-rate", times, failed,
                            ", %d idle opened, at most %d descriptors" % (opened[0], most[0]))
    finally:
        demo.stop()


def scenario_viewers(build, seconds):
    demo = Demo(build)
    try:
        parts = []
        for count in (1, 2, 4, 8, 32):
            viewers = [Viewer(demo.port, "top_view") for _ in range(count)]
            time.sleep(1.0)
            start = [v.frames for v in viewers]
            cpu = demo.cpu_seconds()
            time.sleep(seconds)
            rates = [(v.frames - s) / seconds for v, s in zip(viewers, start)]
            load = (demo.cpu_seconds() - cpu) / seconds
            for v in viewers:
                v.stop()
            shown = " ".join("%.1f" % r for r in rates) if count <= 8 else \
                "%.1f-%.1f" % (min(rates), max(rates))
            parts.append("%d: %s (demo %.0f%% CPU)" % (count, shown, 100 * load))
            time.sleep(0.5)
        return "%-13s frames/s per viewer of top_view, by viewers: %s" % ("viewers",
                                                                        "; ".join(parts))
    finally:
        demo.stop()


def scenario_burst(build, seconds):
    demo = Demo(build)
    try:
        count = 300
        results = []
        lock = threading.Lock()
        barrier = threading.Barrier(count)

        def client():
            barrier.wait()
            status, _ = exchange(demo.port, GET_APP, 20.0, delay=0.05)
            with lock:
                results.append(str(status) if status else "closed unanswered")

        threads = [threading.Thread(target=client) for _ in range(count)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        counts = {k: results.count(k) for k in sorted(set(results))}
        return "%-13s %d clients at once: %s" % ("burst", count, counts)
    finally:
        demo.stop()


def scenario_sigint(build, seconds):
    demo = Demo(build)
    socks = [connect(demo.port) for _ in range(256)]
    time.sleep(0.5)
    took = demo.stop()
    for s in socks:
        s.close()
    return "%-13s exit %.2f s after SIGINT with 256 idle connections" % ("sigint", took)


SCENARIOS = {
    "slow-senders": scenario_slow_senders,
    "one-byte": scenario_one_byte,
    "slow-bodies": scenario_slow_bodies,
    "viewers-slow": scenario_viewers_slow,
    "idle-flood": scenario_idle_flood,
    "idle-rate": scenario_idle_rate,
    "viewers": scenario_viewers,
    "burst": scenario_burst,
    "sigint": scenario_sigint,
}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build")
    ap.add_argument("--seconds", type=float, default=10.0, help="length of each measurement")
    ap.add_argument("scenarios", nargs="*", help="any of: " + ", ".join(SCENARIOS))
    args = ap.parse_args()
    for name in args.scenarios:
        if name not in SCENARIOS:
            ap.error("unknown scenario %s" % name)
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 16384), hard))
    for name in args.scenarios or list(SCENARIOS):
        print(SCENARIOS[name](args.build, args.seconds), flush=True)


if __name__ == "__main__":
    main()

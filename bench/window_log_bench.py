#!/usr/bin/env python3
"""The session log of the window: a run that logs a large configuration
listing from the demo host, in the window (Qt's offscreen platform) and
hidden, measured in the same run.

Time: the window run's wall-clock time next to the hidden run's (the median
of RUNS runs each), and the CPU time (user and system) of each beside them,
which a busy machine disturbs less. Memory: what the window run's peak resident size grows by
per logged byte, from a run with the large listing and one with a tiny
listing (so Qt's own start-up size is not counted); the hidden run's figure
is given beside it.

With --before OTHER_BUILD the same figures are measured for another build
(the program as it was) in the same run, its runs taking turns with this
build's, and printed as rows of their own ("before" and "after").

Usage: window_log_bench.py BUILD_DIR [--mb N] [--runs N] [--before OTHER_BUILD]
"""
import argparse
import os
import statistics
import subprocess
import tempfile
import threading
import time


def run(cmd, env):
    """Wall-clock seconds, peak resident size (bytes) and CPU seconds (user and
    system) of one run."""
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    timer = threading.Timer(600, proc.kill)  # a run that hangs fails instead of stalling the bench
    timer.start()
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.perf_counter() - start
    timer.cancel()
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f"run failed ({os.waitstatus_to_exitcode(status)}): {' '.join(cmd)}")
    return elapsed, usage.ru_maxrss * 1024, usage.ru_utime + usage.ru_stime


def main():
    p = argparse.ArgumentParser()
    p.add_argument("build")
    p.add_argument("--mb", type=int, default=30)
    p.add_argument("--runs", type=int, default=3)
    p.add_argument("--before")
    a = p.parse_args()
    builds = [("after", os.path.abspath(a.build))]
    if a.before:
        builds.insert(0, ("before", os.path.abspath(a.before)))
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    host = subprocess.Popen([os.path.join(builds[-1][1], "varnel-demo-host"), "--port", "0"],
                            stdout=subprocess.PIPE, text=True)
    try:
        port = int(host.stdout.readline())
        with tempfile.TemporaryDirectory(prefix="varnel-window-log-") as d:
            def script(size):
                path = os.path.join(d, f"dump{size}.txt")
                with open(path, "w", newline="") as f:
                    f.write(f'HOST 127.0.0.1 {port}\nSEND "admin\\n"\nWAIT "Password:"\n'
                            f'SEND "varnel\\n"\nWAIT "varnel-demo>"\nSEND "show config {size}\\n"\n'
                            f'WAIT "varnel-demo>"\n')
                return path

            big, tiny = script(a.mb * 1000 * 1000), script(1000)
            out = os.path.join(d, "out.txt")
            kinds = [(big, False), (big, True), (tiny, False), (tiny, True)]
            results = {(label, kind): [] for label, _ in builds for kind in kinds}
            logged = 0
            # The builds take turns run by run, so a busy moment of the
            # machine falls on both alike.
            for _ in range(a.runs):
                for label, build in builds:
                    for path, hidden in kinds:
                        cmd = [os.path.join(build, "varnel"), f"/r:{path}", f"/o:{out}"] + \
                              (["/hidden"] if hidden else [])
                        results[(label, (path, hidden))].append(run(cmd, env))
                        if path == big:
                            logged = os.path.getsize(out)
    finally:
        host.kill()
        host.wait()

    def time_of(label, kind):
        return statistics.median(r[0] for r in results[(label, kind)])

    def cpu_of(label, kind):
        return statistics.median(r[2] for r in results[(label, kind)])

    def peak_of(label, kind):
        return max(r[1] for r in results[(label, kind)])

    for label, _ in builds:
        window_time, hidden_time = time_of(label, kinds[0]), time_of(label, kinds[1])
        window_peak, hidden_peak = peak_of(label, kinds[0]), peak_of(label, kinds[1])
        window_idle, hidden_idle = peak_of(label, kinds[2]), peak_of(label, kinds[3])
        per_byte = (window_peak - window_idle) / logged
        hidden_per_byte = (hidden_peak - hidden_idle) / logged
        name = f"window log, {a.mb} MB dump, {label}" if a.before else f"window session log, {a.mb} MB dump"
        print(f"ROW\t{name} (time)\t{window_time:.2f} s\t{hidden_time:.2f} s (hidden run)\t"
              f"{window_time / hidden_time:.2f}x\tCPU {cpu_of(label, kinds[0]):.2f} s, hidden "
              f"{cpu_of(label, kinds[1]):.2f} s")
        print(f"ROW\t{name} (memory)\t{per_byte:.2f} B per logged byte\t{hidden_per_byte:.2f} B (hidden run)\t"
              f"{window_peak / 2**20:.0f} MiB peak, {window_idle / 2**20:.0f} MiB idle")

if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Start-up time of a hidden one-line script (ECHO with an output file), next
to a minimal program doing the same job, measured in the same run: the median
of RUNS wall-clock times of each, as a ratio.

Usage: startup_bench.py BUILD_DIR [--runs N]
"""
import argparse
import os
import statistics
import subprocess
import tempfile
import time


def median_time(cmd, runs):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("build")
    p.add_argument("--runs", type=int, default=50)
    a = p.parse_args()
    build = os.path.abspath(a.build)
    with tempfile.TemporaryDirectory(prefix="varnel-startup-") as d:
        script = os.path.join(d, "one.txt")
        with open(script, "w", newline="") as f:
            f.write('ECHO "hello"')
        ours = median_time([os.path.join(build, "varnel"), f"/r:{script}", f"/o:{d}/a.out", "/hidden"], a.runs)
        base = median_time([os.path.join(build, "bench", "startup_baseline"), script, f"{d}/b.out"], a.runs)
    print(f"ROW\tstart-up, hidden one-line script\t{ours * 1e3:.2f} ms\t{base * 1e3:.2f} ms (minimal program)"
          f"\t{ours / base:.2f}x")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Start-up cost of a hidden one-line script (ECHO with an output file), next
to a minimal program doing the same job, measured in the same run: the median
of RUNS wall-clock times of each, as a ratio; and, when valgrind is present,
the instructions each executes (callgrind), which hardly depend on the load.

--against PROGRAM adds the instructions of another varnel (an earlier build)
running the same script; --bind-now adds each program's instructions with
every symbol bound at start (LD_BIND_NOW=1, what linking with -z now asks
for).

Usage: startup_bench.py BUILD_DIR [--runs N] [--against PROGRAM] [--bind-now]
"""
import argparse
import os
import re
import shutil
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


def instructions(cmd, folder, env=None):
    """Instructions the command executes, whole process (callgrind), or None."""
    valgrind = shutil.which("valgrind")
    if valgrind is None:
        return None
    out = os.path.join(folder, "callgrind.out")
    r = subprocess.run([valgrind, "--tool=callgrind", f"--callgrind-out-file={out}"] + cmd,
                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                       env=dict(os.environ, **(env or {})))
    m = re.search(r"Collected : (\d+)", r.stderr)
    if r.returncode != 0 or m is None:
        raise SystemExit(f"callgrind failed on {cmd[0]}: {r.stderr[-500:]}")
    return int(m.group(1))


def millions(n):
    return f"{n / 1e6:.2f} M instr"


def main():
    p = argparse.ArgumentParser()
    p.add_argument("build")
    p.add_argument("--runs", type=int, default=50)
    p.add_argument("--against", help="another varnel program to count the instructions of")
    p.add_argument("--bind-now", action="store_true", help="also count with LD_BIND_NOW=1")
    a = p.parse_args()
    build = os.path.abspath(a.build)
    with tempfile.TemporaryDirectory(prefix="varnel-startup-") as d:
        script = os.path.join(d, "one.txt")
        with open(script, "w", newline="") as f:
            f.write('ECHO "hello"')

        def ours(program):
            return [program, f"/r:{script}", f"/o:{d}/a.out", "/hidden"]

        varnel = os.path.join(build, "varnel")
        base_cmd = [os.path.join(build, "bench", "startup_baseline"), script, f"{d}/b.out"]
        t_ours = median_time(ours(varnel), a.runs)
        t_base = median_time(base_cmd, a.runs)
        print(f"ROW\tstart-up, hidden one-line script\t{t_ours * 1e3:.2f} ms\t{t_base * 1e3:.2f} ms (minimal program)"
              f"\t{t_ours / t_base:.2f}x")

        i_ours = instructions(ours(varnel), d)
        if i_ours is None:
            print("ROW\tstart-up instructions: skipped (no valgrind)\t-\t-\t-")
            return
        i_base = instructions(base_cmd, d)
        print(f"ROW\t    instructions (callgrind)\t{millions(i_ours)}\t{millions(i_base)} (minimal program)"
              f"\t{i_ours / i_base:.2f}x")
        if a.against:
            i_then = instructions(ours(os.path.abspath(a.against)), d)
            print(f"ROW\t    same, against {a.against}\t{millions(i_ours)}\t{millions(i_then)}"
                  f"\t{i_ours / i_then:.2f}x")
        if a.bind_now:
            now = {"LD_BIND_NOW": "1"}
            i_ours_now = instructions(ours(varnel), d, now)
            i_base_now = instructions(base_cmd, d, now)
            print(f"ROW\t    instructions, LD_BIND_NOW=1\t{millions(i_ours_now)}\t{millions(i_base_now)}"
                  f" (minimal program)\t{i_ours_now / i_base_now:.2f}x")
            if a.against:
                i_then_now = instructions(ours(os.path.abspath(a.against)), d, now)
                print(f"ROW\t    same, against {a.against}\t{millions(i_ours_now)}\t{millions(i_then_now)}"
                      f"\t{i_ours_now / i_then_now:.2f}x")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""The session benchmarks of session_bench.py with the Windows program under
Wine next to the Linux program, in the same run against the same hosts:

  (a) COUNT SEND/WAIT exchanges       -> time per exchange
  (b) capture of a BYTES-long stream  -> MB/s into the output file

Each side runs --repeat times in turn (3 by default); the medians are shown.
Wine runs with a persistent wineserver in the Windows build's own prefix
(WINDOWS_BUILD/wine, made by ./package-windows), started here and stopped at
the end, so a run's time is the program's and not Wine's start-up.

Usage: wine_session_bench.py LINUX_BUILD WINDOWS_BUILD [--exchanges N] [--stream-mb M] [--repeat R]
Prints one table row per measurement as TSV: name, Wine, Linux, and Wine's
time as a multiple of Linux's.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

from session_bench import Host, exchange_script, in_turn, stream_script, timed

HERE = os.path.dirname(os.path.abspath(__file__))


def run(cmd, scratch, script_text, name):
    script = os.path.join(scratch, name + ".txt")
    with open(script, "w", newline="") as f:
        f.write(script_text)
    # Paths relative to the current folder: the same command line on both sides.
    secs, _, status = timed(cmd + [f"/r:./{name}.txt", f"/o:./{name}.out", "/hidden"], cwd=scratch)
    if status != 0:
        sys.exit(f"{cmd[-1]} run {name} failed with status {status}")
    return secs


def main():
    p = argparse.ArgumentParser()
    p.add_argument("linux_build")
    p.add_argument("windows_build")
    p.add_argument("--exchanges", type=int, default=2000)
    p.add_argument("--stream-mb", type=int, default=20)
    p.add_argument("--repeat", type=int, default=3)
    a = p.parse_args()
    linux = os.path.abspath(a.linux_build)
    windows = os.path.abspath(a.windows_build)
    # The session, not its ending: no settle period after the script's last SEND.
    os.environ.update(WINEPREFIX=os.path.join(windows, "wine"), WINEDEBUG="-all", VARNEL_SETTLE="0")
    subprocess.Popen(["wineserver", "-p"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                     stderr=subprocess.DEVNULL, start_new_session=True)
    # Wine's services start with the first program: not inside a measurement.
    subprocess.run(["wine", "cmd.exe", "/c", "exit"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    wine = [os.path.join(os.path.dirname(HERE), "cmake", "wine-run"), os.path.join(windows, "varnel.exe")]
    native = [os.path.join(linux, "varnel")]
    scratch = tempfile.mkdtemp(prefix="varnel-wine-bench-")
    try:
        n = a.exchanges
        with Host(linux, "exchange") as h:
            text = exchange_script(h.port, n)
            ours, _, base, _ = in_turn(a.repeat, lambda: (run(wine, scratch, text, "exchange-wine"), 0),
                                       lambda: (run(native, scratch, text, "exchange-linux"), 0))
            print(f"ROW\t(a) SEND/WAIT exchange, {n}x\t{ours / n * 1e6:.1f} us (Wine)\t{base / n * 1e6:.1f} us "
                  f"(Linux)\t{ours / base:.2f}x the Linux time")
        size = a.stream_mb << 20
        with Host(linux, "stream", str(size)) as h:
            text = stream_script(h.port)
            ours, _, base, _ = in_turn(a.repeat, lambda: (run(wine, scratch, text, "stream-wine"), 0),
                                       lambda: (run(native, scratch, text, "stream-linux"), 0))
            mb = size / 1e6
            print(f"ROW\t(b) stream capture, {a.stream_mb} MB\t{mb / ours:.1f} MB/s (Wine)\t{mb / base:.1f} MB/s "
                  f"(Linux)\t{ours / base:.2f}x the Linux time")
        print("ROW\t    start of a hidden run (ECHO only)\t"
              + "\t".join(f"{median_start(cmd, scratch, a.repeat) * 1e3:.1f} ms ({side})"
                          for cmd, side in ((wine, "Wine"), (native, "Linux"))))
    finally:
        subprocess.run(["wineserver", "-k"], stderr=subprocess.DEVNULL)
        shutil.rmtree(scratch, ignore_errors=True)


def median_start(cmd, scratch, repeat):
    times = sorted(run(cmd, scratch, 'ECHO "hello"\r\n', "echo") for _ in range(max(repeat, 5)))
    return times[len(times) // 2]


if __name__ == "__main__":
    main()

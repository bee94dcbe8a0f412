#!/usr/bin/env python3
"""Session benchmarks: a whole script run against a loopback host, next to the
same job done by a minimal blocking C++ client and, where installed, by expect
and by Python's telnetlib, all measured in the same run.

  (a) COUNT SEND/WAIT exchanges       -> time per exchange
  (b) capture of a BYTES-long stream  -> MB/s into the output file
  (c) peak memory of (b), and of a stream ten times smaller, to show whether
      memory grows with the stream

(a) and (b) run Varnel and the minimal client in turn, --repeat times each
(3 by default), and report the median of each, so that a burst of load from
elsewhere on a shared machine hits both sides alike or is left out. Next to
the elapsed time, the CPU time each process used (user + system) is shown:
it hardly depends on the load and tells how much work each side does.

Usage: session_bench.py BUILD_DIR [--exchanges N] [--stream-mb M] [--repeat R]
Prints one table row per measurement as TSV: name, ours, baseline, ratio.
"""
import argparse
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

from bench_common import EXPECT_CAPTURE_UNTIL_HASH

EXPECT_EXCHANGE = r'''
set port [lindex $argv 0]; set count [lindex $argv 1]
log_user 0
set chan [socket 127.0.0.1 $port]
spawn -open $chan
set timeout 30
expect "ready"
for {set i 0} {$i < $count} {incr i} { send "x\r\n"; expect "ok>" }
send "quit\r\n"
'''

EXPECT_STREAM = r'''
set port [lindex $argv 0]; set out [lindex $argv 1]
log_user 0
set chan [socket 127.0.0.1 $port]
spawn -open $chan
''' + EXPECT_CAPTURE_UNTIL_HASH

TELNETLIB_EXCHANGE = r'''
import sys, warnings
warnings.simplefilter("ignore")
import telnetlib
port, count = int(sys.argv[1]), int(sys.argv[2])
t = telnetlib.Telnet("127.0.0.1", port)
t.read_until(b"ready")
for _ in range(count):
    t.write(b"x\r\n")
    t.read_until(b"ok>")
t.write(b"quit\r\n")
'''

TELNETLIB_STREAM = r'''
import sys, warnings
warnings.simplefilter("ignore")
import telnetlib
port, out = int(sys.argv[1]), sys.argv[2]
t = telnetlib.Telnet("127.0.0.1", port)
with open(out, "wb") as f:
    while True:
        data = t.read_some()
        if not data:
            break
        f.write(data)
        if b"#" in data:
            break
t.write(b"quit\r\n")
'''


class Host:
    """bench_host in the background; port read from its first output line."""

    def __init__(self, build, *args):
        self.proc = subprocess.Popen([os.path.join(build, "bench", "bench_host"), *args],
                                     stdout=subprocess.PIPE, text=True)
        self.port = int(self.proc.stdout.readline())

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.proc.kill()
        self.proc.wait()


CPU_SECONDS = {}  # seconds of the last run of each command (user + system)


def timed(cmd, timeout=600, cwd=None):
    """Runs cmd; returns (seconds, peak RSS of the child in KiB, exit status)."""
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=cwd)
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.perf_counter() - start
    CPU_SECONDS[cmd[0]] = usage.ru_utime + usage.ru_stime
    return elapsed, usage.ru_maxrss, os.waitstatus_to_exitcode(status)


def median(values):
    values = sorted(values)
    return values[len(values) // 2]


def in_turn(repeat, ours, base):
    """Runs ours() and base() in turn, repeat times; each returns (seconds, cpu
    seconds). Returns the medians: (ours, ours cpu, base, base cpu)."""
    runs = [(ours(), base()) for _ in range(repeat)]
    return (median([o[0] for o, _ in runs]), median([o[1] for o, _ in runs]),
            median([b[0] for _, b in runs]), median([b[1] for _, b in runs]))


def varnel_run(build, scratch, script_text, name):
    script = os.path.join(scratch, name + ".txt")
    out = os.path.join(scratch, name + ".out")
    with open(script, "w", newline="") as f:
        f.write(script_text)
    secs, rss, status = timed([os.path.join(build, "varnel"), f"/r:{script}", f"/o:{out}", "/hidden"])
    if status != 0:
        sys.exit(f"varnel run {name} failed with status {status}")
    return secs, rss, out


def exchange_script(port, count):
    return f"HOST 127.0.0.1 {port}\r\n" + 'SEND "x\\n"\r\nWAIT "ok>"\r\n' * count + 'SEND "quit\\n"\r\n'


def stream_script(port):
    return f'HOST 127.0.0.1 {port}\r\nWAIT "#"\r\nSEND "quit\\n"\r\n'


def row(name, ours, base, unit, base_name):
    ratio = ours / base if base else float("nan")
    print(f"ROW\t{name}\t{ours:.3f} {unit}\t{base:.3f} {unit} ({base_name})\t{ratio:.2f}x")


def main():
    p = argparse.ArgumentParser()
    p.add_argument("build")
    p.add_argument("--exchanges", type=int, default=10000)
    p.add_argument("--stream-mb", type=int, default=100)
    p.add_argument("--repeat", type=int, default=3)
    a = p.parse_args()
    build = os.path.abspath(a.build)
    # The session, not its ending: the bench host stays open after "quit",
    # and the settle period after the script's last SEND (measured by
    # ending_bench.py) would add a second to every run.
    os.environ["VARNEL_SETTLE"] = "0"
    client = os.path.join(build, "bench", "minimal_client")
    scratch = tempfile.mkdtemp(prefix="varnel-bench-")
    expect = shutil.which("expect")
    has_telnetlib = subprocess.run([sys.executable, "-W", "ignore", "-c", "import telnetlib"],
                                   capture_output=True).returncode == 0
    try:
        n = a.exchanges
        varnel = os.path.join(build, "varnel")
        with Host(build, "exchange") as h:
            def ours_exchange():
                secs = varnel_run(build, scratch, exchange_script(h.port, n), "exchange")[0]
                return secs, CPU_SECONDS[varnel]

            def base_exchange():
                return timed([client, "exchange", str(h.port), str(n)])[0], CPU_SECONDS[client]

            ours, ours_cpu, base, base_cpu = in_turn(a.repeat, ours_exchange, base_exchange)
            row(f"(a) SEND/WAIT exchange, {n}x", ours / n * 1e6, base / n * 1e6, "us", "minimal client")
            row("    CPU time per exchange", ours_cpu / n * 1e6, base_cpu / n * 1e6, "us", "minimal client")
            if expect:
                path = os.path.join(scratch, "x.exp")
                open(path, "w").write(EXPECT_EXCHANGE)
                e, _, _ = timed([expect, path, str(h.port), str(n)])
                row("    same, against expect", ours / n * 1e6, e / n * 1e6, "us", "expect")
            if has_telnetlib:
                t, _, _ = timed([sys.executable, "-c", TELNETLIB_EXCHANGE, str(h.port), str(n)])
                row("    same, against telnetlib", ours / n * 1e6, t / n * 1e6, "us", "telnetlib")
        size = a.stream_mb << 20
        with Host(build, "stream", str(size)) as h:
            bout = os.path.join(scratch, "base.out")
            peak = []

            def ours_stream():
                secs, rss, _ = varnel_run(build, scratch, stream_script(h.port), "stream")
                peak.append(rss)
                return secs, CPU_SECONDS[varnel]

            def base_stream():
                return timed([client, "stream", str(h.port), bout])[0], CPU_SECONDS[client]

            ours, ours_cpu, base, base_cpu = in_turn(a.repeat, ours_stream, base_stream)
            rss = max(peak)
            mb = size / 1e6
            print(f"ROW\t(b) stream capture, {a.stream_mb} MB\t{mb / ours:.1f} MB/s\t{mb / base:.1f} MB/s "
                  f"(minimal client)\t{(mb / ours) / (mb / base):.2f}x")
            row("    CPU time per MB", ours_cpu / mb * 1e6, base_cpu / mb * 1e6, "us", "minimal client")
            if expect:
                path = os.path.join(scratch, "s.exp")
                open(path, "w").write(EXPECT_STREAM)
                e, _, _ = timed([expect, path, str(h.port), os.path.join(scratch, "e.out")])
                print(f"ROW\t    same, against expect\t{mb / ours:.1f} MB/s\t{mb / e:.1f} MB/s (expect)\t"
                      f"{(mb / ours) / (mb / e):.2f}x")
            if has_telnetlib:
                t, _, _ = timed([sys.executable, "-c", TELNETLIB_STREAM, str(h.port),
                                 os.path.join(scratch, "t.out")])
                print(f"ROW\t    same, against telnetlib\t{mb / ours:.1f} MB/s\t{mb / t:.1f} MB/s (telnetlib)\t"
                      f"{(mb / ours) / (mb / t):.2f}x")
        small = max(1, a.stream_mb // 10)
        with Host(build, "stream", str(small << 20)) as h:
            _, small_rss, _ = varnel_run(build, scratch, stream_script(h.port), "stream-small")
        print(f"ROW\t(c) peak memory, {a.stream_mb} MB stream\t{rss / 1024:.1f} MiB\t{small_rss / 1024:.1f} MiB "
              f"({small} MB stream)\t{rss / small_rss:.2f}x")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()

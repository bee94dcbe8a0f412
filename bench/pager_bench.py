#!/usr/bin/env python3
"""Pager benchmark: a device listing of PAGES pages, each ended by
" --More-- " and answered with a space, as the demo host's "show log" pages
it. Varnel answers every page with one ON line; the baseline is expect doing
the same with an exp_continue loop. Both log in, page through the whole
listing, wait for the prompt and log out; each runs --repeat times in turn,
and the medians of the elapsed times are compared.

Usage: pager_bench.py BUILD_DIR [--pages N] [--repeat R]
Prints one table row as TSV: name, ours, baseline, ratio.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

EXPECT_PAGER = r'''
set port [lindex $argv 0]; set lines [lindex $argv 1]
log_user 0
set chan [socket 127.0.0.1 $port]
spawn -open $chan
set timeout 60
expect "login: "
send "admin\r\n"
expect "Password: "
send "varnel\r\n"
expect "varnel-demo> "
send "show log $lines\r\n"
expect {
  -ex "--More--" { send " "; exp_continue }
  -ex "varnel-demo> " {}
  timeout { exit 3 }
}
send "exit\r\n"
expect "Goodbye."
'''


def varnel_script(port, lines):
    return (f'HOST 127.0.0.1 {port}\nTIMEOUT 60\nWAIT "login:"\nSEND "admin\\n"\nWAIT "Password:"\n'
            f'SEND "varnel\\n"\nWAIT "varnel-demo>"\nON "--More--" SEND " "\n'
            f'SEND "show log {lines}\\n"\nWAIT "varnel-demo>"\nSEND "exit\\n"\nWAIT "Goodbye."\n')


def timed(cmd):
    start = time.perf_counter()
    result = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=600)
    if result.returncode != 0:
        sys.exit(f"{cmd[0]} failed ({result.returncode}): {result.stderr.decode(errors='replace')}")
    return time.perf_counter() - start


def main():
    p = argparse.ArgumentParser()
    p.add_argument("build")
    p.add_argument("--pages", type=int, default=500)
    p.add_argument("--repeat", type=int, default=3)
    a = p.parse_args()
    lines = a.pages * 24
    host = subprocess.Popen([os.path.join(a.build, "varnel-demo-host")], stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL)
    scratch = tempfile.mkdtemp(prefix="pager-bench-")
    try:
        port = int(host.stdout.readline())
        script = os.path.join(scratch, "pager.txt")
        with open(script, "w") as f:
            f.write(varnel_script(port, lines))
        exp = os.path.join(scratch, "pager.exp")
        with open(exp, "w") as f:
            f.write(EXPECT_PAGER)
        varnel = [os.path.join(a.build, "varnel"), "/r:" + script, "/o:" + os.path.join(scratch, "out.txt"), "/hidden"]
        ours, base = [], []
        for _ in range(a.repeat):
            ours.append(timed(varnel))
            base.append(timed(["expect", exp, str(port), str(lines)]))
        ours.sort()
        base.sort()
        o, b = ours[len(ours) // 2], base[len(base) // 2]
        print(f"ROW\t{a.pages}-page pager, one ON line\t{o:.3f} s\t{b:.3f} s (expect exp_continue)\t{o / b:.2f}x")
    finally:
        host.kill()
        host.wait()
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()

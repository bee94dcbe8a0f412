#!/usr/bin/env python3
"""The nightly job's archive step: varnel-fleet --archive over many devices
(demo hosts on 127.0.0.1), each run logging in and saving a configuration
with CAPTURE. Two runs into one fresh repository: every host new, then 1 %
of the hosts with a changed configuration. For each run: the time of the
archive step (comparing the captured files, copying the changed ones, git
add and commit), as the fleet reports it, against the whole run's wall time;
and, as a baseline for the whole, the same run without --archive first.

With --before OTHER_BUILD, the same two runs with that build's varnel-fleet
into a repository of their own, for the archive step's time before and after.

Usage: fleet_archive_bench.py BUILD [--rows N] [--jobs J] [--hosts H] [--before OTHER_BUILD]
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

SCRIPT = """HOST 127.0.0.1 %port%
SEND "admin\\n"
WAIT "Password:"
SEND "%env:DEMO_PASSWORD%\\n"
WAIT "varnel-demo>"
CAPTURE "config.txt"
SEND "show config %size%\\n"
WAIT "varnel-demo>"
CAPTURE OFF
SEND "exit\\n"
WAIT "Goodbye."
"""


def write_inventory(path, ports, rows, changed):
    with open(path, "w") as f:
        f.write("name,port,size,host\n")
        for i in range(rows):
            size = 10000 + (1 if i in changed else 0)
            f.write(f"dev-{i},{ports[i % len(ports)]},{size},127.0.0.1\n")


def run_fleet(fleet, args, env):
    start = time.monotonic()
    p = subprocess.run([fleet, "--quiet"] + args, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    seconds = time.monotonic() - start
    m = re.search(r"^archive .*: (\d+) hosts changed, (\d+) new, (\d+) failed in ([0-9.]+) s$", p.stdout, re.M)
    if p.returncode != 0 or ("--archive" in args and not m):
        print(f"warning: varnel-fleet ended with status {p.returncode}: {p.stdout[-800:]} {p.stderr[-500:]}",
              file=sys.stderr)
    return seconds, m


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("--rows", type=int, default=10000)
    ap.add_argument("--jobs", type=int, default=200)
    ap.add_argument("--hosts", type=int, default=4)
    ap.add_argument("--before", help="another build whose varnel-fleet is measured the same way")
    a = ap.parse_args()
    build = os.path.abspath(a.build)
    fleet = os.path.join(build, "varnel-fleet")
    hosts = [subprocess.Popen([os.path.join(build, "varnel-demo-host"), "--port", "0"], stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, text=True) for _ in range(a.hosts)]
    scratch = tempfile.mkdtemp(prefix="fleet-archive-bench-")
    rows = []
    try:
        ports = [h.stdout.readline().strip() for h in hosts]
        inventory, job = os.path.join(scratch, "inventory.csv"), os.path.join(scratch, "job.txt")
        with open(job, "w") as f:
            f.write(SCRIPT)
        env = dict(os.environ, DEMO_PASSWORD="varnel")
        changed = set(range(0, a.rows, 100))  # 1 %
        write_inventory(inventory, ports, a.rows, set())
        plain, _ = run_fleet(fleet, ["-j", str(a.jobs), "-o", os.path.join(scratch, "plain"), inventory, job], env)
        fleets = [("", fleet)]
        if a.before:
            fleets.append((" (before)", os.path.join(os.path.abspath(a.before), "varnel-fleet")))
        steps = {}
        for tag, program in fleets:
            for label, which in (("all new", set()), ("1 % changed", changed)):
                write_inventory(inventory, ports, a.rows, which)
                seconds, m = run_fleet(program, ["-j", str(a.jobs), "--archive", os.path.join(scratch, "archive" + tag),
                                                  "-o", os.path.join(scratch, "out"), inventory, job], env)
                if not m:
                    rows.append(f"ROW\tfleet --archive {a.rows} hosts, {label}{tag}\tfailed\t-\t-")
                    continue
                step = float(m.group(4))
                steps[(label, tag)] = step
                rows.append(f"ROW\tfleet --archive {a.rows} hosts, {label}{tag}: archive step\t{step:.2f} s "
                            f"({m.group(1)} changed, {m.group(2)} new)\t{seconds:.2f} s (the whole run)\t"
                            f"{100 * step / seconds:.1f} % of the run")
                rows.append(f"ROW\t    the whole run, against no --archive\t{seconds:.2f} s\t{plain:.2f} s "
                            f"(no --archive)\t{plain / seconds:.2f}x speed")
        for label in ("all new", "1 % changed"):
            if (label, "") in steps and (label, " (before)") in steps:
                now, before = steps[(label, "")], steps[(label, " (before)")]
                rows.append(f"ROW\tarchive step, {label}: now against before\t{now:.2f} s\t{before:.2f} s\t"
                            f"{before / now:.2f}x speed")
    finally:
        for h in hosts:
            h.kill()
            h.wait()
        shutil.rmtree(scratch, ignore_errors=True)
    print("\n".join(rows))


if __name__ == "__main__":
    main()

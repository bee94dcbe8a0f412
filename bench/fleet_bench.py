#!/usr/bin/env python3
"""Many devices at once: the same login dialogue and 10 KB configuration dump
against demo hosts on 127.0.0.1, once per inventory row, driven four ways in
the same run: varnel-fleet -j J, xargs -P J over varnel, GNU parallel -j J
over varnel, and GNU parallel -j J over an expect script. For each: wall
time, runs per second, and the peak of the summed resident sizes of the
driver's whole process tree (sampled from /proc). Ratios are against
xargs -P over varnel.

--against OTHER (another build folder, such as one of an earlier version)
also runs OTHER's varnel-fleet and xargs -P over OTHER's varnel, after the
runs above, against the same demo hosts.

Usage: fleet_bench.py BUILD [--rows N] [--jobs J] [--hosts H] [--against OTHER]
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

DIALOGUE = [("SEND", "admin\\n"), ("WAIT", "Password:"), ("SEND", "%s\\n"), ("WAIT", "varnel-demo>"),
            ("SEND", "show config 10000\\n"), ("WAIT", "varnel-demo>"), ("SEND", "exit\\n"), ("WAIT", "Goodbye.")]

EXPECT_SCRIPT = r'''
set port [lindex $argv 0]; set out [lindex $argv 1]
log_user 0
log_file -noappend $out
set chan [socket 127.0.0.1 $port]
spawn -open $chan
set timeout 60
expect_after { timeout { exit 3 } eof { exit 1 } }
expect "login: "; send "admin\r\n"
expect "Password:"; send "varnel\r\n"
expect "varnel-demo> "; send "show config 10000\r\n"
expect "varnel-demo> "; send "exit\r\n"
expect "Goodbye."
'''


def varnel_script(port_text, password_text):
    lines = [f"HOST 127.0.0.1 {port_text}"]
    for command, text in DIALOGUE:
        lines.append(f'{command} "{text % password_text if "%s" in text else text}"')
    return "\n".join(lines) + "\n"


class TreeMemory:
    """Samples the summed resident size of a process and its descendants."""

    def __init__(self, root_pid, interval=0.2):
        self.root = root_pid
        self.interval = interval
        self.peak = 0
        self.page = os.sysconf("SC_PAGE_SIZE")
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def sample(self):
        children = {}
        for name in os.listdir("/proc"):
            if not name.isdigit():
                continue
            try:
                with open(f"/proc/{name}/stat") as f:
                    stat = f.read()
                ppid = int(stat[stat.rfind(")") + 2:].split()[1])
                children.setdefault(ppid, []).append(int(name))
            except (OSError, ValueError, IndexError):
                pass
        total, todo = 0, [self.root]
        while todo:
            pid = todo.pop()
            try:
                with open(f"/proc/{pid}/statm") as f:
                    total += int(f.read().split()[1]) * self.page
            except (OSError, ValueError, IndexError):
                pass
            todo.extend(children.get(pid, []))
        self.peak = max(self.peak, total)

    def run(self):
        while not self.stop.wait(self.interval):
            self.sample()

    def finish(self):
        self.stop.set()
        self.thread.join()
        return self.peak


def measure(cmd, stdin_text=None, env=None):
    """Runs a driver; returns (seconds, peak tree bytes, exit status)."""
    start = time.monotonic()
    p = subprocess.Popen(cmd, stdin=subprocess.PIPE if stdin_text is not None else subprocess.DEVNULL,
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env, text=True)
    mem = TreeMemory(p.pid)
    _, err = p.communicate(stdin_text)
    seconds = time.monotonic() - start
    peak = mem.finish()
    if p.returncode != 0:
        print(f"warning: {cmd[0]} ended with status {p.returncode}: {err[-500:]}", file=sys.stderr)
    return seconds, peak, p.returncode


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("--rows", type=int, default=10000)
    ap.add_argument("--jobs", type=int, default=200)
    ap.add_argument("--hosts", type=int, default=4)
    ap.add_argument("--against", help="another build folder whose varnel-fleet and varnel run too")
    a = ap.parse_args()
    build = os.path.abspath(a.build)
    varnel, fleet = os.path.join(build, "varnel"), os.path.join(build, "varnel-fleet")
    parallel, expect = shutil.which("parallel"), shutil.which("expect")

    hosts = [subprocess.Popen([os.path.join(build, "varnel-demo-host"), "--port", "0"], stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, text=True) for _ in range(a.hosts)]
    scratch = tempfile.mkdtemp(prefix="fleet-bench-")
    try:
        ports = [h.stdout.readline().strip() for h in hosts]
        port_of = [ports[i % len(ports)] for i in range(a.rows)]
        with open(os.path.join(scratch, "inventory.csv"), "w") as f:
            f.write("host,port\n" + "".join(f"dev-{i},{port_of[i]}\n" for i in range(a.rows)))
        with open(os.path.join(scratch, "job.txt"), "w") as f:
            f.write(varnel_script("%port%", "%env:DEMO_PASSWORD%"))
        # The hand-made loops get one ready script per host.
        for p in ports:
            with open(os.path.join(scratch, f"job-{p}.txt"), "w") as f:
                f.write(varnel_script(p, "varnel"))
        with open(os.path.join(scratch, "login.exp"), "w") as f:
            f.write(EXPECT_SCRIPT)
        env = dict(os.environ, DEMO_PASSWORD="varnel")
        results = {}

        def lines(outdir, form):
            os.makedirs(os.path.join(scratch, outdir), exist_ok=True)
            return "".join(form(port_of[i], os.path.join(scratch, outdir, f"dev-{i}.txt")) + "\n"
                           for i in range(a.rows))

        results["fleet"] = measure([fleet, "--quiet", "-j", str(a.jobs), "-o", os.path.join(scratch, "fleet"),
                                    os.path.join(scratch, "inventory.csv"), os.path.join(scratch, "job.txt")], env=env)
        results["xargs"] = measure(["xargs", "-P", str(a.jobs), "-n", "3", varnel],
                                   lines("xargs", lambda p, o: f"/r:{scratch}/job-{p}.txt /o:{o} /hidden"))
        if parallel:
            results["parallel"] = measure(
                [parallel, "--will-cite", "-j", str(a.jobs), "--colsep", " ", varnel, "{1}", "{2}", "{3}"],
                lines("parallel", lambda p, o: f"/r:{scratch}/job-{p}.txt /o:{o} /hidden"))
            if expect:
                results["expect"] = measure(
                    [parallel, "--will-cite", "-j", str(a.jobs), "--colsep", " ", expect,
                     os.path.join(scratch, "login.exp"), "{1}", "{2}"],
                    lines("expect", lambda p, o: f"{p} {o}"))
        if a.against:
            other = os.path.abspath(a.against)
            results["other fleet"] = measure(
                [os.path.join(other, "varnel-fleet"), "--quiet", "-j", str(a.jobs), "-o",
                 os.path.join(scratch, "other-fleet"), os.path.join(scratch, "inventory.csv"),
                 os.path.join(scratch, "job.txt")], env=env)
            results["other xargs"] = measure(["xargs", "-P", str(a.jobs), "-n", "3", os.path.join(other, "varnel")],
                                             lines("other-xargs", lambda p, o: f"/r:{scratch}/job-{p}.txt /o:{o} /hidden"))
    finally:
        for h in hosts:
            h.kill()
            h.wait()
        shutil.rmtree(scratch, ignore_errors=True)

    def text(name):
        s, peak, status = results[name]
        flag = "" if status == 0 else f" [status {status}]"
        return f"{s:.1f} s, {a.rows / s:.0f}/s, {peak / 1048576:.0f} MiB{flag}"

    base_s, base_peak, _ = results["xargs"]
    fleet_s, fleet_peak, _ = results["fleet"]
    print(f"ROW\tfleet {a.rows} runs -j{a.jobs}: time, rate, peak mem\t{text('fleet')}\t{text('xargs')} "
          f"(xargs -P)\t{base_s / fleet_s:.2f}x speed, {fleet_peak / base_peak:.2f}x mem")
    labels = {"parallel": "GNU parallel", "expect": "parallel+expect"}
    for name in ("parallel", "expect"):
        if name in results:
            s, peak, _ = results[name]
            print(f"ROW\t    same, against {labels[name]}\t{text('fleet')}\t{text(name)} ({labels[name]})\t"
                  f"{s / fleet_s:.2f}x speed, {fleet_peak / peak:.2f}x mem")
            print(f"ROW\t    {labels[name]} against xargs -P\t{text(name)}\t{text('xargs')} (xargs -P)\t"
                  f"{base_s / s:.2f}x speed, {peak / base_peak:.2f}x mem")


    if a.against:
        other_s, other_peak, _ = results["other xargs"]
        print(f"ROW\t    same, {a.against}\t{text('other fleet')}\t{text('other xargs')} (xargs -P)\t"
              f"{other_s / results['other fleet'][0]:.2f}x speed")
        print(f"ROW\t    varnel-fleet against {a.against}'s\t{text('fleet')}\t{text('other fleet')}\t"
              f"{results['other fleet'][0] / fleet_s:.2f}x speed")
        print(f"ROW\t    xargs -P: varnel against {a.against}'s\t{text('xargs')}\t{text('other xargs')}\t"
              f"{other_s / base_s:.2f}x speed")


if __name__ == "__main__":
    main()

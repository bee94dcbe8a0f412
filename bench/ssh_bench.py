#!/usr/bin/env python3
"""SSH benchmarks: the session benchmarks' jobs over SSH, against OpenSSH's sshd
on 127.0.0.1 (own keys and configuration in a scratch folder, the benchmark
host's jobs run by varnel-dialogue-shell as the forced command), next to the
same jobs done by the ssh program driven by expect, in the same run.

  (a) COUNT SEND/WAIT exchanges       -> time per exchange
  (b) capture of a BYTES-long stream  -> MB/s into the output file

Usage: ssh_bench.py BUILD_DIR [--exchanges N] [--stream-mb M]
Prints one table row per measurement as TSV: name, ours, baseline, ratio.
Without a usable sshd (or ssh, ssh-keygen, expect) it prints why and one row
saying the rows were skipped.
"""
import argparse
import os
import pwd
import shutil
import socket
import subprocess
import sys
import tempfile
import time

from bench_common import EXPECT_CAPTURE_UNTIL_HASH

EXPECT_EXCHANGE = r'''
set port [lindex $argv 0]; set count [lindex $argv 1]; set user [lindex $argv 2]; set dir [lindex $argv 3]
log_user 0
spawn ssh -tt -q -p $port -i $dir/home/.ssh/id_ed25519 -o UserKnownHostsFile=$dir/known_hosts -o StrictHostKeyChecking=no -o BatchMode=yes $user@127.0.0.1
set timeout 30
expect "ready"
for {set i 0} {$i < $count} {incr i} { send "x\r\n"; expect "ok>" }
send "quit\r\n"
expect eof
'''

EXPECT_STREAM = r'''
set port [lindex $argv 0]; set out [lindex $argv 1]; set user [lindex $argv 2]; set dir [lindex $argv 3]
log_user 0
spawn ssh -tt -q -p $port -i $dir/home/.ssh/id_ed25519 -o UserKnownHostsFile=$dir/known_hosts -o StrictHostKeyChecking=no -o BatchMode=yes $user@127.0.0.1
''' + EXPECT_CAPTURE_UNTIL_HASH + '''expect eof
'''


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Sshd:
    """sshd -D -e on 127.0.0.1 whose sessions run `varnel-dialogue-shell JOB...`."""

    def __init__(self, build, scratch, user, *job):
        self.port = free_port()
        conf = os.path.join(scratch, "sshd_config")
        shell = os.path.join(build, "varnel-dialogue-shell")
        with open(conf, "w") as f:
            f.write(f"ListenAddress 127.0.0.1\nPort {self.port}\nHostKey {scratch}/host_key\nPidFile none\n"
                    f"AuthorizedKeysFile {scratch}/authorized_keys\nStrictModes no\nUsePAM no\n"
                    "PasswordAuthentication no\nKbdInteractiveAuthentication no\n"
                    f"PermitRootLogin prohibit-password\nAllowUsers {user}\n"
                    f"ForceCommand {shell} {' '.join(job)}\nLogLevel ERROR\n")
        self.proc = subprocess.Popen(["/usr/sbin/sshd", "-D", "-e", "-f", conf], stderr=subprocess.DEVNULL)
        for _ in range(300):
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return
            except OSError:
                if self.proc.poll() is not None:
                    break
                time.sleep(0.1)
        self.proc.kill()
        raise RuntimeError("sshd did not start")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.proc.kill()
        self.proc.wait()


def why_not():
    if not os.access("/usr/sbin/sshd", os.X_OK):
        return "no /usr/sbin/sshd"
    if os.geteuid() == 0:
        try:
            pwd.getpwnam("sshd")
        except KeyError:
            return "no privilege-separation user 'sshd'"
    for tool in ("ssh", "ssh-keygen", "expect"):
        if not shutil.which(tool):
            return f"no {tool}"
    return None


def timed(cmd, env=None):
    start = time.perf_counter()
    status = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env).returncode
    return time.perf_counter() - start, status


def main():
    p = argparse.ArgumentParser()
    p.add_argument("build")
    p.add_argument("--exchanges", type=int, default=10000)
    p.add_argument("--stream-mb", type=int, default=100)
    a = p.parse_args()
    reason = why_not()
    if reason:
        print(f"ssh_bench: skipped: {reason}", file=sys.stderr)
        print(f"ROW\tSSH rows skipped ({reason})\t-\t-\t-")
        return
    build = os.path.abspath(a.build)
    scratch = tempfile.mkdtemp(prefix="varnel-ssh-bench-")
    user = pwd.getpwuid(os.geteuid()).pw_name
    home = os.path.join(scratch, "home")
    os.makedirs(os.path.join(home, ".ssh"))
    os.chmod(scratch, 0o755)
    for key in (os.path.join(scratch, "host_key"), os.path.join(home, ".ssh", "id_ed25519")):
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", key], check=True)
    shutil.copy(os.path.join(home, ".ssh", "id_ed25519.pub"), os.path.join(scratch, "authorized_keys"))
    env = dict(os.environ, HOME=home, VARNEL_SSH_KNOWN_HOSTS=os.path.join(scratch, "known_hosts"))
    env.pop("SSH_AUTH_SOCK", None)
    expect = shutil.which("expect")

    def varnel(name, text):
        script, out = os.path.join(scratch, name + ".txt"), os.path.join(scratch, name + ".out")
        with open(script, "w", newline="") as f:
            f.write(text)
        secs, status = timed([os.path.join(build, "varnel"), f"/r:{script}", f"/o:{out}", "/hidden"], env)
        if status != 0:
            sys.exit(f"varnel run {name} over SSH failed with status {status}")
        return secs

    try:
        n = a.exchanges
        with Sshd(build, scratch, user, "exchange") as d:
            ours = varnel("exchange", f"SSH {user}@127.0.0.1 {d.port}\r\n" +
                          'SEND "x\\n"\r\nWAIT "ok>"\r\n' * n + 'SEND "quit\\n"\r\n')
            path = os.path.join(scratch, "x.exp")
            open(path, "w").write(EXPECT_EXCHANGE)
            e, _ = timed([expect, path, str(d.port), str(n), user, scratch], env)
            print(f"ROW\t(d) SEND/WAIT exchange over SSH, {n}x\t{ours / n * 1e6:.3f} us\t"
                  f"{e / n * 1e6:.3f} us (expect + ssh)\t{ours / e:.2f}x")
        size = a.stream_mb << 20
        with Sshd(build, scratch, user, "stream", str(size)) as d:
            ours = varnel("stream", f'SSH {user}@127.0.0.1 {d.port}\r\nWAIT "#"\r\nSEND "quit\\n"\r\n')
            path = os.path.join(scratch, "s.exp")
            open(path, "w").write(EXPECT_STREAM)
            e, _ = timed([expect, path, str(d.port), os.path.join(scratch, "e.out"), user, scratch], env)
            mb = size / 1e6
            print(f"ROW\t(e) stream capture over SSH, {a.stream_mb} MB\t{mb / ours:.1f} MB/s\t{mb / e:.1f} MB/s "
                  f"(expect + ssh)\t{e / ours:.2f}x")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()

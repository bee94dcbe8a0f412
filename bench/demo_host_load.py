#!/usr/bin/env python3
"""Load test of the demo host: in one run, 1,000 clients at once go through
the whole login dialogue (log in, wait until all are logged in, echo, a
listing, exit) while 100 clients reset, 100 never read and 100 send a line
without end. Every well-behaved client must get exactly its own bytes, and
afterwards the host must be back to the descriptors it had before and to
about the memory it had before.

The same well-behaved load is run first against a minimal asyncio host that
speaks the same dialogue (the baseline, measured in the same run).

A second part starts the host with only 64 descriptors, holds them all with
idle clients while more wait, measures the CPU the host uses meanwhile, then
lets the held clients go and checks that every waiting client is served.

Usage: demo_host_load.py BUILD_DIR [--clients N] [--hostile N]
Prints one table row per measurement as TSV: name, ours, baseline, ratio.
"""
import argparse
import asyncio
import os
import resource
import socket
import struct
import subprocess
import sys
import time

BANNER = b"\r\nvarnel-demo: a practice device for Varnel scripts\r\n\r\nlogin: "
PROMPT = b"varnel-demo> "
WELCOME = BANNER + b"Password: \r\nWelcome, admin.\r\n" + PROMPT


def listing(size):
    text = b"! varnel-demo configuration\r\nhostname varnel-demo\r\n"
    n = 1
    parts = [text]
    total = len(text)
    while total < size:
        block = b"interface port1/%d\r\n description link %d\r\n no shutdown\r\n!\r\n" % (n, n)
        parts.append(block)
        total += len(block)
        n += 1
    text = b"".join(parts)[:size]
    if len(text) >= 2:
        text = text[:-2] + b"\r\n"
    return text


def expected(i):
    return (WELCOME + b"client-%d\r\n" % i + PROMPT + listing(1000 + i) + PROMPT + b"Goodbye.\r\n")


# ---- the baseline: the same dialogue on plain asyncio streams ----

async def baseline_session(reader, writer):
    try:
        writer.write(BANNER)
        user = (await reader.readline()).rstrip(b"\r\n")
        writer.write(b"Password: ")
        password = (await reader.readline()).rstrip(b"\r\n")
        if user != b"admin" or password != b"varnel":
            writer.close()
            return
        writer.write(b"\r\nWelcome, admin.\r\n" + PROMPT)
        while True:
            line = (await reader.readline()).rstrip(b"\r\n")
            if not line or line == b"exit":
                writer.write(b"Goodbye.\r\n")
                await writer.drain()
                break
            if line.startswith(b"echo "):
                writer.write(line[5:] + b"\r\n" + PROMPT)
            elif line.startswith(b"show config "):
                writer.write(listing(int(line[12:])) + PROMPT)
            await writer.drain()
    except (ConnectionError, asyncio.IncompleteReadError):
        pass
    writer.close()


def run_baseline_host(port_pipe):
    async def main():
        server = await asyncio.start_server(baseline_session, "127.0.0.1", 0, backlog=4096)
        os.write(port_pipe, b"%d\n" % server.sockets[0].getsockname()[1])
        await server.serve_forever()
    asyncio.run(main())


# ---- the clients ----

async def read_until(reader, got, text, timeout=60):
    while text not in got:
        data = await asyncio.wait_for(reader.read(65536), timeout)
        if not data:
            raise ConnectionError("closed early")
        got += data
    return got


async def well_behaved(port, i, logged_in, all_in, results):
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    got = bytearray()
    try:
        await read_until(reader, got, b"login: ")
        writer.write(b"admin\r\n")
        await read_until(reader, got, b"Password: ")
        writer.write(b"varnel\r\n")
        await read_until(reader, got, PROMPT)
        logged_in()
        await all_in.wait()
        writer.write(b"echo client-%d\r\nshow config %d\r\nexit\r\n" % (i, 1000 + i))
        while True:
            data = await asyncio.wait_for(reader.read(65536), 60)
            if not data:
                break
            got += data
    except (ConnectionError, asyncio.TimeoutError) as e:
        got += b"<%s>" % str(e).encode()
    writer.close()
    results[i] = bytes(got)


def raw_socket(port):
    s = socket.socket()
    s.setblocking(False)
    try:
        s.connect(("127.0.0.1", port))
    except BlockingIOError:
        pass
    return s


async def resetter(port):
    loop = asyncio.get_running_loop()
    s = raw_socket(port)
    try:
        await loop.sock_sendall(s, b"admin\r\n")
    except OSError:
        pass
    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    s.close()


async def never_reads(port, done):
    loop = asyncio.get_running_loop()
    s = raw_socket(port)
    try:
        await loop.sock_sendall(s, b"admin\r\nvarnel\r\nshow config 1000000\r\n")
        for _ in range(200):   # answers it never takes, until the host gives up on it
            await loop.sock_sendall(s, b"echo " + b"n" * 1000 + b"\r\n")
    except OSError:
        pass
    await done.wait()
    s.close()


async def endless_line(port):
    loop = asyncio.get_running_loop()
    s = raw_socket(port)
    try:
        chunk = b"e" * 65536
        for _ in range(32):   # 2 MiB without a line ending
            await loop.sock_sendall(s, chunk)
    except OSError:
        pass
    s.close()


async def load(port, clients, hostile, host_pid):
    """The well-behaved clients log in; once all are in (and the host's memory
    with that many idle sessions has been read), the hostile clients start and
    the well-behaved ones go on, all at the same time."""
    results = {}
    count = [0]
    all_in = asyncio.Event()
    done = asyncio.Event()
    idle = [0]
    hostile_tasks = []

    def logged_in():
        count[0] += 1
        if count[0] == clients:
            idle[0] = rss_kib(host_pid)
            coros = [resetter(port) for _ in range(hostile)]
            coros += [never_reads(port, done) for _ in range(hostile)]
            coros += [endless_line(port) for _ in range(hostile)]
            hostile_tasks.extend(asyncio.ensure_future(c) for c in coros)
            all_in.set()

    start = time.perf_counter()
    await asyncio.gather(*[well_behaved(port, i, logged_in, all_in, results) for i in range(clients)])
    elapsed = time.perf_counter() - start
    done.set()
    await asyncio.gather(*hostile_tasks)
    wrong = [i for i in range(clients) if results.get(i) != expected(i)]
    return elapsed, wrong, idle[0]


# ---- measuring the host ----

def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def hwm_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def descriptors(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def settle(pid, want, limit=30):
    end = time.time() + limit
    while time.time() < end and descriptors(pid) != want:
        time.sleep(0.05)
    return descriptors(pid)


def start_host(build, nofile=None):
    def limits():
        if nofile:
            resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile))
    p = subprocess.Popen([os.path.join(build, "varnel-demo-host")], stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL, preexec_fn=limits)
    port = int(p.stdout.readline())
    return p, port


def warm_up(port):
    s = socket.create_connection(("127.0.0.1", port))
    got = b""
    s.sendall(b"admin\r\nvarnel\r\nexit\r\n")
    while True:
        d = s.recv(65536)
        if not d:
            break
        got += d
    s.close()


def row(name, ours, base, ratio):
    print("ROW\t%s\t%s\t%s\t%s" % (name, ours, base, ratio), flush=True)


def descriptor_limit_part(build, waiting=100):
    """The host with 64 descriptors: held full by idle clients, then freed."""
    p, port = start_host(build, nofile=64)
    warm_up(port)
    held = []
    for _ in range(waiting):
        s = socket.create_connection(("127.0.0.1", port))
        held.append(s)
    time.sleep(1)   # the host has taken what it can and reported the shortage
    cpu0, t0 = cpu_seconds(p.pid), time.time()
    time.sleep(3)
    cpu_share = (cpu_seconds(p.pid) - cpu0) / (time.time() - t0)
    # Free the first 60 connections; every other client must get its banner.
    for s in held[:60]:
        s.close()
    served = 0
    for s in held[60:]:
        s.settimeout(30)
        got = b""
        try:
            while b"login: " not in got:
                d = s.recv(4096)
                if not d:
                    break
                got += d
        except OSError:
            pass
        served += b"login: " in got
        s.close()
    p.kill()
    p.wait()
    return cpu_share, served, waiting - 60


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("--clients", type=int, default=1000)
    ap.add_argument("--hostile", type=int, default=100)
    a = ap.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))

    # Baseline: the minimal asyncio host, well-behaved clients only.
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(r)
        run_baseline_host(w)
        os._exit(0)
    os.close(w)
    base_port = int(os.read(r, 64))
    warm_up(base_port)
    base_before = rss_kib(pid)
    base_elapsed, base_wrong, base_peak = asyncio.run(load(base_port, a.clients, 0, pid))
    os.kill(pid, 9)
    os.waitpid(pid, 0)

    # The demo host with everything at once.
    p, port = start_host(a.build)
    warm_up(port)
    fds_before = settle(p.pid, descriptors(p.pid))
    rss_before = rss_kib(p.pid)
    elapsed, wrong, idle_rss = asyncio.run(load(port, a.clients, a.hostile, p.pid))
    fds_after = settle(p.pid, fds_before)
    time.sleep(0.5)
    rss_after = rss_kib(p.pid)
    peak = hwm_kib(p.pid)
    p.kill()
    p.wait()

    n = a.clients
    print("well-behaved clients served byte for byte: %d of %d (baseline %d of %d)" %
          (n - len(wrong), n, n - len(base_wrong), n), file=sys.stderr)
    if wrong:
        print("clients with wrong bytes: %s" % wrong[:10], file=sys.stderr)
    ours, base = n / elapsed, n / base_elapsed
    row("demo host, %d+%d hostile: sessions/s" % (n, 3 * a.hostile),
        "%.0f/s" % ours, "%.0f/s (asyncio host, no hostile)" % base, "%.2fx" % (ours / base))
    per_ours = (idle_rss - rss_before) / n
    per_base = (base_peak - base_before) / n if base_peak > base_before else float("nan")
    row("demo host: memory per idle session", "%.1f KiB" % per_ours, "%.1f KiB (asyncio host)" % per_base,
        "%.2fx" % (per_ours / per_base) if per_base == per_base and per_base > 0 else "-")
    row("demo host: peak memory of the load run", "%.1f MiB" % (peak / 1024),
        "%.1f MiB (before the run)" % (rss_before / 1024), "%.2fx" % (peak / rss_before))
    row("demo host: after the run (fds, memory)", "%d, %.1f MiB" % (fds_after, rss_after / 1024),
        "%d, %.1f MiB (before the run)" % (fds_before, rss_before / 1024),
        "%.2fx, %.2fx" % (fds_after / fds_before, rss_after / rss_before))
    cpu_share, served, waiting = descriptor_limit_part(a.build)
    row("demo host, ulimit -n 64: CPU idle, served", "%.1f%% of a core, %d of %d" %
        (100 * cpu_share, served, waiting), "-", "-")
    ok = not wrong and fds_after == fds_before and served == waiting
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()

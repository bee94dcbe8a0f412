"""The time an ending adds: the demo dialogue (examples/demo-session.txt)
against the demo host, run hidden N times, median wall time. The baseline,
measured in the same run and interleaved with it, is the same dialogue with
the ending's waits switched off (VARNEL_SETTLE=0); with --before PROGRAM an
older build's program is measured the same way.

    python3 bench/ending_bench.py build [--runs 20] [--before PATH/varnel]
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--runs", type=int, default=20)
    parser.add_argument("--before", default="")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    host = subprocess.Popen([os.path.join(build, "varnel-demo-host"), "--port", "0"],
                            stdout=subprocess.PIPE, text=True)
    try:
        port = host.stdout.readline().strip()
        with open(os.path.join(root, "examples", "demo-session.txt")) as f:
            script = f.read().replace("HOST 127.0.0.1 2323", "HOST 127.0.0.1 " + port)
        work = tempfile.mkdtemp(prefix="ending_bench")
        path = os.path.join(work, "script.txt")
        with open(path, "w") as f:
            f.write(script)
        programs = [("Varnel", os.path.join(build, "varnel"), {}),
                    ("no ending waits", os.path.join(build, "varnel"), {"VARNEL_SETTLE": "0"})]
        if args.before:
            programs.append(("before", os.path.abspath(args.before), {}))
        times = {name: [] for name, _, _ in programs}
        for _ in range(args.runs):
            for name, program, env in programs:
                start = time.monotonic()
                result = subprocess.run([program, "/r:" + path, "/o:" + os.path.join(work, "out.txt"), "/hidden"],
                                        env={**os.environ, **env}, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
                times[name].append(time.monotonic() - start)
                if result.returncode != 0:
                    print("run failed:", name, result.returncode, file=sys.stderr)
                    return 1
        medians = {name: statistics.median(values) * 1000 for name, values in times.items()}
        for name, value in medians.items():
            print("%-16s median of %d runs: %.1f ms" % (name, args.runs, value))
        ours, base = medians["Varnel"], medians["no ending waits"]
        print("ROW\tdemo dialogue ending (median of %d)\t%.1f ms\t%.1f ms, VARNEL_SETTLE=0\t%.2f"
              % (args.runs, ours, base, ours / base))
        if args.before:
            print("ROW\tdemo dialogue, before (median of %d)\t%.1f ms\t%.1f ms, older build\t%.2f"
                  % (args.runs, ours, medians["before"], ours / medians["before"]))
    finally:
        host.kill()
        host.wait()
    return 0


if __name__ == "__main__":
    sys.exit(main())

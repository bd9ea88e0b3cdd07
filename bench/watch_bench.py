#!/usr/bin/env python3
"""Change events under a burst: N files made, then N files touched, in a sync root connected with
"watch" (the Linux build, simulated platform). Prints per burst the events written, the time from
the burst's start to its last event, and the program's peak resident memory. Figures, not a test.

    python3 bench/watch_bench.py [--program build/native/zembra_cloud_files] [--files 10000]
"""

import argparse
import json
import os
import queue
import shutil
import subprocess
import tempfile
import threading
import time

QUIET = 1.0  # no event for this long: the burst's events are all out


def peak_memory_kib(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", default=os.path.join(here, os.pardir, "build", "native", "zembra_cloud_files"))
    parser.add_argument("--files", type=int, default=10000)
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="zcf-watch-bench-")
    root = os.path.join(work, "root")
    os.makedirs(root)
    env = dict(os.environ, XDG_STATE_HOME=os.path.join(work, "state"))
    proc = subprocess.Popen([args.program], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
    lines = queue.Queue()

    def read():
        for line in proc.stdout:
            lines.put((time.monotonic(), json.loads(line)))

    threading.Thread(target=read, daemon=True).start()
    lines.get()  # ready
    seq = 0

    def request(cmd, **more):
        nonlocal seq
        seq += 1
        proc.stdin.write((json.dumps(dict(more, cmd=cmd, seq=seq)) + "\n").encode())
        proc.stdin.flush()
        while True:
            _, message = lines.get(timeout=60)
            if message.get("seq") == seq:
                assert message["ok"], message
                return message

    def burst(what, change):
        started = time.monotonic()
        for i in range(args.files):
            change(os.path.join(root, "f%05d.txt" % i))
        changed_in = time.monotonic() - started
        counts, last = {}, started
        try:
            while True:
                at, message = lines.get(timeout=QUIET)
                counts[message.get("event")] = counts.get(message.get("event"), 0) + 1
                last = at
        except queue.Empty:
            pass
        print("%-8s %d files in %.3f s: %s; last event %.3f s after the burst began; peak memory %.1f MiB" % (
            what, args.files, changed_in, ", ".join("%d %s" % (n, e) for e, n in sorted(counts.items())),
            last - started, peak_memory_kib(proc.pid) / 1024), flush=True)

    try:
        request("register", root=root, id="Bench!watch")
        request("connect", root=root, watch=True)
        print("program peak memory before: %.1f MiB" % (peak_memory_kib(proc.pid) / 1024))
        burst("made", lambda path: open(path, "x").close())
        burst("touched", lambda path: os.utime(path))
        request("disconnect")
        request("unregister", id="Bench!watch")
    finally:
        proc.stdin.close()
        proc.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()

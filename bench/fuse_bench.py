#!/usr/bin/env python3
"""Figures of the Linux front end (FUSE), printed, never asserted:

1. first read of an online-only file by `cat`, the parent answering 1 MiB chunks, against the
   same file brought in by "hydrate" (payload MB/s);
2. reading a present file through the mount with 1 MiB reads, cold (the page cache dropped) and
   warm, against reading the file beneath the mount directly;
3. `find` and `ls -lR` over a tree of placeholders through the mount against the tree beneath it.

    python3 bench/fuse_bench.py [--program build/native/zembra_cloud_files] [--mib 1024] [--entries 100000]

Needs FUSE (root, or fuse3 for a user); dropping the page cache needs root (skipped otherwise).
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "clients", "python"))
from zembra_cloud_files import FileSource, Item, SyncClient  # noqa: E402

MIB = 1 << 20


def drop_caches():
    try:
        os.sync()
        with open("/proc/sys/vm/drop_caches", "w") as f:
            f.write("3")
        return True
    except OSError:
        return False


def timed(argv, **kwargs):
    started = time.monotonic()
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL, **kwargs)
    return time.monotonic() - started


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", default=os.path.join(HERE, os.pardir, "build", "native", "zembra_cloud_files"))
    parser.add_argument("--mib", type=int, default=1024)
    parser.add_argument("--entries", type=int, default=100000)
    args = parser.parse_args()

    top = tempfile.mkdtemp(prefix="zcf-fuse-bench-")
    env = dict(os.environ, XDG_STATE_HOME=os.path.join(top, "state"))
    root = os.path.join(top, "root")
    os.makedirs(root)
    source = os.path.join(top, "source.bin")
    with open(source, "wb") as f:
        for _ in range(args.mib):
            f.write(os.urandom(MIB))
    size = args.mib * MIB
    conn = SyncClient(os.path.abspath(args.program), env=env, timeout=600)
    conn.serve_fetches(lambda event: FileSource(source))  # every fetch from the one source file, 1 MiB chunks
    beneath = os.open(root, os.O_PATH | os.O_DIRECTORY)  # the folder itself, under the mount
    try:
        conn.register(root, "zcf-fuse-bench")
        conn.create([Item(root, "big.bin", "big", size=size)])
        conn.connect(root)
        if conn.info().front_end != "fuse":
            print("fuse_bench: FUSE cannot be used here; nothing measured")
            return 0
        big = os.path.join(root, "big.bin")

        # 1. First read: "hydrate" against cat.
        started = time.monotonic()
        conn.hydrate(big)
        hydrate_s = time.monotonic() - started
        conn.dehydrate(big)
        cat_s = timed(["cat", big])
        print("first read of %d MiB: hydrate %.0f MB/s, cat %.0f MB/s (%.0f%% of hydrate)" % (
            args.mib, size / 1e6 / hydrate_s, size / 1e6 / cat_s, 100 * hydrate_s / cat_s))

        # 2. A present file, 1 MiB reads, through the mount and beneath it; best of three, the
        # page cache dropped before each cold read (this VM's memory is reclaimed under load, so
        # single figures are noisy).
        direct = "/proc/self/fd/%d/big.bin" % beneath
        dd = ["dd", "bs=1M", "of=/dev/null", "status=none"]
        figures = {}
        cold = True
        for _ in range(3):
            for where, path, extra in (("mount", big, {}), ("direct", direct, {"pass_fds": (beneath,)})):
                cold = drop_caches() and cold
                c = timed(dd + ["if=" + path], **extra)
                w = timed(dd + ["if=" + path], **extra)
                figures[where] = [min(a, b) for a, b in zip(figures.get(where, [c, w]), [c, w])]
        (mount_cold, mount_warm), (direct_cold, direct_warm) = figures["mount"], figures["direct"]
        label = "cold" if cold else "first (page cache not dropped: not root)"
        print("present %d MiB, 1 MiB reads: %s %.0f MB/s through the mount vs %.0f MB/s beneath (%.0f%%); "
              "warm %.0f vs %.0f MB/s (%.0f%%)" % (
                  args.mib, label, size / 1e6 / mount_cold, size / 1e6 / direct_cold, 100 * direct_cold / mount_cold,
                  size / 1e6 / mount_warm, size / 1e6 / direct_warm, 100 * direct_warm / mount_warm))

        # 3. A tree of placeholders: 100 folders of entries/100 files.
        per = max(1, args.entries // 100)
        started = time.monotonic()
        conn.create([Item(root, "d%03d" % i, folder=True) for i in range(100)])
        for i in range(100):
            conn.create([Item(os.path.join(root, "d%03d" % i), "f%05d" % j, size=1000 + j) for j in range(per)])
        print("created %d placeholders in %.1f s" % (100 * per + 100, time.monotonic() - started))
        # Each walk once unmeasured on both sides (the files' inodes come into memory), then the
        # best of three.
        for argv in (["find"], ["ls", "-lR"]):
            through = under = float("inf")
            for attempt in range(4):
                t = timed(argv + [root])
                u = timed(argv + ["/proc/self/fd/%d/" % beneath], pass_fds=(beneath,))
                if attempt > 0:
                    through, under = min(through, t), min(under, u)
            print("%s over %d entries: %.2f s through the mount, %.2f s beneath (%.1fx)" % (
                " ".join(argv), 100 * per + 101, through, under, through / under))
        conn.disconnect()
        conn.unregister("zcf-fuse-bench")
    finally:
        os.close(beneath)
        try:
            conn.close(60)
        except Exception:
            conn.kill()
        shutil.rmtree(top, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())

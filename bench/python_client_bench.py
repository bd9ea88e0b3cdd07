#!/usr/bin/env python3
"""Hydration through the Python client (clients/python), printed as figures, never asserted:

1. a placeholder (512 MiB by default) hydrated by "hydrate", the client answering its fetches from
   memory in 1 MiB chunks (Base64 encoded as they go), against the minimal C++ parent of
   bench/hydration_bench.cpp (Base64 encoded once, before timing), run in the same invocation;
2. the first read of the same placeholder by `cat` through the Linux mount, the client serving,
   against the same client's "hydrate".

    python3 bench/python_client_bench.py [--program build/native/zembra_cloud_files] [--mib 512] [--runs 3]

Best of --runs for each figure. The C++ figure comes from build/native/bench/hydration_bench (built by
the native preset); it is skipped when that is missing.
"""

import argparse
import asyncio
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "clients", "python"))
from zembra_cloud_files import Client, Item  # noqa: E402

MIB = 1 << 20


def pattern(size):
    """`size` bytes that differ from MiB to MiB, made quickly."""
    block = os.urandom(MIB)
    return b"".join(i.to_bytes(8, "little") + block[8:] for i in range(size // MIB)) + block[:size % MIB]


async def one_run(program, top, content, how):
    """Seconds for the first full read of a placeholder holding `content`: "hydrate" or "cat"."""
    work = tempfile.mkdtemp(prefix="run-", dir=top)
    root, state = os.path.join(work, "root"), os.path.join(work, "state")
    os.makedirs(root)
    os.makedirs(os.path.join(state, "zembra-cloud-files"))
    with open(os.path.join(state, "zembra-cloud-files", "sim.json"), "w") as f:
        json.dump({"syncTransfers": False}, f)  # as hydration_bench runs it
    client = await Client.start(program, env=dict(os.environ, XDG_STATE_HOME=state))
    results = []
    try:
        await client.register(root, "zcf-python-bench")
        await client.create([Item(root, "big", "big", size=len(content))])
        client.serve_fetches(lambda event: content, on_result=lambda event, result: results.append(result))
        await client.connect(root)
        if how == "cat" and client.program_info.front_end != "fuse":
            return None
        path = os.path.join(root, "big")
        os.sync()
        started = time.monotonic()
        if how == "hydrate":
            await client.hydrate(path)
        else:
            process = await asyncio.create_subprocess_exec("cat", path, stdout=subprocess.DEVNULL)
            if await process.wait() != 0:
                raise RuntimeError("cat failed")
        seconds = time.monotonic() - started
        while sum(r.bytes for r in results) < len(content):  # the last answers may come after the read ended
            await asyncio.sleep(0.01)
        if any(r.status != "done" for r in results):
            raise RuntimeError("a fetch was not answered in full: %r" % results)
        with open(path, "rb") as f:  # spot checks of the content on the disk
            for at in (0, len(content) // 2 // MIB * MIB, len(content) - 5000):
                f.seek(at)
                if f.read(5000) != content[at:at + 5000]:
                    raise RuntimeError("content differs at %d" % at)
        await client.disconnect()
        await client.unregister("zcf-python-bench")
        return seconds
    finally:
        await client.close(60)
        shutil.rmtree(work, ignore_errors=True)


def cxx_parent(program, mib, runs):
    """The 1 MiB row of hydration_bench: (program MB/s with the C++ parent, minimal sink MB/s)."""
    bench = os.path.join(os.path.dirname(os.path.abspath(program)), "bench", "hydration_bench")
    if not os.path.isfile(bench):
        return None
    out = subprocess.run([bench, str(runs), str(mib)], capture_output=True, text=True, check=True,
                         env=dict(os.environ, ZCF_PROGRAM=os.path.abspath(program))).stdout
    row = re.search(r"^1MiB\s+(\d+)\s+(\d+)", out, re.M)
    return (float(row.group(1)), float(row.group(2))) if row else None


async def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", default=os.path.join(HERE, os.pardir, "build", "native", "zembra_cloud_files"))
    parser.add_argument("--mib", type=int, default=512)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    program = os.path.abspath(args.program)
    content = pattern(args.mib * MIB)
    size = len(content)
    top = tempfile.mkdtemp(prefix="zcf-python-bench-")
    try:
        print("%d MiB placeholder, 1 MiB chunks, best of %d; payload MB/s; %d CPUs" % (args.mib, args.runs, os.cpu_count()),
              flush=True)
        hydrate, cat = [], []
        for _ in range(args.runs):
            hydrate.append(await one_run(program, top, content, "hydrate"))
            cat.append(await one_run(program, top, content, "cat"))
        python = size / 1e6 / min(hydrate)
        cxx = cxx_parent(program, args.mib, args.runs)
        if cxx is None:
            print('"hydrate", Python client:  %6.0f MB/s (hydration_bench not built: no C++ figure)' % python)
        else:
            print('"hydrate", Python client:  %6.0f MB/s' % python)
            print('"hydrate", C++ parent:     %6.0f MB/s  (minimal sink of the same lines: %.0f MB/s)' % cxx)
            print("Python client / C++ parent: %5.0f%%" % (100 * python / cxx[0]))
        if None in cat:
            print("cat through the mount: FUSE cannot be used here")
        else:
            through = size / 1e6 / min(cat)
            print("first read by cat through the mount, Python client serving: %6.0f MB/s (%.0f%% of its hydrate)" % (
                through, 100 * through / python))
    finally:
        shutil.rmtree(top, ignore_errors=True)


if __name__ == "__main__":
    asyncio.run(main())

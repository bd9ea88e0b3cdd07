"""What the client's tests share: the program to run, a fresh state folder per program, a sync root.

ZCF_PROGRAM names the program (default: the repository's build/native/zembra_cloud_files). Each
program gets its own XDG_STATE_HOME, so tests never see each other's sync roots."""

from __future__ import annotations

import asyncio
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from typing import Any, Dict, Optional

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))

from zembra_cloud_files import Client  # noqa: E402

PROGRAM = os.environ.get("ZCF_PROGRAM") or os.path.join(HERE, os.pardir, os.pardir, os.pardir, "build", "native",
                                                         "zembra_cloud_files")
PROGRAM = os.path.abspath(PROGRAM)
MIB = 1 << 20


async def until(condition: Any, timeout: float = 30.0) -> None:
    """Waits until condition() holds: an answer_fetch may end after the "hydrate" it served."""
    deadline = asyncio.get_running_loop().time() + timeout
    while not condition():
        if asyncio.get_running_loop().time() > deadline:
            raise AssertionError("still not so after %s s" % timeout)
        await asyncio.sleep(0.01)


def settings(state: str, **values: Any) -> None:
    """Writes the Linux build's settings file (sim.json) of a state folder."""
    import json
    folder = os.path.join(state, "zembra-cloud-files")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "sim.json"), "w") as f:
        json.dump(values, f)


def detach_mounts_under(folder: str) -> None:
    """Lazily unmounts the mounts a killed program left at or beneath `folder`."""
    try:
        with open("/proc/self/mountinfo") as f:
            points = [line.split()[4] for line in f if " - fuse.zembra_cloud_files " in line]
    except OSError:
        return
    prefix = os.path.realpath(folder) + "/"
    for point in points:
        point = point.encode().decode("unicode_escape")
        if point.startswith(prefix):
            subprocess.run(["umount", "-l", point] if os.geteuid() == 0 else ["fusermount3", "-u", "-z", point],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class Work:
    """A temporary folder holding a state folder, a sync-root folder and anything else a test makes."""

    def __init__(self) -> None:
        if not os.path.isfile(PROGRAM):
            raise unittest.SkipTest("the program is not built: %s" % PROGRAM)
        self.top = tempfile.mkdtemp(prefix="zcf-client-")
        self.state = os.path.join(self.top, "state")
        self.root = os.path.join(self.top, "root")
        os.makedirs(self.state)
        os.makedirs(self.root)
        self.env: Dict[str, str] = dict(os.environ, XDG_STATE_HOME=self.state)

    def path(self, *parts: str) -> str:
        return os.path.join(self.root, *parts)

    def remove(self) -> None:
        detach_mounts_under(self.top)
        shutil.rmtree(self.top, ignore_errors=True)


class ProgramCase(unittest.IsolatedAsyncioTestCase):
    """A started program per test (self.client), with a registered sync root at self.work.root
    (connected when `connect` is set). The root is disconnected and the program closed afterwards."""

    connect: Optional[bool] = None  # None: only registered; False: connected; True: connected with watch
    fetch_timeout_ms: Optional[int] = None
    restart = False

    async def asyncSetUp(self) -> None:
        asyncio.get_running_loop().slow_callback_duration = 1.0  # the tests' debug mode: only real stalls
        self.work = Work()
        self.addCleanup(self.work.remove)
        if self.fetch_timeout_ms is not None:
            settings(self.work.state, fetchTimeoutMs=self.fetch_timeout_ms)
        self.client = await Client.start(PROGRAM, env=self.work.env, restart=self.restart)
        self.root_id = "ZcfClientTest!%d" % os.getpid()
        await self.client.register(self.work.root, self.root_id, name="Client tests")
        if self.connect is not None:
            await self.client.connect(self.work.root, watch=self.connect)

    async def asyncTearDown(self) -> None:
        if self.client.running:
            try:
                await asyncio.wait_for(self.client.disconnect(), 30)
            except Exception:
                pass
        code = await self.client.close(30)
        if self.client.problems:
            self.fail("problems: %s" % self.client.problems)
        self.last_exit = code

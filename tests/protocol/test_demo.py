"""The demo sync engine (examples/demo_sync_engine.py): its fetch answers against the real program,
its pieces, and one whole run on a small tree. The Python client it uses has tests of its own
(clients/python/tests)."""

import base64
import os
import subprocess
import sys
import tempfile
import unittest

from harness import PROGRAM, WRAPPER, detach_mounts_under, on_linux

EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "examples")
sys.path.insert(0, EXAMPLES)
import demo_sync_engine as demo  # noqa: E402

MIB = 1 << 20


def program_argv():
    if not PROGRAM:
        raise unittest.SkipTest("ZCF_PROGRAM is not set")
    return ([WRAPPER] if WRAPPER else []) + [PROGRAM]


class FetchAnswers(unittest.TestCase):
    """The demo engine's "fetch" handler against the real program, through the Python client."""

    def setUp(self):
        if not on_linux():
            self.skipTest("the demo drives the Windows build from Windows")
        self.top = tempfile.TemporaryDirectory()
        self.addCleanup(self.top.cleanup)
        top = self.top.name
        self.store_dir, self.root = os.path.join(top, "store"), os.path.join(top, "root")
        os.makedirs(self.store_dir)
        os.makedirs(self.root)
        self.content = os.urandom(3 * MIB + 5000)
        with open(os.path.join(self.store_dir, "f.bin"), "wb") as f:
            f.write(self.content)
        self.conn = demo.SyncClient(program_argv()[-1], argv_prefix=program_argv()[:-1], timeout=30,
                                    env=dict(os.environ, XDG_STATE_HOME=os.path.join(top, "state")))
        self.addCleanup(self.close)
        self.log = []
        self.engine = demo.DemoEngine(self.conn, demo.RemoteStore(self.store_dir), self.root, "Test!1!fetch",
                                      lambda step, text: self.log.append((step, text)), 30)
        self.conn.register(self.root, "Test!1!fetch")
        self.conn.connect(self.root)

    def close(self):
        try:
            self.conn.disconnect()
            self.conn.unregister("Test!1!fetch")
            self.conn.close()
        finally:
            self.conn.kill()
            detach_mounts_under(self.top.name)

    def placeholder(self, name, identity, size):
        self.assertEqual(self.conn.create([demo.Item(self.root, name, identity, size=size)]), [])
        return name

    def test_the_whole_file_arrives_in_chunks_with_progress(self):
        self.assertEqual(self.engine.hydrate(self.placeholder("f.bin", "f.bin", len(self.content))), {"ok": True})
        with open(os.path.join(self.root, "f.bin"), "rb") as f:
            self.assertTrue(f.read() == self.content)
        s = self.engine.stats
        self.assertEqual((s.fetches, s.chunks, s.bytes, s.failed), (1, 4, len(self.content), 0))
        self.assertEqual(s.progress, 1)  # before the first chunk of a fetch longer than one
        self.assertEqual(self.conn.problems, [])

    def test_vanished_changed_or_foreign_files_get_fail(self):
        gone = self.placeholder("gone", "f.bin", len(self.content))
        resized = self.placeholder("resized", "f.bin", len(self.content) + 1)
        foreign = self.placeholder("foreign", "../f.bin", 10)
        self.engine.store.delete("f.bin")
        answers = [self.engine.hydrate(gone)]
        self.engine.store.deleted.clear()
        answers += [self.engine.hydrate(resized), self.engine.hydrate(foreign)]
        self.assertEqual([a["ok"] for a in answers], [False, False, False])
        self.assertTrue(all(a["error"].endswith("(0x80070178)") for a in answers), answers)
        self.assertEqual(self.engine.stats.failed, 3)
        self.assertEqual([step for step, _ in self.log], ["fetch"] * 3)
        for (_, text), why in zip(self.log, ["deleted from the store", "no longer has the placeholder's size",
                                             "not an identity of this store"]):
            self.assertIn(why, text)


class Pieces(unittest.TestCase):
    def test_sample_tree(self):
        with tempfile.TemporaryDirectory() as top:
            demo.generate_sample(top, 30, 2)
            entries = list(demo.RemoteStore(top).walk())
            files = {e[0]: e[2] for e in entries if not e[1]}
            self.assertEqual(len(files), 31)
            self.assertEqual(files[demo.BIG_NAME], 2 * MIB + 12345)
            self.assertTrue(all(size > 0 for size in files.values()))
            seen = set()
            for identity, is_folder, _, _ in entries:  # every folder comes before its content
                if "/" in identity:
                    self.assertIn(identity.rsplit("/", 1)[0], seen)
                seen.add(identity)
            with open(os.path.join(top, demo.BIG_NAME), "rb") as f:
                f.seek(MIB + 4096)
                self.assertEqual(int.from_bytes(f.read(8), "little"), MIB + 4096)

    def test_store_rejects_identities_outside_it(self):
        store = demo.RemoteStore("/nowhere")
        for identity in ["", "../x", "a//b", "a/./b", "/etc/passwd", "a\\..\\b"]:
            with self.subTest(identity=identity), self.assertRaises(FileNotFoundError):
                store.open(identity)
        store.upload("up.txt", b"abc")
        self.assertEqual(store.open("up.txt").read(), b"abc")

    def test_trace_shortens_base64(self):
        line = b'{"b64":"' + base64.b64encode(bytes(3000)) + b'","cmd":"data","offset":0,"req":1,"seq":2}'
        self.assertEqual(demo.shorten(line), b'{"b64":"' + b"A" * 48 + b'...(4000 characters)","cmd":"data","offset":0,"req":1,"seq":2}')
        self.assertEqual(demo.shorten(b'{"b64":"QUJD","cmd":"data"}'), b'{"b64":"QUJD","cmd":"data"}')

    def test_arguments(self):
        args = demo.parse_args(["--helper", "/bin/true", "--files", "5", "--big-mib", "1", "--keep"])
        self.assertEqual((args.files, args.big_mib, args.keep, args.batch), (5, 1, True, 200))
        with open(os.devnull, "w") as null:
            saved, sys.stderr = sys.stderr, null
            try:
                with self.assertRaises(SystemExit):
                    demo.parse_args(["--helper", "/bin/true", "--batch", "0"])
            finally:
                sys.stderr = saved


class WholeRun(unittest.TestCase):
    def run_demo(self, tmp, *args):
        if not on_linux():
            self.skipTest("the demo drives the Windows build from Windows")
        program_argv()
        env = dict(os.environ, XDG_STATE_HOME=os.path.join(tmp, "state"), TMPDIR=tmp)
        run = subprocess.run([sys.executable, os.path.join(EXAMPLES, "demo_sync_engine.py"), "--helper", PROGRAM,
                              "--timeout", "60"] + list(args), env=env, capture_output=True, text=True, timeout=120)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        return run

    def test_tiny_tree_whose_largest_file_is_nested(self):
        with tempfile.TemporaryDirectory() as tmp:
            run = self.run_demo(tmp, "--files", "3", "--big-mib", "2")
            self.assertIn("all as expected", run.stdout)

    def test_demo_on_a_small_tree(self):
        with tempfile.TemporaryDirectory() as tmp:
            root = os.path.join(tmp, "root")
            run = self.run_demo(tmp, "--files", "40", "--big-mib", "3", "--batch", "16", "--root", root)
            summary = run.stdout.splitlines()[-1]
            self.assertTrue(summary.startswith("summary: "), summary)
            self.assertIn("all as expected", summary)
            self.assertIn(" 53 placeholders;", summary)  # 12 folders, 40 files and the big one
            self.assertRegex(summary, r" 1 failed, ")  # the vanished file, on purpose
            self.assertFalse(os.path.exists(root))
            self.assertEqual([n for n in os.listdir(tmp) if n.startswith("zcf-demo-")], [])
            # The registration is gone: the state directory lists no sync root.
            registry = os.path.join(tmp, "state", "zembra-cloud-files", "sync-roots.json")
            if os.path.exists(registry):
                with open(registry) as f:
                    self.assertNotIn("ZembraDemo", f.read())


if __name__ == "__main__":
    unittest.main()

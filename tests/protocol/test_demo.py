"""The demo sync engine (examples/demo_sync_engine.py): its connection class against the real
program, its fetch answers against a recording connection, and one whole run on a small tree."""

import base64
import os
import subprocess
import sys
import tempfile
import threading
import unittest

from harness import PROGRAM, WRAPPER, on_sim

EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "examples")
sys.path.insert(0, EXAMPLES)
import demo_sync_engine as demo  # noqa: E402

MIB = 1 << 20


def program_argv():
    if not PROGRAM:
        raise unittest.SkipTest("ZCF_PROGRAM is not set")
    return ([WRAPPER] if WRAPPER else []) + [PROGRAM]


class ConnectionAgainstProgram(unittest.TestCase):
    def setUp(self):
        self.state = tempfile.TemporaryDirectory()
        self.addCleanup(self.state.cleanup)
        env = dict(os.environ, XDG_STATE_HOME=self.state.name)
        self.lines = []
        self.conn = demo.Connection(program_argv(), env=env, trace=lambda d, line: self.lines.append((d, line)), timeout=30)
        self.addCleanup(self.conn.kill)

    def test_answers_are_matched_by_seq_and_errors_raise(self):
        self.assertIsInstance(self.conn.pid, int)
        answers = [self.conn.send("nothing-%d" % i) for i in range(50)]
        for i in reversed(range(50)):  # waited for in another order than sent
            self.assertEqual(answers[i].result(30), {"unknown": "nothing-%d" % i})
        with self.assertRaises(demo.CommandError) as caught:
            self.conn.request("pin", path="")  # nothing to open
        self.assertRegex(caught.exception.code, r"^0x8[0-9a-f]{7}$")
        self.assertTrue(caught.exception.error.endswith("(%s)" % caught.exception.code.upper().replace("0X", "0x")))
        self.assertEqual(self.conn.close(), 0)
        self.assertEqual(self.conn.problems, [])
        self.assertEqual(self.lines[0][0], "<")  # the ready line comes first, before any request
        self.assertEqual(sum(1 for d, _ in self.lines if d == ">"), 51)

    def test_data_lines_built_by_hand_are_valid_requests(self):
        # With no such fetch outstanding, the program answers "stale": the line was understood.
        answer = self.conn.send_data(7, 4096, bytes(range(256)) * 20)
        self.assertEqual(answer.result(30), {"stale": True})
        sent = self.lines[-1][1] if self.lines[-1][0] == ">" else self.lines[-2][1]
        self.assertTrue(sent.endswith(b"}\n"))
        self.assertEqual(self.conn.problems, [])

    def test_cancel_is_noted_at_once_and_dispatched(self):
        if not on_sim():
            self.skipTest("the simulation's fetch time-out setting")
        root = os.path.join(self.state.name, "root")
        os.makedirs(os.path.join(self.state.name, "zembra-cloud-files"))
        with open(os.path.join(self.state.name, "zembra-cloud-files", "sim.json"), "w") as f:
            f.write('{"fetchTimeoutMs":200}')  # the system gives up on a fetch unanswered for 0.2 s
        os.makedirs(root)
        fetched, cancelled, cancel_seen = [], [], threading.Event()
        self.conn.on("fetch", fetched.append)

        def on_cancel(event):
            cancelled.append((event, self.conn.cancelled(event["reqs"][0])))
            cancel_seen.set()
        self.conn.on("cancel", on_cancel)
        self.conn.request("register", root=root, id="Test!1!cancel")
        self.assertEqual(self.conn.request("create", items=[{"dir": root, "name": "f", "identity": "f", "size": 10}]),
                         {"failed": []})
        self.conn.request("connect", root=root)
        late = self.conn.send("hydrate", path=os.path.join(root, "f")).wait(30)
        self.assertFalse(late["ok"])
        self.assertNotIn("code", late)  # a late answer carries the error text only
        self.assertTrue(late["error"].endswith("(0x800701AA)"), late)
        self.assertTrue(cancel_seen.wait(30))  # before or after the late answer: both are possible
        self.assertEqual(len(fetched), 1)
        self.assertEqual(cancelled, [({"event": "cancel", "path": fetched[0]["path"], "reqs": [fetched[0]["req"]]}, True)])
        self.assertEqual(self.conn.send_data(fetched[0]["req"], 0, b"0123456789").result(30), {"stale": True})
        self.conn.forget(fetched[0]["req"])
        self.assertFalse(self.conn.cancelled(fetched[0]["req"]))
        self.conn.request("disconnect")
        self.conn.request("unregister", id="Test!1!cancel")
        self.assertEqual(self.conn.problems, [])

    def test_a_program_that_is_gone_answers_nothing(self):
        self.conn.kill()
        with self.assertRaises(demo.ConnectionClosed):
            self.conn.send("anything").wait(5)


class RecordingConnection:
    """Stands in for Connection: records requests and answers them at once."""

    def __init__(self, refuse_data_at=None):
        self.sent = []
        self.cancelled_reqs = set()
        self.refuse_data_at = refuse_data_at
        self.cancel_after_chunks = None

    def on(self, event, handler):
        pass

    def cancelled(self, req):
        return req in self.cancelled_reqs

    def forget(self, req):
        self.cancelled_reqs.discard(req)

    def _answer(self, response):
        answer = demo.Answer(len(self.sent), self.sent[-1][0])
        answer._resolve(dict(response, seq=answer.seq))
        return answer

    def send_data(self, req, offset, data):
        self.sent.append(("data", req, offset, data))
        if self.cancel_after_chunks is not None and sum(1 for s in self.sent if s[0] == "data") >= self.cancel_after_chunks:
            self.cancelled_reqs.add(req)
        if offset == self.refuse_data_at:
            return self._answer({"ok": False, "code": "0x8007017c", "error": "The cloud operation is invalid. (0x8007017C)"})
        return self._answer({"ok": True, "result": {}})

    def send(self, cmd, **args):
        self.sent.append((cmd, args))
        return self._answer({"ok": True, "result": {}})


class FetchAnswers(unittest.TestCase):
    def setUp(self):
        self.top = tempfile.TemporaryDirectory()
        self.addCleanup(self.top.cleanup)
        self.content = os.urandom(3 * MIB + 5000)
        with open(os.path.join(self.top.name, "f.bin"), "wb") as f:
            f.write(self.content)
        self.conn = RecordingConnection()
        self.log = []
        self.engine = demo.DemoEngine(self.conn, demo.RemoteStore(self.top.name), "/root", "id",
                                      lambda step, text: self.log.append((step, text)), 5)

    def fetch(self, offset, length, size=None, identity="f.bin", req=1):
        self.engine.on_fetch({"event": "fetch", "req": req, "identity": identity, "offset": offset, "length": length,
                              "fileSize": len(self.content) if size is None else size, "path": "/root/f.bin", "process": ""})
        return [s for s in self.conn.sent if s[0] == "data"], [s for s in self.conn.sent if s[0] == "fail"]

    def test_chunks_cover_the_required_range_up_to_end_of_file(self):
        data, fails = self.fetch(MIB, 4 * MIB)  # the required length reaches past the end of file
        self.assertEqual(fails, [])
        self.assertEqual([(d[2], len(d[3])) for d in data], [(MIB, MIB), (2 * MIB, MIB), (3 * MIB, 5000)])
        for _, _, offset, chunk in data:
            self.assertEqual(offset % demo.ALIGN, 0)
            self.assertEqual(chunk, self.content[offset:offset + len(chunk)])
        self.assertEqual(self.engine.stats.bytes, 2 * MIB + 5000)

    def test_a_range_inside_the_file_is_answered_exactly(self):
        data, _ = self.fetch(8192, 3 * 4096)
        self.assertEqual([(d[2], len(d[3])) for d in data], [(8192, 12288)])

    def test_vanished_changed_or_foreign_files_get_fail(self):
        self.engine.store.delete("f.bin")
        data, fails = self.fetch(0, 4096, req=1)
        self.assertEqual((len(data), fails), (0, [("fail", {"req": 1})]))
        self.engine.store.deleted.clear()
        _, fails = self.fetch(0, 4096, size=len(self.content) + 1, req=2)  # the stored file changed size
        self.assertEqual(fails[-1], ("fail", {"req": 2}))
        _, fails = self.fetch(0, 4096, identity="../f.bin", req=3)
        self.assertEqual(fails[-1], ("fail", {"req": 3}))
        self.assertEqual(self.engine.stats.failed, 3)

    def test_a_refused_chunk_fails_the_request(self):
        self.conn.refuse_data_at = MIB
        data, fails = self.fetch(0, len(self.content))
        self.assertEqual(fails, [("fail", {"req": 1})])

    def test_a_cancel_stops_the_transfer_between_chunks(self):
        self.conn.cancel_after_chunks = 2
        data, fails = self.fetch(0, len(self.content))
        self.assertEqual([d[2] for d in data], [0, MIB])
        self.assertEqual(fails, [])
        self.assertFalse(self.conn.cancelled(1))  # forgotten once dealt with


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
        if not on_sim():
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

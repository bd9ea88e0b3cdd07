"""Hydration end to end through the real program on the Linux platform: "hydrate", the "fetch",
"cancel" and "opened" events, and the parent's "data" and "fail" answers."""

import base64
import json
import os
import random
import unittest

from harness import Program, ProgramTest, on_linux

TIMED_OUT = "(0x800701AA)"          # ERROR_CLOUD_FILE_REQUEST_TIMEOUT
NOT_A_CLOUD_FILE = "(0x80070178)"  # what a failed transfer gives the waiting reader


def b64(data):
    return base64.b64encode(data).decode()


class Conversation(ProgramTest):
    """A program with a registered, connected sync root in its work directory."""

    settings = None  # system settings written before connecting

    def setUp(self):
        super().setUp()
        if self.settings is not None:
            sim_dir = os.path.join(self.p.state_dir, "zembra-cloud-files")
            os.makedirs(sim_dir, exist_ok=True)
            with open(os.path.join(sim_dir, "sim.json"), "w") as f:
                json.dump(self.settings, f)
        self.root = self.path("root")
        os.makedirs(self.root)
        self.assertEqual(self.p.request("register", root=self.root, id="hydration-test")["result"], {})
        self.assertEqual(self.p.request("connect", root=self.root)["result"], {})
        self.rng = random.Random(1234)

    def place(self, name, size, identity="id-1"):
        """Creates a placeholder and returns its path and the content the parent holds for it."""
        answer = self.p.request("create", items=[{"dir": self.root, "name": name, "size": size,
                                                  "identity": identity}])
        self.assertEqual(answer["result"], {"failed": []})
        return os.path.join(self.root, name), self.rng.randbytes(size)

    def hydrate(self, path, seq):
        self.p.send({"cmd": "hydrate", "seq": seq, "path": path})

    def late_answer(self, seq):
        """The late answer with `seq`, possibly already read while waiting for something else."""
        return self.p.wait_seq(seq)

    def data(self, req, content, offset, length):
        return self.p.request("data", req=req, offset=offset, b64=b64(content[offset:offset + length]))

    def answer(self, fetch, content, chunk, order=None):
        """Sends the bytes of one fetch in chunks; `order` reorders the chunk offsets."""
        end = min(fetch["fileSize"], fetch["offset"] + fetch["length"])
        offsets = list(range(fetch["offset"], end, chunk))
        for offset in (order(offsets) if order else offsets):
            self.assertEqual(self.data(fetch["req"], content, offset, min(chunk, end - offset))["result"], {})

    def on_disk(self, path):
        with open(path, "rb") as f:
            return f.read()

    def attrs(self, path):
        return self.p.request("attrs", path=path)["result"]


@unittest.skipUnless(on_linux(), "drives the Linux platform's Cloud Files rules")
class EndToEnd(Conversation):
    def test_one_chunk_hydrates_the_file(self):
        path, content = self.place("one.bin", 10000, identity="r\u00e9f-1")
        self.assertTrue(self.attrs(path)["onlineOnly"])
        self.hydrate(path, "h")
        opened = self.p.next_event("opened")
        self.assertEqual(opened, {"event": "opened", "path": os.path.realpath(path), "pid": self.p.ready["pid"]})
        fetch = self.p.next_event("fetch")
        # The first fetch of the process is request 1; the range is whole 4 KiB units.
        self.assertEqual(fetch["req"], 1)
        self.assertEqual((fetch["offset"], fetch["length"], fetch["fileSize"]), (0, 12288, 10000))
        self.assertEqual(fetch["identity"], "r\u00e9f-1")
        self.assertEqual(fetch["path"], os.path.realpath(path))
        self.assertTrue(fetch["process"])
        self.assertEqual(list(fetch), sorted(fetch))

        answer = self.data(1, content, 0, 10000)
        self.assertEqual(answer, {"ok": True, "result": {}, "seq": answer["seq"]})
        self.assertEqual(self.late_answer("h"), {"ok": True, "result": {}, "seq": "h"})
        self.assertEqual(self.on_disk(path), content)
        self.assertFalse(self.attrs(path)["onlineOnly"])
        self.assertEqual(self.data(1, content, 0, 4096)["result"], {"stale": True})

    def test_many_chunks_with_a_refused_one_in_between(self):
        path, content = self.place("many.bin", (1 << 20) + 123)
        self.hydrate(path, 1)
        fetch = self.p.next_event("fetch")
        self.assertEqual(fetch["length"], (1 << 20) + 4096)
        req = fetch["req"]
        self.assertEqual(self.data(req, content, 0, 65536)["result"], {})
        # Content that is not strict Base64 is refused and sends nothing; the request stays.
        bad = self.p.request("data", req=req, offset=65536, b64=b64(content[65536:131072])[:-1])
        self.assertEqual((bad["ok"], bad["code"]), (False, "0x80070057"))
        # A chunk the platform refuses (not 4 KiB aligned) leaves the request outstanding too.
        self.assertEqual(self.data(req, content, 65537, 4096)["code"], "0x8007017c")
        end = fetch["fileSize"]
        for offset in range(65536, end, 65536):
            self.assertEqual(self.data(req, content, offset, min(65536, end - offset))["result"], {})
        self.assertEqual(self.late_answer(1), {"ok": True, "result": {}, "seq": 1})
        self.assertEqual(self.on_disk(path), content)
        self.assertFalse(self.attrs(path)["onlineOnly"])

    def test_chunks_in_any_order_hydrate_the_file(self):
        path, content = self.place("l.bin", 5 * 8192 + 77)
        self.hydrate(path, "l")
        fetch = self.p.next_event("fetch")
        # The chunk that reaches the end first, then the earlier ones backwards: none is stale.
        self.answer(fetch, content, 8192, order=lambda offsets: offsets[::-1])
        self.assertEqual(self.late_answer("l"), {"ok": True, "result": {}, "seq": "l"})
        self.assertEqual(self.on_disk(path), content)
        self.assertEqual(self.data(fetch["req"], content, 0, 8192)["result"], {"stale": True})

    def test_two_hydrations_at_once_answered_in_reverse(self):
        first, first_content = self.place("a.bin", 50000)
        second, second_content = self.place("b.bin", 70000)
        self.hydrate(first, "a")
        self.hydrate(second, "b")
        fetches = {}
        while len(fetches) < 2:
            fetch = self.p.next_event("fetch")
            fetches[os.path.basename(fetch["path"])] = fetch
        self.answer(fetches["b.bin"], second_content, 16384)
        self.assertEqual(self.late_answer("b"), {"ok": True, "result": {}, "seq": "b"})
        self.answer(fetches["a.bin"], first_content, 8192)
        self.assertEqual(self.late_answer("a"), {"ok": True, "result": {}, "seq": "a"})
        self.assertEqual(self.on_disk(first), first_content)
        self.assertEqual(self.on_disk(second), second_content)

    def test_fail_after_one_chunk_fails_the_hydration(self):
        path, content = self.place("f.bin", 40000)
        self.hydrate(path, {"k": [1, 2]})
        fetch = self.p.next_event("fetch")
        self.assertEqual(self.data(fetch["req"], content, 0, 8192)["result"], {})
        self.assertEqual(self.p.request("fail", req=fetch["req"])["result"], {})
        late = self.late_answer({"k": [1, 2]})
        self.assertEqual(sorted(late), ["error", "ok", "seq"])
        self.assertIs(late["ok"], False)
        self.assertTrue(late["error"].endswith(NOT_A_CLOUD_FILE), late)
        self.assertEqual(self.p.request("fail", req=fetch["req"])["result"], {"stale": True})
        self.assertEqual(self.data(fetch["req"], content, 8192, 8192)["result"], {"stale": True})
        self.assertTrue(self.attrs(path)["onlineOnly"])


@unittest.skipUnless(on_linux(), "drives the Linux platform's Cloud Files rules")
class TimeOut(Conversation):
    settings = {"fetchTimeoutMs": 400}

    def test_unanswered_fetch_is_cancelled_and_its_id_is_stale(self):
        path, content = self.place("t.bin", 8192)
        self.hydrate(path, "t")
        fetch = self.p.next_event("fetch")
        cancel = self.p.next_event("cancel")
        self.assertEqual(cancel, {"event": "cancel", "path": os.path.realpath(path), "reqs": [fetch["req"]]})
        late = self.late_answer("t")
        self.assertEqual(late["ok"], False)
        self.assertTrue(late["error"].endswith(TIMED_OUT), late)
        self.assertEqual(self.data(fetch["req"], content, 0, 8192)["result"], {"stale": True})
        self.assertEqual(self.p.request("fail", req=fetch["req"])["result"], {"stale": True})


@unittest.skipUnless(on_linux(), "two programs share the platform's state on disk")
class TwoProcesses(Conversation):
    """The provider's program hydrates a file while a second program, on the same state directory,
    dehydrates it. Both work on the raw files."""

    settings = {"frontEnd": "simulated"}

    IN_USE = "0x80070187"  # ERROR_CLOUD_FILE_IN_USE

    def setUp(self):
        super().setUp()
        self.other = Program(state_dir=self.p.state_dir)
        self.addCleanup(self.other.kill)

    def test_no_dehydration_while_a_read_waits_and_no_stale_presence_after(self):
        size = 256 * 1024
        path, content = self.place("shared.bin", size)
        self.hydrate(path, "h")
        fetch = self.p.next_event("fetch")
        self.assertEqual(self.data(fetch["req"], content, 0, 65536)["result"], {})
        refused = self.other.request("dehydrate", path=path)
        self.assertEqual((refused["ok"], refused.get("code")), (False, self.IN_USE), refused)
        for offset in range(65536, size, 65536):
            self.assertEqual(self.data(fetch["req"], content, offset, 65536)["result"], {})
        self.assertEqual(self.late_answer("h"), {"ok": True, "result": {}, "seq": "h"})
        self.assertEqual(self.on_disk(path), content)
        self.assertFalse(self.other.request("attrs", path=path)["result"]["onlineOnly"])

        # No read waits now: the other program dehydrates, and the provider's program reads that
        # from the file, fetching the whole content again.
        self.assertEqual(self.other.request("dehydrate", path=path)["result"], {})
        self.assertTrue(self.attrs(path)["onlineOnly"])
        self.hydrate(path, "again")
        fetch = self.p.next_event("fetch")
        self.assertEqual((fetch["offset"], fetch["length"]), (0, size))
        self.answer(fetch, content, 65536)
        self.assertEqual(self.late_answer("again"), {"ok": True, "result": {}, "seq": "again"})
        self.assertEqual(self.on_disk(path), content)


class HydrateRequests(ProgramTest):
    def test_missing_path_and_seq_forms(self):
        missing = self.path("missing.bin")
        self.p.send({"cmd": "hydrate", "seq": 5, "path": missing})
        self.p.send({"cmd": "hydrate", "path": missing})
        self.p.send({"cmd": "hydrate", "seq": {"z": 1, "a": None}, "path": missing})
        self.p.send({"cmd": "x", "seq": 6})
        lines = [self.p.read_line() for _ in range(4)]
        # The first line of a "hydrate" is its late answer; here they come before the next response.
        answers = [json.loads(line) for line in lines]
        late = [a for a in answers if a.get("seq") != 6]
        self.assertEqual(sorted(json.dumps(a["seq"]) for a in late), ['5', 'null', '{"a": null, "z": 1}'])
        for line, answer in zip(lines, answers):
            if answer.get("seq") == 6:
                continue
            self.assertEqual(sorted(answer), ["error", "ok", "seq"])
            self.assertIs(answer["ok"], False)
            self.assertTrue(answer["error"].endswith(" (0x80070002)"), answer)
            if isinstance(answer["seq"], dict):
                self.assertTrue(line.endswith(b'"seq":{"a":null,"z":1}}'), line)

    def test_without_path_fails_late(self):
        self.p.send({"cmd": "hydrate", "seq": "p"})
        answer = self.p.read_json()
        self.assertEqual((answer["seq"], answer["ok"], "code" in answer), ("p", False, False))


if __name__ == "__main__":
    unittest.main()


@unittest.skipUnless(on_linux(), "counts the program's threads through /proc")
class BoundedWorkers(Conversation):
    """Thousands of "hydrate" requests at once: a few workers, one answer each."""

    def threads(self):
        return len(os.listdir("/proc/%d/task" % self.p.proc.pid))

    def test_a_parent_may_hold_sixty_four_fetches_before_it_answers(self):
        # A parent that gathers a batch of fetches (or waits on a slow store) before it answers
        # any: 64 hydrations are under way at once, each with its fetch out.
        files = [self.place("b%d" % i, 3000 + i) for i in range(64)]
        for n, (path, _) in enumerate(files):
            self.hydrate(path, "b%d" % n)
        fetches = [self.p.next_event("fetch") for _ in files]
        self.assertEqual(len({f["path"] for f in fetches}), 64)
        contents = {os.path.realpath(path): content for path, content in files}
        for f in fetches:
            content = contents[f["path"]]
            self.assertEqual(self.data(f["req"], content, 0, len(content))["result"], {})
        for n in range(64):
            self.assertEqual(self.late_answer("b%d" % n)["result"], {})

    def test_ten_thousand_hydrations_at_once(self):
        files = [self.place("f%d" % i, 5000 + i) for i in range(40)]
        contents = {os.path.realpath(path): content for path, content in files}
        requests = 10000
        self.p.send_raw("".join(json.dumps({"cmd": "hydrate", "seq": "h%d" % n, "path": files[n % 40][0]}) + "\n"
                                for n in range(requests)))
        answers, most_threads, served = {}, 0, 0
        while len(answers) < requests:
            # Lines read while waiting for a "data" answer are kept in pending_events.
            message = self.p.pending_events.pop(0) if self.p.pending_events else self.p.read_json()
            self.assertIsNotNone(message, "output ended")
            most_threads = max(most_threads, self.threads())
            if message.get("event") == "fetch":
                # Answered while the rest of the requests wait: each worker holds one file.
                content = contents[message["path"]]
                self.assertEqual(self.data(message["req"], content, 0, len(content))["result"], {})
                served += 1
            elif "seq" in message:
                self.assertNotIn(message["seq"], answers)
                answers[message["seq"]] = message
        self.assertEqual(len(answers), requests)
        self.assertTrue(all(a == {"seq": s, "ok": True, "result": {}} for s, a in answers.items()))
        # Every file was fetched; two workers on one file may each have asked for it.
        self.assertGreaterEqual(served, 40)
        # The main thread, the 64 hydrate workers, the Linux platform's callback threads (at most one
        # per callback running at once: a fetch and an open per worker) and the mount's few: a
        # bounded number, where a thread per request would make thousands.
        self.assertLessEqual(most_threads, 1 + 64 + 2 * 64 + 16, most_threads)

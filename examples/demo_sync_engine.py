#!/usr/bin/env python3
"""A small sync engine that drives zembra_cloud_files: the first parent a sync-engine author writes.

A local folder plays the remote store (a generated sample tree by default, or --remote DIR) and a
fresh folder becomes the sync root (or --root DIR). The engine walks the whole road: it registers
the root, creates placeholders for the remote tree, connects with "watch", lists the tree, hydrates a
file while answering "fetch" events with "data" chunks (and "progress" reports on long fetches),
pins a folder and hydrates what it holds, dehydrates a file, adopts a file created locally, applies
a new version of it from the store ("update" with "dehydrate", then reads it again), learns from the
program's change events that a user pinned a folder (it hydrates it), unpinned it (it dehydrates it)
and edited a file (it uploads it and marks it in sync), fails a fetch for a file that vanished from
the store, and finally disconnects and unregisters. Every step is checked; the exit code is 0 only when all went
as expected.

Runs unchanged on Linux (against build/native/zembra_cloud_files, the simulated platform) and on
Windows (against zembra_cloud_files.exe, with native Windows paths, so the placeholders can be
watched in Explorer; --pause keeps them there until Enter is pressed).

Python 3.9 or later, standard library only. It talks to the program through the Python client,
clients/python (the package zembra_cloud_files; ./scripts/demo puts it on PYTHONPATH, and the demo
finds it beside itself in the repository otherwise): its blocking SyncClient, whose event handlers
run on a thread of their own and whose answer_fetch answers a fetch in 1 MiB chunks.
"""

import argparse
import importlib.util
import io
import os
import queue
import random
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time

if importlib.util.find_spec("zembra_cloud_files") is None:  # run from the repository, the client not installed
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "clients", "python"))
from zembra_cloud_files import ALIGN, CommandError, ErrorCode, Item, RenamedEvent, SyncClient, ZcfError  # noqa: E402

CHUNK = 1 << 20  # bytes per "data" request: large enough to keep the pipe busy, small enough to stay responsive
MIB = 1 << 20
PROGRESS_EVERY = 16  # chunks between two "progress" reports of a long fetch


# ---------------------------------------------------------------------------------------------
# The remote store: a local folder standing in for the cloud.
# ---------------------------------------------------------------------------------------------

class RemoteStore:
    """The "cloud". Identities are paths relative to the store with "/" separators. Deletions and
    uploads made during the run are kept in memory, so a folder given with --remote is never changed."""

    def __init__(self, top):
        self.top = os.path.abspath(top)
        self.deleted = set()
        self.uploaded = {}

    def local_path(self, identity):
        parts = identity.split("/")
        if not identity or any(p in ("", ".", "..") for p in parts) or any(os.sep in p or "\\" in p for p in parts):
            raise FileNotFoundError("not an identity of this store: %r" % identity)
        return os.path.join(self.top, *parts)

    def open(self, identity):
        if identity in self.deleted:
            raise FileNotFoundError("deleted from the store: %s" % identity)
        if identity in self.uploaded:
            return io.BytesIO(self.uploaded[identity])
        return open(self.local_path(identity), "rb")

    def size(self, identity):
        if identity in self.uploaded:
            return len(self.uploaded[identity])
        return os.path.getsize(self.local_path(identity))

    def delete(self, identity):
        self.deleted.add(identity)

    def upload(self, identity, content):
        self.uploaded[identity] = content
        self.deleted.discard(identity)

    def walk(self):
        """(identity, is_folder, size, mtime_ms) for every entry, each folder before its content."""
        for top, dirs, files in os.walk(self.top):
            dirs.sort()
            rel = os.path.relpath(top, self.top)
            prefix = "" if rel == os.curdir else rel.replace(os.sep, "/") + "/"
            for name in dirs:
                st = os.stat(os.path.join(top, name))
                yield prefix + name, True, 0, int(st.st_mtime * 1000)
            for name in sorted(files):
                st = os.stat(os.path.join(top, name))
                yield prefix + name, False, st.st_size, int(st.st_mtime * 1000)


SAMPLE_FOLDERS = ["Documents", "Documents/Reports", "Documents/Reports/2024", "Music", "Music/Live",
                  "Photos", "Photos/Family", "Photos/Holiday", "Projects", "Projects/alpha",
                  "Projects/alpha/src", "Projects/beta"]
SAMPLE_KINDS = {"Documents": "txt", "Music": "ogg", "Photos": "jpg", "Projects": "dat"}
BIG_NAME = "big-file.bin"


def generate_sample(top, files, big_mib, seed=1):
    """Writes a sample tree: `files` small files in nested folders and one big file of about
    `big_mib` MiB. Content is pseudo-random and deterministic; every 4 KiB page of the big file starts
    with its own offset, so a chunk written to the wrong place cannot go unnoticed."""
    rng = random.Random(seed)
    for folder in SAMPLE_FOLDERS:
        os.makedirs(os.path.join(top, *folder.split("/")), exist_ok=True)
    for i in range(files):
        folder = SAMPLE_FOLDERS[i % len(SAMPLE_FOLDERS)]
        kind = SAMPLE_KINDS[folder.split("/")[0]]
        roll = rng.random()
        if roll < 0.75:
            size = rng.randint(1, 32 * 1024)
        elif roll < 0.95:
            size = rng.randint(32 * 1024, 512 * 1024)
        else:
            size = rng.randint(512 * 1024, 3 * MIB)
        with open(os.path.join(top, *folder.split("/"), "item-%04d.%s" % (i, kind)), "wb") as f:
            f.write(_random_bytes(rng, size))
    block = bytearray(_random_bytes(rng, MIB))
    with open(os.path.join(top, BIG_NAME), "wb") as f:
        for mib in range(big_mib):
            for page in range(0, MIB, ALIGN):
                block[page:page + 8] = (mib * MIB + page).to_bytes(8, "little")
            f.write(block)
        f.write(_random_bytes(rng, 12345))  # a tail that ends off a 4 KiB boundary


def _random_bytes(rng, n):
    return rng.getrandbits(n * 8).to_bytes(n, "little") if n else b""


# ---------------------------------------------------------------------------------------------
# The engine.
# ---------------------------------------------------------------------------------------------

class Stats:
    def __init__(self):
        self.lock = threading.Lock()
        self.fetches = 0
        self.chunks = 0
        self.bytes = 0
        self.stale = 0
        self.failed = 0
        self.cancels = 0
        self.opened = 0
        self.progress = 0  # "progress" reports the program took
        self.changes = 0  # "changed" events
        self.tree_events = 0  # "created", "deleted", "renamed", "rescan"
        self.replacements = 0  # edits saved by replacement, uploaded and adopted


class DemoEngine:
    def __init__(self, conn, store, root, sync_root_id, log, timeout):
        self.conn = conn
        self.store = store
        self.root = root
        self.id = sync_root_id
        self.log = log
        self.timeout = timeout
        self.stats = Stats()
        self.failures = []
        self.items = 0  # placeholders created
        self.hydrations = 0  # "hydrate" requests that succeeded
        self.hydrate_bytes = 0  # the biggest file, hydrated on its own
        self.hydrate_seconds = 0.0
        self.front_end = None  # "info": "fuse" means any program's read fetches, as on Windows
        self.pending_paths = queue.Queue()  # paths whose state changed, for the reconciling thread
        self.queued = set()  # the paths in it
        self.replaced = {}  # path -> identity: placeholders a rename replaced with a plain file
        conn.on("fetch", self.on_fetch)
        conn.on("cancel", self.on_cancel)
        conn.on("opened", self.on_opened)
        conn.on("changed", self.on_changed)
        for event in ("created", "deleted", "renamed", "rescan"):
            conn.on(event, self.on_tree_event)

    # ---- the three events ----
    def on_fetch(self, event):
        """Answers one "fetch" from the store with the client's answer_fetch: the bytes from offset to
        the required end (offset + length, but no further than the end of file) in 1 MiB chunks, with a
        "progress" report before every 16th chunk of a long fetch; "fail" when the store cannot
        supply them."""
        identity, offset, end = event.identity, event.offset, event.end
        with self.stats.lock:
            self.stats.fetches += 1
        try:
            if self.store.size(identity) != event.file_size:
                raise OSError("the stored file no longer has the placeholder's size")
            stored = self.store.open(identity)
        except OSError as e:
            self.log("fetch", "%s: cannot supply bytes %d-%d (%s): fail" % (identity, offset, end, e))
            self.fail(event.req)
            return

        def read(at, length):  # called on a worker thread of the client, one chunk at a time
            stored.seek(at)
            return stored.read(length)
        with stored:
            result = self.conn.answer_fetch(event, read, chunk_size=CHUNK, progress_every=PROGRESS_EVERY)
        with self.stats.lock:
            self.stats.chunks += result.chunks
            self.stats.bytes += result.bytes
            self.stats.stale += result.stale  # cancelled meanwhile: the program dropped the request
            self.stats.progress += result.progress_reports
            self.stats.failed += result.fail_sent
        if isinstance(result.error, CommandError):
            self.log("fetch", '%s: "data" refused: %s: fail' % (identity, result.error.message))
        elif result.error is not None:
            self.log("fetch", "%s: cannot supply bytes %d-%d (%s): fail" % (identity, offset, end, result.error))

    def fail(self, req):
        with self.stats.lock:
            self.stats.failed += 1
        self.conn.fail(req)

    def on_cancel(self, event):
        # The program has already forgotten these requests; a "data" still on its way gets the
        # "stale" result, which is harmless. Nothing to undo here.
        with self.stats.lock:
            self.stats.cancels += 1
        self.log("cancel", "%s: requests %s" % (event.path, event.reqs))

    def on_opened(self, event):
        with self.stats.lock:
            self.stats.opened += 1

    # ---- local changes (connected with "watch") ----
    def on_changed(self, event):
        """A path's attributes, pin state or content changed. Acting on it needs requests that wait
        (a "hydrate" waits for the fetches this very thread answers), so the path goes to the
        reconciling thread."""
        with self.stats.lock:
            self.stats.changes += 1
            if event.path in self.queued:
                return
            self.queued.add(event.path)
        self.pending_paths.put(event.path)

    def on_tree_event(self, event):
        # A full engine uploads created files, deletes removed ones from the store, renames them
        # there, and runs "scan" again on "rescan". The demo makes those changes itself and counts
        # them, but for one: a rename onto a file the store has is an edit saved by replacement
        # (sed -i, most editors). The program names the identity it replaced where it can; the
        # engine's own records say it elsewhere.
        with self.stats.lock:
            self.stats.tree_events += 1
        if isinstance(event, RenamedEvent):
            path = self.path_of_event(event.path)
            identity = event.replaced_identity or self.recorded_identity(path)
            if identity is not None:
                with self.stats.lock:
                    self.replaced[path] = identity
                self.pending_paths.put(event.path)

    def reconcile_loop(self):
        while True:
            path = self.pending_paths.get()
            if path is None:
                return
            with self.stats.lock:
                self.queued.discard(path)
            try:
                self.reconcile(self.path_of_event(path))
            except (ZcfError, OSError, TimeoutError) as e:
                self.log("watch", "%s: %s" % (path, e))

    def path_of_event(self, path):
        """Events name files as "fetch" does: on Windows from the volume root, without the drive."""
        return os.path.splitdrive(self.root)[0] + path if os.name == "nt" else path

    def reconcile(self, path):
        """Brings one file in line with the state it has now. Idempotent: the state is read afresh
        rather than taken from the event, and a file already as its state asks is left alone. The
        program reports its own changes too (a hydration that finished, a dehydration), and those
        events end here with nothing to do."""
        a = self.conn.attrs(path)
        if not a.exists or a.is_dir:
            return  # gone again, or a folder: its files have events of their own
        if a.pinned and a.online_only:
            try:
                self.conn.hydrate(path)
                self.hydrations += 1
            except CommandError:
                pass
        elif a.unpinned and not a.online_only and a.in_sync:
            self.conn.dehydrate(path)
        elif not a.in_sync and a.identity is not None and not a.online_only:
            self.upload(path, a.identity)
        elif a.identity is None and path in self.replaced:
            # A placeholder replaced by a plain file: upload the edit, then make the file the
            # placeholder of that identity again.
            with self.stats.lock:
                identity = self.replaced.pop(path)
            with open(path, "rb") as f:
                self.store.upload(identity, f.read())
            self.conn.adopt(path, identity)
            with self.stats.lock:
                self.stats.replacements += 1

    def recorded_identity(self, path):
        """The identity this engine's records give the file at `path` (here, its path in the
        store), or None when the store has no such file."""
        rel = os.path.relpath(path, self.root)
        if rel.startswith(os.pardir):
            return None
        identity = rel.replace(os.sep, "/")
        try:
            self.store.size(identity)
        except (FileNotFoundError, OSError):
            return None
        return None if identity in self.store.deleted else identity

    def upload(self, path, identity):
        """A placeholder edited here: upload it, then mark it in sync unless it changed meanwhile."""
        usn = self.conn.insync(path, False)
        with open(path, "rb") as f:
            self.store.upload(identity, f.read())
        try:
            self.conn.insync(path, True, usn=usn)
        except CommandError as e:
            if e.code != ErrorCode.NOT_IN_SYNC:
                raise
            # Edited again while it was uploaded: that edit's event brings it here again.

    def wait_until(self, condition, seconds=None):
        deadline = time.monotonic() + (seconds or self.timeout)
        while not condition():
            if time.monotonic() > deadline:
                return False
            time.sleep(0.05)
        return True

    # ---- checks ----
    def expect(self, condition, what):
        if not condition:
            self.failures.append(what)
            self.log("FAILED", what)
        return condition

    def local(self, identity):
        return os.path.join(self.root, *identity.split("/"))

    def attrs(self, identity):
        return self.conn.attrs(self.local(identity))

    def scan(self):
        listing = self.conn.scan(self.root)
        # Relative paths use the platform's separator: "\" on Windows, "/" on Linux.
        to_identity = (lambda p: p.replace(os.sep, "/"))
        return ({to_identity(e.path): e.identity for e in listing.online_only},
                {to_identity(p) for p in listing.pinned},
                {to_identity(p) for p in listing.unpinned})

    def same_content(self, identity):
        with open(self.local(identity), "rb") as here, self.store.open(identity) as there:
            while True:
                a, b = here.read(CHUNK), there.read(CHUNK)
                if a != b:
                    return False
                if not a:
                    return True

    def hydrate(self, identity):
        """Hydrates one file and returns its late answer as {"ok": ..., "error": ...}. The fetches it
        causes are answered on the client's handler thread meanwhile."""
        try:
            self.conn.hydrate(self.local(identity))
        except CommandError as e:
            return {"ok": False, "error": e.message}
        self.hydrations += 1
        return {"ok": True}

    def read_with(self, argv, identity):
        """Runs an ordinary program (`cat`, `cp`) on a file in the sync root, as a user would: its
        reads become fetches, answered on the client's handler thread. Returns an answer-like dict."""
        with tempfile.TemporaryFile() as err:
            code = subprocess.run(argv + [self.local(identity)], stdout=subprocess.DEVNULL, stderr=err,
                                  timeout=self.timeout).returncode
            err.seek(0)
            return {"ok": code == 0, "error": err.read().decode(errors="replace").strip()}

    def hydrate_all(self, identities, parallel=8):
        """Hydrates files with at most `parallel` "hydrate" requests outstanding. Their late answers
        come in any order; each is matched to its request by "seq"."""
        outstanding, failed = [], []

        def settle(identity, answer):
            try:
                answer.result(self.timeout)
                self.hydrations += 1
            except CommandError:
                failed.append(identity)

        for identity in identities:
            outstanding.append((identity, self.conn.submit("hydrate", self.local(identity))))
            if len(outstanding) >= parallel:
                settle(*outstanding.pop(0))
        for identity, answer in outstanding:
            settle(identity, answer)
        return failed

    # ---- the road ----
    def run(self, batch, pause):
        entries = list(self.store.walk())
        files = {e[0]: e[2] for e in entries if not e[1]}
        folders = [e[0] for e in entries if e[1]]
        if not files:
            self.expect(False, "the remote store holds no files")
            return
        big = max(files, key=lambda i: (files[i], i))
        state = {"registered": False, "connected": False}
        reconciler = threading.Thread(target=self.reconcile_loop, name="reconcile", daemon=True)
        reconciler.start()
        try:
            self.road(entries, files, folders, big, batch, pause, state)
        finally:
            self.pending_paths.put(None)
            reconciler.join(self.timeout)
            if state["connected"]:
                self.conn.disconnect()
                self.log("disconnect", "done")
            if state["registered"]:
                self.conn.unregister(self.id)
                self.log("unregister", self.id)

    def road(self, entries, files, folders, big, batch, pause, state):
        log, expect = self.log, self.expect

        self.conn.register(self.root, self.id, name="Zembra Demo")
        state["registered"] = True
        log("register", "%s as %s" % (self.root, self.id))

        # Placeholders, in batches; folders come before their content (walk order), so a batch never
        # names a directory that does not exist yet.
        failed = []
        started = time.monotonic()
        for i in range(0, len(entries), batch):
            items = [placeholder_item(self.local(identity), identity, is_folder, size, mtime)
                     for identity, is_folder, size, mtime in entries[i:i + batch]]
            failed += self.conn.create(items)
        self.items = len(entries) - len(failed)
        requests = (len(entries) + batch - 1) // batch
        log("create", "%d placeholders (%d files, %d folders) in %d request%s, %.2f s" % (
            len(entries), len(files), len(folders), requests, "" if requests == 1 else "s", time.monotonic() - started))
        expect(not failed, "create: %d items failed, first %r" % (len(failed), failed[:1]))

        self.conn.connect(self.root, watch=True)
        state["connected"] = True
        info = self.conn.info()
        self.front_end = info.front_end
        log("connect", "%s, watching its changes (%s, front end %s, version %s)" % (
            self.root, info.platform, info.front_end, info.version))

        online, pinned, unpinned = self.scan()
        non_empty = {i for i, size in files.items() if size}
        log("scan", "%d online-only, %d pinned, %d unpinned" % (len(online), len(pinned), len(unpinned)))
        expect(non_empty <= set(online) <= set(files), "scan: every file is online-only")
        expect(all(online[p] == p for p in online), "scan: each online-only file carries its identity")
        expect(not pinned and not unpinned, "scan: nothing pinned or unpinned yet")

        a = self.attrs(big)
        log("attrs", "%s: onlineOnly %s, inSync %s, identity %r" % (big, a.online_only, a.in_sync, a.identity))
        expect(a.online_only and a.in_sync and a.identity == big, "attrs: a fresh placeholder is online-only and in sync")

        # Read the biggest file: with the Linux front end as a user would, with `cat`; otherwise with
        # "hydrate", whose answer comes late, after the fetches it causes.
        started = time.monotonic()
        reader = "cat" if self.front_end == "fuse" else "hydrate"
        answer = self.read_with(["cat"], big) if reader == "cat" else self.hydrate(big)
        self.hydrate_seconds, self.hydrate_bytes = time.monotonic() - started, files[big]
        log(reader, "%s: %s in %.2f s (%.0f MB/s)" % (
            big, size_text(files[big]), self.hydrate_seconds, files[big] / 1e6 / max(self.hydrate_seconds, 1e-9)))
        expect(answer.get("ok"), "hydrate %s: %s" % (big, answer.get("error")))
        if files[big] > CHUNK:
            expect(self.stats.progress > 0, "progress: the fetches of %s reported progress" % big)
        a = self.attrs(big)
        expect(not a.online_only, "attrs: a hydrated file is not online-only")
        expect(self.same_content(big), "hydrate: %s has the store's bytes" % big)
        log("verify", "%s: bytes match the store" % big)

        # Pin a folder, then hydrate what it holds, as a sync engine does for "always keep on this device".
        # Not the folder of the largest file: that one is dehydrated below, and pinned files cannot be.
        top_folders = [f for f in folders if "/" not in f and any(i.startswith(f + "/") for i in files)
                       and not big.startswith(f + "/")]
        pinned_files = []
        if top_folders:
            folder = min(top_folders, key=lambda f: (sum(s for i, s in files.items() if i.startswith(f + "/")), f))
            self.conn.pin(self.local(folder), "pinned")
            a = self.attrs(folder)
            expect(a.pinned and not a.unpinned, "attrs: the folder is pinned")
            pinned_files = sorted(i for i in files if i.startswith(folder + "/"))
            started = time.monotonic()
            failed = self.hydrate_all(pinned_files)
            log("pin", "%s: pinned, %d files hydrated in %.2f s" % (folder, len(pinned_files) - len(failed), time.monotonic() - started))
            expect(not failed, "hydrate: files of the pinned folder: %d failed, first %r" % (len(failed), failed[:1]))
            bad = [i for i in pinned_files if not self.same_content(i)]
            expect(not bad, "hydrate: %d files of the pinned folder differ from the store, first %r" % (len(bad), bad[:1]))
            online, pinned, unpinned = self.scan()
            below = {e[0] for e in entries if e[0].startswith(folder + "/")}
            expect(pinned == below | {folder}, "scan: the pinned folder and everything below it are pinned")
            expect(not set(pinned_files) & set(online), "scan: the pinned folder's files are no longer online-only")
            log("scan", "%d online-only, %d pinned, %d unpinned" % (len(online), len(pinned), len(unpinned)))
        else:
            log("pin", "skipped: no top-level folder holds files without the largest one")

        self.conn.dehydrate(self.local(big))
        a = self.attrs(big)
        log("dehydrate", "%s: onlineOnly %s" % (big, a.online_only))
        expect(a.online_only and a.in_sync, "attrs: a dehydrated file is online-only again")

        # A file created here: upload it, then adopt it as the placeholder of what was uploaded.
        adopted = "Created here.txt"
        content = ("Written in the sync root at %s.\n" % time.ctime()).encode("utf-8")
        with open(self.local(adopted), "wb") as f:
            f.write(content)
        a = self.attrs(adopted)
        expect(not a.in_sync and a.identity is None, "attrs: a new local file is no placeholder yet")
        self.store.upload(adopted, content)
        self.conn.adopt(self.local(adopted), adopted)
        a = self.attrs(adopted)
        log("adopt", "%s: inSync %s, identity %r, onlineOnly %s" % (adopted, a.in_sync, a.identity, a.online_only))
        expect(a.in_sync and a.identity == adopted and not a.online_only, "attrs: an adopted file is an in-sync placeholder")

        # The store gets a new version of a file the user has here: the placeholder takes its size, time
        # and identity and drops the old bytes, on condition that nobody changed it locally ("ifInSync";
        # a refusal would mean a conflict to resolve). The next read fetches the new version.
        changed = adopted
        new_content = content + ("Changed in the store at %s.\n" % time.ctime()).encode("utf-8")
        self.store.upload(changed, new_content)
        usn = self.conn.update(self.local(changed), identity=changed, size=len(new_content),
                               mtime_ms=int(time.time() * 1000), dehydrate=True, in_sync=True, if_in_sync=True)
        a = self.attrs(changed)
        expect(a.online_only and a.in_sync, "attrs: an updated file is online-only until it is read again")
        if self.front_end == "fuse":
            copy = tempfile.mkdtemp(prefix="zcf-demo-copy-")
            answer = self.read_with(["cp", "-t", copy], changed)  # cp reads it, as a user's copy would
            shutil.rmtree(copy, ignore_errors=True)
        else:
            answer = self.hydrate(changed)
        expect(answer.get("ok") and self.same_content(changed), "update: a read after it brings the new version")
        log("update", "%s: new version from the store (usn %d), read again: %s" % (
            changed, usn, "new bytes" if self.same_content(changed) else "old bytes"))

        self.changes_made_here(files, folders, big, pinned_files, adopted)

        # A file that vanished from the store: its fetch gets "fail", so the hydration fails.
        candidates = sorted((s, i) for i, s in files.items() if s and i != big and i not in pinned_files)
        if candidates:
            gone = candidates[0][1]
            self.store.delete(gone)
            answer = self.hydrate(gone)
            log("fail", "%s vanished from the store: hydrate answered %s" % (gone, answer.get("error")))
            expect(not answer.get("ok"), "hydrate of a vanished file fails")
            expect(self.attrs(gone).online_only, "attrs: a file whose fetch failed stays online-only")

        online, pinned, unpinned = self.scan()
        expected = {i for i in non_empty if i not in pinned_files}
        expect(expected <= set(online) <= set(files) - set(pinned_files), "scan: the online-only files at the end")
        log("scan", "%d online-only, %d pinned, %d unpinned" % (len(online), len(pinned), len(unpinned)))

        if pause:
            log("pause", "the sync root stays connected at %s; press Enter to disconnect" % self.root)
            sys.stdin.readline()


    def changes_made_here(self, files, folders, big, pinned_files, adopted):
        """What a user does in the file manager; the engine learns it only from "changed" events."""
        log, expect = self.log, self.expect
        used = {i.split("/")[0] for i in [big] + pinned_files}
        candidates = [f for f in folders if "/" not in f and f not in used and any(i.startswith(f + "/") for i in files)]
        if candidates:
            folder = min(candidates, key=lambda f: (sum(s for i, s in files.items() if i.startswith(f + "/")), f))
            below = sorted(i for i in files if i.startswith(folder + "/") and files[i])
            started = time.monotonic()
            pin_from_outside(self.local(folder), True)
            hydrated = self.wait_until(lambda: not any(self.attrs(i).online_only for i in below))
            log("watch", "%s pinned from outside: %d files hydrated on its events in %.2f s" % (
                folder, len(below), time.monotonic() - started))
            expect(hydrated and all(self.same_content(i) for i in below),
                   "watch: the files of a folder pinned from outside are hydrated with the store's bytes")
            started = time.monotonic()
            pin_from_outside(self.local(folder), False)
            dehydrated = self.wait_until(lambda: all(self.attrs(i).online_only for i in below))
            log("watch", "%s unpinned from outside: %d files dehydrated on its events in %.2f s" % (
                folder, len(below), time.monotonic() - started))
            expect(dehydrated, "watch: the files of a folder unpinned from outside are dehydrated")
        else:
            log("watch", "pin from outside skipped: no other top-level folder holds files")

        with open(self.local(adopted), "ab") as f:
            f.write(b"Edited here.\n")
        with open(self.local(adopted), "rb") as f:
            edited = f.read()

        def uploaded():
            with self.store.open(adopted) as there:
                return there.read() == edited and self.attrs(adopted).in_sync
        expect(self.wait_until(uploaded), "watch: an edit made here is uploaded and marked in sync")
        log("watch", "%s edited here: uploaded and marked in sync on its event" % adopted)

        # Saved by replacement: sed -i writes a new file and renames it over the placeholder.
        if shutil.which("sed"):
            subprocess.run(["sed", "-i", "s/^Edited here\\.$/Edited here, then saved by replacement./",
                            self.local(adopted)], check=True)
            with open(self.local(adopted), "rb") as f:
                replaced = f.read()

            def adopted_again():
                a = self.attrs(adopted)
                with self.store.open(adopted) as there:
                    return there.read() == replaced and a.identity == adopted and a.in_sync
            expect(replaced != edited and self.wait_until(adopted_again),
                   "watch: an edit saved by replacement is uploaded and adopted under its identity")
            log("watch", "%s saved by replacement (sed -i): uploaded and adopted again" % adopted)


def pin_from_outside(folder, pinned):
    """What "Always keep on this device" (pinned) or "Free up space" does to a folder and everything
    in it: on Windows it sets the file attribute PINNED or UNPINNED, on Linux the attribute
    user.zcf.pin ("1" pinned, "2" unpinned). Nothing reaches the program as a request."""
    paths = []
    for top, dirs, names in os.walk(folder):
        paths += [top] + [os.path.join(top, n) for n in names]
    for path in paths:
        if os.name == "nt":
            import ctypes
            kernel32 = ctypes.windll.kernel32
            pinned_bit, unpinned_bit = 0x80000, 0x100000
            word = kernel32.GetFileAttributesW(path) & ~(pinned_bit | unpinned_bit)
            kernel32.SetFileAttributesW(path, word | (pinned_bit if pinned else unpinned_bit))
        else:
            os.setxattr(path, "user.zcf.pin", b"1" if pinned else b"2", follow_symlinks=False)


def placeholder_item(path, identity, is_folder, size, mtime_ms):
    """One item of "create": where, what name, and what comes back in "fetch" as "identity"."""
    return Item(os.path.dirname(path), os.path.basename(path), identity, folder=is_folder,
                size=0 if is_folder else size, mtime_ms=mtime_ms)


# ---------------------------------------------------------------------------------------------
# Command line.
# ---------------------------------------------------------------------------------------------

def default_program():
    here = os.path.dirname(os.path.abspath(__file__))
    names = ["zembra_cloud_files.exe"] if os.name == "nt" else ["zembra_cloud_files"]
    places = [here, os.path.join(here, os.pardir, "build", "windows" if os.name == "nt" else "native")]
    for place in places:
        for name in names:
            candidate = os.path.normpath(os.path.join(place, name))
            if os.path.isfile(candidate):
                return candidate
    return None


def default_sync_root_id():
    """Sync-root ids read provider!user!account on Windows; the user part is the account's SID."""
    user = str(os.getuid()) if hasattr(os, "getuid") else "S-1-0-0"
    if os.name == "nt":
        try:
            out = subprocess.run(["whoami", "/user", "/fo", "csv", "/nh"], capture_output=True, text=True, timeout=10).stdout
            user = out.strip().split(",")[-1].strip('"') or user
        except (OSError, subprocess.SubprocessError):
            pass
    return "ZembraDemo!%s!demo-%d" % (user, os.getpid())


def parse_args(argv):
    p = argparse.ArgumentParser(description="A demo sync engine that drives zembra_cloud_files.")
    p.add_argument("--helper", metavar="PATH", default=default_program(),
                   help="the zembra_cloud_files program (default: next to this script or in build/)")
    p.add_argument("--remote", metavar="DIR", help="a folder to serve as the remote store (never modified; default: a generated sample)")
    p.add_argument("--root", metavar="DIR", help="the sync root, new or empty (default: a fresh temporary folder)")
    p.add_argument("--files", type=int, default=300, metavar="N", help="small files in the generated sample (default 300)")
    p.add_argument("--big-mib", type=int, default=256, metavar="M", help="size of the generated big file in MiB (default 256)")
    p.add_argument("--batch", type=int, default=200, metavar="N", help='placeholders per "create" request (default 200)')
    p.add_argument("--id", help="the sync-root id (default ZembraDemo!<user>!demo-<pid>)")
    p.add_argument("--timeout", type=float, default=300.0, help="seconds to wait for any one answer (default 300)")
    p.add_argument("--keep", action="store_true", help="keep the generated store and the sync root folder")
    p.add_argument("--pause", action="store_true", help="wait for Enter before disconnecting (to look around in Explorer)")
    p.add_argument("--trace", action="store_true", help="print every line exchanged with the program (Base64 shortened)")
    args = p.parse_args(argv)
    if not args.helper:
        p.error("zembra_cloud_files not found; build it or give --helper PATH")
    if args.files < 0 or args.big_mib < 0 or args.batch < 1:
        p.error("--files and --big-mib must not be negative, --batch must be positive")
    return args


LONG_B64 = re.compile(rb'"b64":"([A-Za-z0-9+/=]{48})[A-Za-z0-9+/=]+"')


def shorten(line):
    """A trace line with long Base64 cut to its first characters and its length."""
    return LONG_B64.sub(lambda m: b'"b64":"' + m.group(1) + b'...(%d characters)"' % (len(m.group(0)) - 8), line)


def main(argv=None):
    args = parse_args(argv)
    started = time.monotonic()
    out_lock = threading.Lock()

    def log(step, text):
        with out_lock:
            print("%7.2fs  %-10s %s" % (time.monotonic() - started, step, text), flush=True)

    def trace(direction, line):
        with out_lock:
            sys.stdout.write("          %s %s\n" % (direction, shorten(line.rstrip(b"\r\n")).decode("utf-8", "replace")))
            sys.stdout.flush()

    root = os.path.abspath(args.root) if args.root else None
    if root and os.path.isdir(root) and os.listdir(root):
        print("the sync root must be new or empty: %s" % root, file=sys.stderr)
        return 2
    work = tempfile.mkdtemp(prefix="zcf-demo-")
    root_made = not (root and os.path.isdir(root))
    root = root or os.path.join(work, "root")
    os.makedirs(root, exist_ok=True)
    try:
        if args.remote:
            remote = os.path.abspath(args.remote)
        else:
            remote = os.path.join(work, "remote")
            generate_sample(remote, args.files, args.big_mib)
            log("store", "generated %d files and a %d MiB file in %s" % (args.files, args.big_mib, remote))
        try:
            conn = SyncClient(args.helper, trace=trace if args.trace else None, timeout=args.timeout,
                              ready_timeout=args.timeout)
        except (OSError, ZcfError) as e:
            print("cannot start %s: %s" % (args.helper, e), file=sys.stderr)
            return 2
        log("start", "%s, pid %s" % (args.helper, conn.pid))
        engine = DemoEngine(conn, RemoteStore(remote), root, args.id or default_sync_root_id(), log, args.timeout)
        return finish(engine, conn, args, started)
    finally:
        if args.keep:
            print("kept: store %s, sync root %s" % (args.remote or os.path.join(work, "remote"), root))
        else:
            remove(root if root_made else [os.path.join(root, n) for n in os.listdir(root)], log)
            remove(work, log)


def finish(engine, conn, args, started):
    """Runs the road, ends the program, prints the summary; the exit code of the demo."""
    code = None
    try:
        engine.run(args.batch, args.pause)
    except (ZcfError, TimeoutError) as e:
        engine.expect(False, str(e))
    finally:
        try:
            code = conn.close()
        except Exception:
            conn.kill()
    engine.expect(code == 0, "the program exits with 0 at the end of its input (got %s)" % code)
    for problem in conn.problems:
        engine.expect(False, problem)
    s = engine.stats
    print("summary: %d placeholders; %d hydrations, %d fetches, %d chunks, %s delivered; "
          "largest file %s in %.2f s (%.0f MB/s); %d progress reports; %d failed, %d cancelled, %d stale, %d opened; "
          "%d changed, %d other change events; %.1f s in all; %s" % (
              engine.items, engine.hydrations, s.fetches, s.chunks, size_text(s.bytes),
              size_text(engine.hydrate_bytes), engine.hydrate_seconds, engine.hydrate_bytes / 1e6 / max(engine.hydrate_seconds, 1e-9),
              s.progress, s.failed, s.cancels, s.stale, s.opened, s.changes, s.tree_events, time.monotonic() - started,
              "all as expected" if not engine.failures else "%d problems" % len(engine.failures)), flush=True)
    return 0 if not engine.failures else 1


def size_text(n):
    return "%.1f MiB" % (n / MIB) if n >= MIB else "%.1f KiB" % (n / 1024)


def remove(paths, log):
    """Removes folders and files this run made. Placeholders are ordinary files to delete once the
    root is disconnected and unregistered."""
    for path in [paths] if isinstance(paths, str) else paths:
        if os.path.isdir(path):
            shutil.rmtree(path, ignore_errors=True)
        elif os.path.exists(path):
            try:
                os.remove(path)
            except OSError:
                pass
        if os.path.exists(path):
            log("cleanup", "could not remove %s" % path)


if __name__ == "__main__":
    sys.exit(main())

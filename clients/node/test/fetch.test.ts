// The fetch helper against the real program: sources, chunking, failure, cancel and the
// automatic progress that keeps a slow fetch alive.
import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import { readFileSync, writeFileSync } from "node:fs";
import path from "node:path";
import { describe, it } from "node:test";
import { CloudFilesError, type FetchOutcome } from "../src/index.js";
import { dataChunks, open, pattern, sleep, until } from "./harness.js";

function outcomes() {
  const list: FetchOutcome[] = [];
  return { list, onOutcome: (outcome: FetchOutcome) => void list.push(outcome) };
}

describe("answering fetches", () => {
  it("serves memory, a file at an offset and a function in aligned chunks, exactly", async (t) => {
    const { client, root, dir, lines } = await open(t, { trace: true });
    const size = 300_001; // not a whole number of pages
    const content = pattern(size, 7);
    const pack = path.join(dir, "pack.bin");
    writeFileSync(pack, Buffer.concat([Buffer.alloc(12345, 0xee), content, Buffer.alloc(100, 0xee)]));
    await client.create(["memory", "file", "function"].map((name) => ({ dir: root, name, identity: name, size })));
    const asked: [number, number][] = [];
    const { list, onOutcome } = outcomes();
    client.serve(
      (fetch) => {
        if (fetch.identity === "memory") return content;
        if (fetch.identity === "file") return { path: pack, offset: 12345 };
        return async (offset: number, length: number) => {
          asked.push([offset, length]);
          await sleep(1);
          return content.subarray(offset, offset + length);
        };
      },
      { chunkSize: 64 << 10, onOutcome },
    );
    await client.connect(root);
    for (const name of ["memory", "file", "function"]) await client.hydrate(path.join(root, name));
    // The late answer of "hydrate" may come before the answer to the last chunk.
    await until(() => list.length === 3, 10_000, "three outcomes");
    for (const name of ["memory", "file", "function"]) {
      assert.ok(readFileSync(path.join(root, name)).equals(content), `${name} differs`);
    }
    assert.deepEqual(list.map((o) => [o.status, o.bytes]), [["completed", size], ["completed", size], ["completed", size]]);
    // 64 KiB chunks from 0; the last one ends at the end of the file.
    assert.deepEqual(asked.map(([offset]) => offset), Array.from({ length: 5 }, (_, i) => i * 65536));
    assert.equal(asked.at(-1)![0] + asked.at(-1)![1], size);
    for (const [, offset, bytes] of dataChunks(lines)) {
      assert.equal(offset % 4096, 0);
      assert.ok(bytes === 65536 || offset + bytes === size);
    }
  });

  it("fails the fetch when the source throws or holds too little", async (t) => {
    const { client, root } = await open(t);
    await client.create([
      { dir: root, name: "throws", identity: "throws", size: 5000 },
      { dir: root, name: "short", identity: "short", size: 5000 },
      { dir: root, name: "unknown", identity: "unknown", size: 5000 },
    ]);
    const { list, onOutcome } = outcomes();
    client.serve(
      (fetch) => {
        if (fetch.identity === "throws") return () => Promise.reject(new Error("the store is down"));
        if (fetch.identity === "short") return Buffer.alloc(4096);
        throw new Error("no such identity");
      },
      { onOutcome },
    );
    await client.connect(root);
    for (const name of ["throws", "short", "unknown"]) {
      const error = await client.hydrate(path.join(root, name)).catch((e: unknown) => e);
      assert.ok(error instanceof CloudFilesError && error.is("NOT_A_CLOUD_FILE"), `${name}: ${error}`);
      assert.equal((await client.attrs(path.join(root, name))).onlineOnly, true);
    }
    // The reader learns of the "fail" before the program answers it: the outcome may come later.
    await until(() => list.length === 3, 10_000, "three outcomes");
    assert.deepEqual(list.map((o) => o.status), ["failed", "failed", "failed"]);
    assert.match(String(list[0]!.error), /the store is down/);
    assert.ok(list[1]!.error instanceof RangeError);
    assert.match(String(list[2]!.error), /no such identity/);
  });

  it("stops on a cancel: the source's signal aborts and no chunk follows", async (t) => {
    const { client, root, lines } = await open(t, { settings: { fetchTimeoutMs: 800 }, trace: true });
    await client.create([{ dir: root, name: "slow", identity: "slow", size: 3 << 20 }]);
    let aborted: unknown;
    let calls = 0;
    const { list, onOutcome } = outcomes();
    client.serve(
      () => (offset: number, length: number, signal: AbortSignal) => {
        calls++;
        if (offset === 0) return Buffer.alloc(length, 1); // one chunk, then the store hangs
        return new Promise<Uint8Array>((_, reject) => {
          signal.addEventListener("abort", () => {
            aborted = signal.reason;
            reject(signal.reason);
          });
        });
      },
      { progressIntervalMs: 0, onOutcome },
    );
    await client.connect(root);
    const cancel = client.waitFor("cancel");
    const error = await client.hydrate(path.join(root, "slow")).catch((e: unknown) => e);
    assert.ok(error instanceof CloudFilesError && error.is("REQUEST_TIMEOUT"), String(error));
    const event = await cancel;
    await until(() => list.length > 0, 10_000, "the outcome");
    assert.equal(list[0]!.status, "cancelled");
    assert.equal(list[0]!.bytes, 1 << 20);
    assert.deepEqual(event.reqs, [list[0]!.req]);
    assert.ok(aborted instanceof Error && /cancelled/.test(aborted.message), String(aborted));
    assert.equal(calls, 2);
    assert.deepEqual(dataChunks(lines).map(([, offset]) => offset), [0]);
    assert.ok(!lines.some((l) => l.direction === ">" && l.text.includes('"cmd":"fail"')));
  });

  it("reports progress on its own so a slow source outlasts the system's timeout", async (t) => {
    for (const interval of [250, 0]) {
      const { client, root, lines } = await open(t, { settings: { fetchTimeoutMs: 1000 }, trace: true });
      const content = pattern(10_000);
      await client.create([{ dir: root, name: "slow", identity: "slow", size: content.length }]);
      const { list, onOutcome } = outcomes();
      client.serve(() => sleep(2500).then(() => content), { progressIntervalMs: interval, onOutcome });
      await client.connect(root);
      const result = await client.hydrate(path.join(root, "slow")).then(
        () => "hydrated",
        (e: CloudFilesError) => e.codeName,
      );
      await until(() => list.length > 0, 10_000, "the outcome");
      const reports = lines.filter((l) => l.direction === ">" && l.text.includes('"cmd":"progress"')).length;
      if (interval > 0) {
        assert.equal(result, "hydrated");
        assert.ok(reports >= 5, `${reports} progress reports`);
        assert.equal(list[0]!.progressReports, reports);
        assert.ok(readFileSync(path.join(root, "slow")).equals(content));
      } else {
        // Without the reports the same fetch times out: what the reports are for.
        assert.equal(result, "REQUEST_TIMEOUT");
        assert.equal(reports, 0);
        assert.equal(list[0]!.status, "cancelled");
      }
      await client.close();
    }
  });

  it("serves a read through the mount (cat)", async (t) => {
    const { client, root, fuse } = await open(t);
    if (!fuse) return t.skip("the program does not mount here");
    const content = pattern(3_000_000, 3);
    await client.create([{ dir: root, name: "big.bin", identity: "big", size: content.length }]);
    const fetches: number[] = [];
    client.on("fetch", (fetch) => void fetches.push(fetch.req));
    client.serve(() => content);
    await client.connect(root);
    const cat = spawn("cat", [path.join(root, "big.bin")], { stdio: ["ignore", "pipe", "inherit"] });
    const parts: Buffer[] = [];
    cat.stdout.on("data", (part: Buffer) => parts.push(part));
    const code = await new Promise((resolve) => cat.on("close", resolve));
    assert.equal(code, 0);
    assert.ok(Buffer.concat(parts).equals(content));
    assert.ok(fetches.length >= 1);
    assert.equal((await client.attrs(path.join(root, "big.bin"))).onlineOnly, false);
  });
});

// Events: change events of a watched root, "opened", handlers and iterators seeing the same
// stream, and handler faults kept away from the conversation.
import assert from "node:assert/strict";
import { execFile } from "node:child_process";
import { mkdirSync, renameSync, rmSync, writeFileSync } from "node:fs";
import path from "node:path";
import { describe, it } from "node:test";
import { promisify } from "node:util";
import type { CloudFilesEvent, ProblemInfo } from "../src/index.js";
import { open, pattern, until } from "./harness.js";

describe("events", () => {
  it("reports changes under a watched root, the same to handlers and to an iterator", async (t) => {
    const { client, root } = await open(t);
    await client.create([{ dir: root, name: "placeholder.txt", identity: "p", size: 100 }]);
    const handled: CloudFilesEvent[] = [];
    client.on("event", (event) => void handled.push(event));
    const iterated: CloudFilesEvent[] = [];
    const iteration = (async () => {
      for await (const event of client.events()) {
        iterated.push(event);
        if (event.event === "created" && event.folder) break;
      }
    })();
    await client.connect(root, { watch: true });

    const file = path.join(root, "notes.txt");
    const moved = path.join(root, "moved.txt");
    writeFileSync(file, "made here");
    await client.waitFor("changed", (e) => e.path === file, { timeoutMs: 10_000 });
    renameSync(file, moved);
    rmSync(moved);
    await client.pin(path.join(root, "placeholder.txt"), "pinned");
    const pinned = await client.waitFor("changed", (e) => e.pinned, { timeoutMs: 10_000 });
    mkdirSync(path.join(root, "Photos"));
    await iteration;

    assert.deepEqual(iterated, handled.slice(0, iterated.length));
    const tree = iterated.filter((e) => e.event !== "changed");
    assert.deepEqual(tree, [
      { event: "created", folder: false, path: file },
      { event: "renamed", from: file, path: moved },
      { event: "deleted", path: moved },
      { event: "created", folder: true, path: path.join(root, "Photos") },
    ]);
    assert.equal(pinned.path, path.join(root, "placeholder.txt"));
    assert.deepEqual([pinned.identity, pinned.onlineOnly, pinned.inSync], ["p", true, true]);
    assert.equal(typeof pinned.attributes, "number");
    const local = iterated.find((e) => e.event === "changed" && e.path === file);
    assert.ok(local && local.event === "changed" && local.identity === null && !local.inSync);
  });

  it("reports the reader of a placeholder: opened and fetch name its process", async (t) => {
    const { client, root, fuse } = await open(t);
    if (!fuse) return t.skip("the program does not mount here");
    const content = pattern(10_000);
    await client.create([{ dir: root, name: "a.txt", identity: "a", size: content.length }]);
    client.serve(() => content);
    const file = path.join(root, "a.txt");
    const opened = client.waitFor("opened", (e) => e.path === file);
    const fetched = client.waitFor("fetch", (e) => e.path === file);
    await client.connect(root);
    const { stdout } = await promisify(execFile)("cat", [file], { encoding: "buffer" });
    assert.ok(stdout.equals(content));
    assert.notEqual((await opened).pid, client.pid);
    assert.equal(path.basename((await fetched).process), "cat");
  });

  it("keeps a failing handler's fault to a problem event; other handlers still run", async (t) => {
    const { client, root } = await open(t);
    const problems: ProblemInfo[] = [];
    client.on("problem", (p) => void problems.push(p));
    client.on("created", () => {
      throw new Error("handler fault");
    });
    client.on("created", async () => {
      throw new Error("async handler fault");
    });
    let reached = 0;
    let onlyOnce = 0;
    client.on("created", () => void reached++);
    client.once("created", () => void onlyOnce++);
    await client.connect(root, { watch: true });
    writeFileSync(path.join(root, "x"), "x");
    writeFileSync(path.join(root, "y"), "y");
    await until(() => problems.length === 4, 10_000, "four problems");
    assert.equal(reached, 2);
    assert.equal(onlyOnce, 1);
    assert.match(problems.map((p) => p.message).join("\n"), /handler fault[^]*async handler fault/);
    assert.equal((await client.attrs(root)).attributes & 0x10, 0x10);
  });
});

// Folders on demand and confirmed deletes and renames: the typed "list", "deleting" and "renaming"
// events and the answers ("entries", "allow", "deny", "fail" of a listing), against a stand-in that
// speaks as the Windows program does; and the Linux build's refusals until it does the same.
import assert from "node:assert/strict";
import { chmodSync, mkdtempSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import path from "node:path";
import { describe, it, type TestContext } from "node:test";
import { CloudFiles, CloudFilesError, type DeletingEvent, type ListEvent, type RenamingEvent } from "../src/index.js";
import { open, until } from "./harness.js";

// On "connect" the stand-in asks what a program listing, deleting and renaming would make the system
// ask; it answers each request and echoes it back as an "echo" event, so the test sees the wire.
const STAND_IN = `
const out = (o) => process.stdout.write(JSON.stringify(o) + "\\n");
const answered = new Set();
out({ event: "ready", pid: process.pid });
require("readline").createInterface({ input: process.stdin }).on("line", (line) => {
  const r = JSON.parse(line);
  const { cmd, seq } = r;
  if (cmd === "info") return out({ ok: true, result: { frontEnd: "cloud-files", platform: "windows", version: "0.4.0" }, seq });
  if (cmd === "connect") {
    out({ ok: true, result: {}, seq });
    out({ event: "echo", sent: r });
    out({ event: "list", identity: "docs", path: "\\\\r\\\\Docs", pattern: "*", process: "x.exe", req: 1 });
    out({ event: "deleting", folder: false, identity: "a", path: "\\\\r\\\\a.txt", req: 2 });
    out({ event: "renaming", folder: true, identity: "d", path: "\\\\r\\\\D", req: 3, target: "\\\\x\\\\D", targetInRoot: false });
    return;
  }
  if (cmd === "deny" && r.req === 9) {
    return out({ code: "0x8007017c", error: "The cloud operation is invalid. (0x8007017C)", ok: false, seq });
  }
  if (["entries", "allow", "deny", "fail"].includes(cmd)) {
    if (answered.has(r.req)) return out({ ok: true, result: { stale: true }, seq });
    answered.add(r.req);
    const failed = (r.items || []).filter((i) => i.name === "taken").map((i) => ({
      dir: "\\\\r\\\\Docs", error: "Cannot create a file when that file already exists. (0x800700B7)", name: i.name }));
    out({ ok: true, result: cmd === "entries" ? { failed } : {}, seq });
  } else {
    out({ ok: true, result: { failed: [], usn: 1 }, seq });
  }
  out({ event: "echo", sent: r });
});`;

function standIn(t: TestContext): string {
  const dir = mkdtempSync(path.join(tmpdir(), "zcf-node-stand-in-"));
  t.after(() => rmSync(dir, { recursive: true, force: true }));
  const file = path.join(dir, "stand-in");
  writeFileSync(file, `#!${process.execPath}\n${STAND_IN}\n`);
  chmodSync(file, 0o755);
  return file;
}

describe("folders on demand and confirmations (stand-in)", () => {
  it("types the events and sends the answers as the protocol has them", async (t) => {
    const client = await CloudFiles.start({ program: standIn(t) });
    t.after(() => client.close());
    const echoes: Record<string, unknown>[] = [];
    client.on("event", (e) => {
      if ((e as { event: string }).event === "echo") echoes.push((e as unknown as { sent: Record<string, unknown> }).sent);
    });
    const seen: (ListEvent | DeletingEvent | RenamingEvent)[] = [];
    client.on("list", (e) => void seen.push(e));
    client.on("deleting", (e) => void seen.push(e));
    client.on("renaming", (e) => void seen.push(e));
    await client.connect("C:\\r", { confirm: ["delete", "rename"] });
    await until(() => seen.length === 3);
    assert.deepEqual(seen[0], { event: "list", identity: "docs", path: "\\r\\Docs", pattern: "*", process: "x.exe", req: 1 });
    assert.equal((seen[1] as DeletingEvent).folder, false);
    assert.equal((seen[2] as RenamingEvent).targetInRoot, false);
    assert.equal((seen[2] as RenamingEvent).target, "\\x\\D");

    const result = await client.entries(1, [
      { name: "a.txt", identity: "docs/a", size: 5 },
      { name: "Sub", folder: true, populated: false },
      { name: "taken" },
    ]);
    assert.equal(result.stale, false);
    assert.deepEqual(result.failed, [
      { dir: "\\r\\Docs", name: "taken", error: "Cannot create a file when that file already exists. (0x800700B7)", code: 0x800700b7 },
    ]);
    assert.deepEqual(await client.allow(2), { stale: false });
    assert.deepEqual(await client.deny(3), { stale: false });
    assert.deepEqual(await client.entries(1, []), { failed: [], stale: true });
    assert.deepEqual(await client.allow(2), { stale: true });
    await assert.rejects(client.deny(9), (e: unknown) => e instanceof CloudFilesError && e.codeName === "INVALID_REQUEST");

    await client.register({ root: "C:\\r", id: "Id", population: "onDemand" });
    await client.connect("C:\\r", { confirm: [] });
    await client.create([{ dir: "C:\\r", name: "Docs", folder: true, populated: false }]);
    await client.update("C:\\r\\Docs", { populated: false });
    await until(() => echoes.length === 8);
    const [connect, entries, allow, deny, register, plainConnect, create, update] = echoes;
    assert.deepEqual(connect!["confirm"], ["delete", "rename"]);
    assert.deepEqual(entries!["items"], [
      { name: "a.txt", identity: "docs/a", size: 5 },
      { name: "Sub", folder: true, populated: false },
      { name: "taken" },
    ]);
    assert.deepEqual([allow!["cmd"], allow!["req"], deny!["cmd"], deny!["req"]], ["allow", 2, "deny", 3]);
    assert.equal(register!["population"], "onDemand");
    assert.equal("confirm" in plainConnect!, false);
    assert.deepEqual(create!["items"], [{ dir: "C:\\r", name: "Docs", folder: true, populated: false }]);
    assert.equal(update!["populated"], false);
  });
});

describe("folders on demand and confirmations (the Linux build)", () => {
  it("refuses population on demand and confirmations for now; stale answers are stale", async (t) => {
    const { client, root, dir } = await open(t, { register: false });
    const id = `NodeOnDemand!${path.basename(dir)}`;
    await assert.rejects(client.register({ root, id, population: "onDemand" }), (e: unknown) => e instanceof CloudFilesError && e.codeName === "NOT_SUPPORTED");
    await client.register({ root, id });
    await assert.rejects(client.connect(root, { confirm: ["rename"] }), (e: unknown) => e instanceof CloudFilesError && e.codeName === "NOT_SUPPORTED");
    assert.deepEqual(await client.entries(424242, [{ name: "a" }]), { failed: [], stale: true });
    assert.deepEqual(await client.deny(424242), { stale: true });
    await client.unregister(id);
  });

  it("answers a listing through the mount with entries", { skip: "the Linux build does not fill folders on demand yet (its FUSE side lands later)" }, async () => {});

  it("keeps a file whose delete through the mount is denied", { skip: "the Linux build does not ask before deletes and renames yet (its FUSE side lands later)" }, async () => {});
});

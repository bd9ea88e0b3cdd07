// Every command against the real program: typed results, and refusals as CloudFilesError with
// their codes.
import assert from "node:assert/strict";
import { readFileSync, writeFileSync } from "node:fs";
import path from "node:path";
import { describe, it } from "node:test";
import { CloudFilesError, ErrorCodes, type ErrorCodeName } from "../src/index.js";
import { open, pattern } from "./harness.js";

/** Asserts that `promise` rejects with a CloudFilesError of code `name`. */
async function refused(promise: Promise<unknown>, name: ErrorCodeName): Promise<CloudFilesError> {
  const error = await promise.then(
    () => assert.fail(`expected ${name}`),
    (e: unknown) => e,
  );
  assert.ok(error instanceof CloudFilesError, `not a CloudFilesError: ${error}`);
  assert.equal(error.codeName, name, error.message);
  assert.equal(error.code, ErrorCodes[name]);
  assert.equal(error.hex, "0x" + ErrorCodes[name].toString(16));
  assert.match(error.text, new RegExp(`\\(0x${ErrorCodes[name].toString(16)}\\)$`, "i"));
  return error;
}

describe("sync roots", () => {
  it("registers and unregisters, and names the system's refusals", async (t) => {
    const { client, dir, root, id } = await open(t, { register: false });
    writeFileSync(path.join(dir, "file.txt"), "x");
    await refused(client.register({ root: path.join(dir, "missing"), id }), "FILE_NOT_FOUND");
    await refused(client.register({ root: path.join(dir, "file.txt"), id }), "DIRECTORY");
    await refused(client.register({ root, id: "" }), "INVALID_ARG");
    await client.register({ root, id, name: "Node test", version: "2" });
    await refused(client.unregister(id + "-other"), "NOT_FOUND");
    await client.unregister(id);
    const error = await client.connect(root).catch((e: CloudFilesError) => e);
    assert.ok(error instanceof CloudFilesError);
    assert.ok(error.is("NOT_A_CLOUD_SYNC_ROOT") || error.is("NOT_UNDER_SYNC_ROOT"), error.message);
  });

  it("connects once, disconnects, and reports what it runs on", async (t) => {
    const { client, root } = await open(t);
    const info = await client.info();
    assert.deepEqual(info, client.programInfo);
    assert.equal(info.platform, "linux");
    assert.match(info.version, /^0\.\d+\.\d+$/);
    assert.ok(["fuse", "simulated"].includes(info.frontEnd));
    await client.connect(root);
    await refused(client.connect(root), "ALREADY_CONNECTED");
    await client.disconnect();
    await client.disconnect();
    // The late answer of "hydrate" carries no "code": the client reads it from the text.
    await client.create([{ dir: root, name: "a.bin", size: 10, identity: "a" }]);
    await refused(client.hydrate(path.join(root, "a.bin")), "PROVIDER_NOT_RUNNING");
  });
});

describe("placeholders", () => {
  it("creates in batches and reports each item it did not create with its code", async (t) => {
    const { client, root } = await open(t);
    const result = await client.create([
      { dir: root, name: "Docs", folder: true, identity: "docs" },
      { dir: path.join(root, "Docs"), name: "a.txt", identity: "docs/a.txt", size: 10000, mtimeMs: 1700000000000 },
      { dir: root, name: "a/b", size: 1 },
      { dir: root, name: "neg", size: -1 },
      { dir: root, name: "Docs" },
      { dir: path.join(root, "nowhere"), name: "x.txt" },
    ]);
    assert.deepEqual(
      result.failed.map((f) => [f.name, f.code]),
      [
        ["a/b", ErrorCodes.INVALID_NAME],
        ["neg", ErrorCodes.INVALID_ARG],
        ["Docs", ErrorCodes.ALREADY_EXISTS],
        ["x.txt", ErrorCodes.PATH_NOT_FOUND],
      ],
    );
    const attrs = await client.attrs(path.join(root, "Docs", "a.txt"));
    assert.deepEqual({ ...attrs, attributes: 0 }, {
      attributes: 0,
      identity: "docs/a.txt",
      inSync: true,
      onlineOnly: true,
      pinned: false,
      unpinned: false,
    });
    const missing = await client.attrs(path.join(root, "missing"));
    assert.equal(missing.attributes, 4294967295);
    assert.equal(missing.identity, null);
  });

  it("pins, hydrates, dehydrates and scans", async (t) => {
    const { client, root } = await open(t);
    const content = pattern(300_000);
    await client.create([
      { dir: root, name: "Docs", folder: true, identity: "docs" },
      { dir: path.join(root, "Docs"), name: "b.bin", identity: "docs/b.bin", size: content.length },
    ]);
    const file = path.join(root, "Docs", "b.bin");
    client.serve(() => content);
    await client.connect(root);
    assert.deepEqual(await client.scan(root), {
      onlineOnly: [{ identity: "docs/b.bin", path: "Docs/b.bin" }],
      pinned: [],
      unpinned: [],
    });
    await client.pin(path.join(root, "Docs"), "pinned");
    await client.hydrate(file);
    assert.deepEqual(await client.scan(root), { onlineOnly: [], pinned: ["Docs", "Docs/b.bin"], unpinned: [] });
    await refused(client.dehydrate(file), "PINNED");
    await client.pin(path.join(root, "Docs"), "unpinned");
    await client.dehydrate(file);
    const attrs = await client.attrs(file);
    assert.equal(attrs.onlineOnly, true);
    assert.equal(attrs.unpinned, true);
    await client.pin(file, "unspecified");
    assert.equal((await client.attrs(file)).unpinned, false);
    await refused(client.dehydrate(path.join(root, "Docs")), "INVALID_REQUEST");
    await refused(client.pin(path.join(root, "missing"), "pinned"), "FILE_NOT_FOUND");
  });

  it("updates and marks in sync under a usn guard, adopts and reverts", async (t) => {
    const { client, root } = await open(t);
    const content = pattern(5000);
    await client.create([{ dir: root, name: "a.txt", identity: "a#1", size: content.length }]);
    const file = path.join(root, "a.txt");
    client.serve(() => content);
    await client.connect(root);
    await refused(client.revert(file), "CLOUD_ACCESS_DENIED");
    await client.hydrate(file);

    const { usn: first } = await client.insync(file, false);
    assert.ok(Number.isSafeInteger(first) && first > 0);
    const { usn: second } = await client.update(file, { identity: "a#2", inSync: true, usn: first });
    assert.ok(second > first);
    await refused(client.update(file, { identity: "a#3", usn: first }), "NOT_IN_SYNC");
    await refused(client.insync(file, true, { usn: first }), "NOT_IN_SYNC");
    const { usn: third } = await client.update(file, { size: 13, mtimeMs: 1700000100000, dehydrate: true, ifInSync: true });
    assert.ok(third > second);
    assert.deepEqual(
      { ...(await client.attrs(file)), attributes: 0 },
      { attributes: 0, identity: "a#2", inSync: true, onlineOnly: true, pinned: false, unpinned: false },
    );
    await refused(client.update(path.join(root, "missing"), { inSync: true }), "FILE_NOT_FOUND");

    const local = path.join(root, "local.txt");
    writeFileSync(local, "made here");
    await client.adopt(local, "local");
    assert.equal((await client.attrs(local)).identity, "local");
    await client.revert(local);
    assert.equal((await client.attrs(local)).identity, null);
    assert.equal(readFileSync(local, "utf8"), "made here");
    await refused(client.revert(local), "NOT_A_CLOUD_FILE");
    await refused(client.adopt(path.join(root, "missing"), "x"), "FILE_NOT_FOUND");
    const outside = path.join(path.dirname(root), "outside.txt");
    writeFileSync(outside, "x");
    await refused(client.adopt(outside, "x"), "NOT_UNDER_SYNC_ROOT");
  });

  it("keeps non-ASCII names, identities and paths intact both ways", async (t) => {
    const { client, root, fuse } = await open(t, { rootName: "Wurzel ünï 😀" });
    const folder = "日本語 フォルダ";
    const name = "naïve Ωmega 🎉.txt";
    const identity = "ид/🎉/ß";
    const content = Buffer.from("Grüße, 世界 🎉\n".repeat(1000));
    await client.create([
      { dir: root, name: folder, folder: true, identity: "d" },
      { dir: path.join(root, folder), name, identity, size: content.length },
    ]);
    const file = path.join(root, folder, name);
    const fetched = client.waitFor("fetch");
    client.serve((fetch) => {
      assert.equal(fetch.identity, identity);
      return content;
    });
    await client.connect(root);
    await client.hydrate(file);
    assert.equal((await fetched).path, file);
    assert.equal((await client.attrs(file)).identity, identity);
    assert.deepEqual((await client.scan(root)).onlineOnly, []);
    await client.pin(file, "pinned");
    assert.deepEqual((await client.scan(root)).pinned, [`${folder}/${name}`]);
    if (fuse) assert.ok(readFileSync(file).equals(content));
  });
});

describe("fetch answers by hand", () => {
  it("answers data, fail and progress, stale once the request is gone", async (t) => {
    const { client, root } = await open(t);
    await client.create([{ dir: root, name: "a.bin", identity: "a.bin", size: 10000 }]);
    await client.connect(root);
    const hydration = client.hydrate(path.join(root, "a.bin")).catch((e: unknown) => e);
    const fetch = await client.waitFor("fetch", undefined, { timeoutMs: 10_000 });
    assert.deepEqual([fetch.offset, fetch.fileSize, fetch.identity], [0, 10000, "a.bin"]);
    assert.ok(fetch.length >= 10000);
    await refused(client.progress(fetch.req, 100, 150), "INVALID_ARG");
    assert.deepEqual(await client.progress(fetch.req, 10000, 0), { stale: false });
    await refused(client.data(fetch.req, 100, Buffer.alloc(4096)), "INVALID_REQUEST");
    assert.deepEqual(await client.data(fetch.req, 0, Buffer.alloc(4096, 1)), { stale: false });
    assert.deepEqual(await client.fail(fetch.req), { stale: false });
    const error = await hydration;
    assert.ok(error instanceof CloudFilesError && error.is("NOT_A_CLOUD_FILE"), String(error));
    assert.deepEqual(await client.fail(fetch.req), { stale: true });
    assert.deepEqual(await client.data(77, 0, Buffer.alloc(0)), { stale: true });
    assert.deepEqual(await client.progress(fetch.req, 1, 1), { stale: true });
    assert.deepEqual(await client.request("no-such-command", { x: 1 }), { unknown: "no-such-command" });
  });
});

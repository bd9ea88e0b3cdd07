#!/usr/bin/env node
// @ts-check
// A small sync engine on the Node client: a local folder plays the remote store, a fresh folder
// becomes the sync root. It registers the root, creates placeholders for the store's tree,
// connects with "watch", lets `cat` read a file through the Linux mount (the read becomes a fetch
// it answers from the store), pins a folder and hydrates what the pin asks for, uploads a file the
// user edited (a "changed" out of sync: read it, put it in the store, mark it in sync), then
// disconnects and unregisters. Every step is checked; the exit code is 0 only if all went as
// expected.
//
//   node examples/node/sync_engine.mjs [--program PATH] [--simulated] [--trace] [--keep]
//
// --simulated: the Linux build mounts nothing (as where FUSE is missing); only "hydrate" fetches.
//
// Needs the client compiled (cd clients/node && npm ci && npx tsc). In an engine of your own,
// import from "zembra-cloud-files" instead of the relative path.
import { execFile } from "node:child_process";
import { appendFileSync, mkdirSync, mkdtempSync, readdirSync, readFileSync, rmSync, statSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import path from "node:path";
import { promisify } from "node:util";
import { CloudFiles, CloudFilesError } from "../../clients/node/dist/src/index.js";

const args = process.argv.slice(2);
/** @param {string} name */
const option = (name) => {
  const at = args.indexOf(name);
  return at >= 0 ? args[at + 1] : undefined;
};
const WAIT = { timeoutMs: 30_000 };

let failures = 0;
/** @param {string} what @param {boolean} ok @param {string} [detail] */
function check(what, ok, detail = "") {
  console.log(`${ok ? "ok  " : "FAIL"} ${what}${detail ? ` (${detail})` : ""}`);
  if (!ok) failures++;
}

// ---- the "remote store": a folder; identities are paths relative to it with "/" ----
const work = mkdtempSync(path.join(tmpdir(), "zcf-node-engine-"));
const store = path.join(work, "store");
const root = path.join(work, "root");
const state = path.join(work, "state");
for (const dir of [store, root, state, path.join(store, "Docs"), path.join(store, "Photos")]) mkdirSync(dir, { recursive: true });
if (args.includes("--simulated")) {
  mkdirSync(path.join(state, "zembra-cloud-files"));
  writeFileSync(path.join(state, "zembra-cloud-files", "sim.json"), '{"frontEnd":"simulated"}');
}
writeFileSync(path.join(store, "Docs", "hello.txt"), "Hello, world\n");
writeFileSync(path.join(store, "Docs", "report.txt"), "Quarterly figures\n".repeat(20_000));
const photo = Buffer.alloc(5 * 1024 * 1024 + 123);
for (let i = 0; i < photo.length; i++) photo[i] = (i * 2654435761) >>> 24;
writeFileSync(path.join(store, "Photos", "beach.raw"), photo);

/** @param {string} identity */
const inStore = (identity) => path.join(store, ...identity.split("/"));
/** @param {string} local a path under the sync root */
const identityOf = (local) => path.relative(root, local).split(path.sep).join("/");

/** Every entry of the store, each folder before what it holds. */
function walk(dir = store) {
  /** @type {import("../../clients/node/dist/src/index.js").CreateItem[]} */
  const items = [];
  for (const name of readdirSync(dir).sort()) {
    const full = path.join(dir, name);
    const stat = statSync(full);
    const identity = path.relative(store, full).split(path.sep).join("/");
    const local = path.join(root, path.relative(store, dir));
    items.push({ dir: local, name, identity, folder: stat.isDirectory(), size: stat.size, mtimeMs: Math.round(stat.mtimeMs) });
    if (stat.isDirectory()) items.push(...walk(full));
  }
  return items;
}

const client = await CloudFiles.start({
  program: option("--program"),
  stateDir: state,
  trace: args.includes("--trace") ? (dir, line) => console.log(dir, line.length > 300 ? `${line.subarray(0, 300)}...` : `${line}`) : undefined,
});
client.on("problem", (problem) => check(`no problem in the conversation: ${problem.message}`, false));

// Fetches are answered from the store file that the identity names.
let fetches = 0;
client.serve(
  (fetch) => {
    fetches++;
    return { path: inStore(fetch.identity) };
  },
  { onOutcome: (outcome, fetch) => outcome.status === "completed" || check(`fetch of ${fetch.path}`, false, outcome.status) },
);

// What a change under the root asks of the engine.
const busy = new Set();
let uploads = 0;
client.on("changed", async (change) => {
  if (busy.has(change.path)) return;
  busy.add(change.path);
  try {
    if (change.pinned && change.onlineOnly) {
      await client.hydrate(change.path); // "Always keep on this device"
    } else if (!change.inSync && change.identity !== null && !change.onlineOnly) {
      await upload(change.path); // edited here
    }
  } catch (error) {
    check(`acting on the change of ${change.path}`, false, String(error));
  } finally {
    busy.delete(change.path);
  }
});

/** Reads an edited file into the store and marks it in sync, unless it changed again meanwhile.
 * @param {string} local */
async function upload(local) {
  for (;;) {
    const { usn } = await client.insync(local, false);
    writeFileSync(inStore(identityOf(local)), readFileSync(local));
    try {
      await client.insync(local, true, { usn });
      uploads++;
      return;
    } catch (error) {
      if (!(error instanceof CloudFilesError && error.is("NOT_IN_SYNC"))) throw error;
    }
  }
}

const id = `NodeExample!${process.pid}`;
let exitCode = 1;
try {
  const info = client.programInfo ?? (await client.info());
  console.log(`program ${info.version} on ${info.platform}, front end "${info.frontEnd}"`);

  await client.register({ root, id, name: "Node example" });
  const items = walk();
  const { failed } = await client.create(items);
  check(`created ${items.length} placeholders`, failed.length === 0, failed.map((f) => f.error).join("; "));
  await client.connect(root, { watch: true });

  const hello = path.join(root, "Docs", "hello.txt");
  if (info.frontEnd === "fuse") {
    const { stdout } = await promisify(execFile)("cat", [path.join(root, "Docs", "report.txt")], { encoding: "buffer", maxBuffer: 1 << 30 });
    check("cat through the mount reads the store's content", stdout.equals(readFileSync(inStore("Docs/report.txt"))));
  } else {
    console.log(`skip cat: the front end is "${info.frontEnd}", reads of other programs do not fetch`);
  }

  const beach = path.join(root, "Photos", "beach.raw");
  const hydrated = client.waitFor("changed", (e) => e.path === beach && e.pinned && !e.onlineOnly, WAIT);
  await client.pin(path.join(root, "Photos"), "pinned");
  await hydrated;
  check("a pinned folder's file is hydrated", readFileSync(beach).equals(photo));

  if ((await client.attrs(hello)).onlineOnly) await client.hydrate(hello);
  const uploaded = client.waitFor("changed", (e) => e.path === hello && e.inSync, WAIT);
  appendFileSync(hello, "Edited here.\n");
  await uploaded;
  await new Promise((resolve) => setTimeout(resolve, 300)); // the engine's last "changed" comes 100 ms after the change
  const after = await client.attrs(hello);
  check("the edited file is uploaded and in sync", after.inSync && readFileSync(inStore("Docs/hello.txt"), "utf8") === "Hello, world\nEdited here.\n", `${uploads} upload(s)`);

  await client.disconnect();
  await client.unregister(id);
  const exit = await client.close();
  check("the program ends with code 0", exit.code === 0, `code ${exit.code}`);
  check("fetches were answered", fetches >= 1, `${fetches}`);
  exitCode = failures === 0 ? 0 : 1;
} catch (error) {
  check("the road", false, error instanceof Error ? error.stack ?? error.message : String(error));
  await client.disconnect().catch(() => {});
  await client.unregister(id).catch(() => {});
} finally {
  if (!client.isEnded) await client.close();
  if (!args.includes("--keep")) rmSync(work, { recursive: true, force: true });
  else console.log(`kept ${work}`);
}
console.log(exitCode === 0 ? "all steps as expected" : `${failures} step(s) not as expected`);
process.exit(exitCode);

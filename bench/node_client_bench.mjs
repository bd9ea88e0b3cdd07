#!/usr/bin/env node
// Hydration throughput through the Node client (clients/node), beside the minimal C++ parent of
// hydration_bench in the same run.
//
// - "hydrate" of a placeholder (512 MiB by default) answered by the client from memory in 1 MiB
//   chunks (client.serve with a Buffer: each chunk Base64-encoded as it is sent), against
//   hydration_bench's 1 MiB row (a C++ parent that encoded its one chunk before timing), both with
//   hydration_bench's settings (the default front end, transfers not flushed one by one), and a
//   plain hand-written Node parent (no client) for what Node itself costs;
// - the first read by `cat` through the Linux mount, the same client serving, against the same
//   client's "hydrate".
// Prints payload MB/s, best of N (default 3); the order alternates, and dirty pages are flushed
// between runs, so that neither side pays for the other's writeback.
//
// Usage: node bench/node_client_bench.mjs [--runs N] [--mib M] [--program PATH] [--cpp PATH]
// Needs the client compiled (clients/node: npm ci && npx tsc) and the native benchmarks built
// (cmake --build --preset native --target hydration_bench data_sink_helper).
import { execFileSync, spawn } from "node:child_process";
import { mkdirSync, mkdtempSync, openSync, readSync, closeSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";
import { CloudFiles } from "../clients/node/dist/src/index.js";

const top = fileURLToPath(new URL("..", import.meta.url));
const args = process.argv.slice(2);
const option = (name, fallback) => {
  const at = args.indexOf(name);
  return at >= 0 ? args[at + 1] : fallback;
};
const RUNS = Number(option("--runs", "3"));
const MIB = Number(option("--mib", "512"));
const PROGRAM = path.resolve(option("--program", path.join(top, "build/native/zembra_cloud_files")));
const CPP = path.resolve(option("--cpp", path.join(top, "build/native/bench/hydration_bench")));
const SIZE = MIB * 1024 * 1024;
const CHUNK = 1 << 20;

/** The content: pseudo-random, each 1 MiB different, so a misplaced chunk is caught. */
function content(size) {
  const bytes = Buffer.allocUnsafe(size);
  let x = 2463534242;
  for (let i = 0; i < size; i += 4) {
    x ^= x << 13;
    x ^= x >>> 17;
    x ^= x << 5;
    bytes.writeUInt32LE(x >>> 0, i);
  }
  return bytes;
}

function settle() {
  execFileSync("sync");
}

/** hydration_bench's 1 MiB row: the program's MB/s with the C++ parent. */
function cppRun() {
  const out = execFileSync(CPP, ["1", String(MIB)], { encoding: "utf8", env: { ...process.env, ZCF_PROGRAM: PROGRAM } });
  const row = out.split("\n").find((line) => line.startsWith("1MiB"));
  if (!row) throw new Error(`no 1MiB row in hydration_bench's output:\n${out}`);
  return Number(row.trim().split(/\s+/)[1]);
}

/** A program with one placeholder of SIZE bytes, connected, the client serving `bytes`. */
async function connected(frontEnd, bytes) {
  const work = mkdtempSync(path.join(tmpdir(), "zcf-node-bench-"));
  const root = path.join(work, "root");
  const state = path.join(work, "state");
  mkdirSync(root);
  mkdirSync(path.join(state, "zembra-cloud-files"), { recursive: true });
  // As hydration_bench: transfers are not flushed one by one.
  writeFileSync(path.join(state, "zembra-cloud-files", "sim.json"), JSON.stringify({ syncTransfers: false, frontEnd }));
  const client = await CloudFiles.start({ program: PROGRAM, stateDir: state });
  await client.register({ root, id: "NodeBench!1" });
  const file = path.join(root, "big");
  const { failed } = await client.create([{ dir: root, name: "big", identity: "big", size: SIZE }]);
  if (failed.length) throw new Error(failed[0].error);
  client.serve(() => bytes, {
    chunkSize: CHUNK,
    onOutcome: (o) => o.status === "completed" || console.error(`fetch ${o.req}: ${o.status} ${o.error ?? ""}`),
  });
  await client.connect(root);
  return {
    client,
    file,
    async end() {
      await client.disconnect();
      await client.close();
      rmSync(work, { recursive: true, force: true });
    },
  };
}

function verify(file, bytes) {
  const fd = openSync(file, "r");
  try {
    for (const at of [0, Math.floor(SIZE / 2 / CHUNK) * CHUNK, SIZE - CHUNK]) {
      const got = Buffer.alloc(CHUNK);
      readSync(fd, got, 0, CHUNK, at);
      if (!got.equals(bytes.subarray(at, at + CHUNK))) throw new Error(`content differs at ${at}`);
    }
  } finally {
    closeSync(fd);
  }
}

/** The same hydration through a plain hand-written Node parent (no client): lines split by hand,
 * each chunk's line built as a string and written with the pipe's 'drain'. */
async function plainRun(bytes) {
  const work = mkdtempSync(path.join(tmpdir(), "zcf-node-bench-"));
  const root = path.join(work, "root");
  const state = path.join(work, "state");
  mkdirSync(root);
  mkdirSync(path.join(state, "zembra-cloud-files"), { recursive: true });
  writeFileSync(path.join(state, "zembra-cloud-files", "sim.json"), JSON.stringify({ syncTransfers: false }));
  const child = spawn(PROGRAM, [], { stdio: ["pipe", "pipe", "inherit"], env: { ...process.env, XDG_STATE_HOME: state } });
  const waiting = new Map();
  let seq = 0;
  let rest = "";
  let onFetch = () => {};
  child.stdout.setEncoding("utf8");
  child.stdout.on("data", (text) => {
    const lines = (rest + text).split("\n");
    rest = lines.pop();
    for (const line of lines) {
      const message = JSON.parse(line);
      if (message.event === "fetch") onFetch(message);
      else if (message.event === undefined) waiting.get(message.seq)?.(message);
    }
  });
  const send = (cmd, args) =>
    new Promise((resolve) => {
      waiting.set(++seq, resolve);
      child.stdin.write(JSON.stringify({ cmd, seq, ...args }) + "\n");
    });
  await send("register", { root, id: "NodeBench!plain" });
  await send("create", { items: [{ dir: root, name: "big", identity: "big", size: SIZE }] });
  await send("connect", { root });
  onFetch = async (fetch) => {
    const end = Math.min(fetch.offset + fetch.length, fetch.fileSize);
    for (let at = fetch.offset; at < end; at += CHUNK) {
      const b64 = bytes.subarray(at, Math.min(at + CHUNK, end)).toString("base64");
      const line = `{"b64":"${b64}","cmd":"data","offset":${at},"req":${fetch.req},"seq":${++seq}}\n`;
      const room = child.stdin.write(line);
      waiting.set(seq, () => {});
      if (!room) await new Promise((resolve) => child.stdin.once("drain", resolve));
    }
  };
  const start = process.hrtime.bigint();
  const answer = await send("hydrate", { path: path.join(root, "big") });
  const seconds = Number(process.hrtime.bigint() - start) / 1e9;
  if (!answer.ok) throw new Error(answer.error);
  verify(path.join(root, "big"), bytes);
  await send("disconnect", {});
  child.stdin.end();
  await new Promise((resolve) => child.on("close", resolve));
  rmSync(work, { recursive: true, force: true });
  return SIZE / 1e6 / seconds;
}

async function hydrateRun(bytes, frontEnd = undefined) {
  const run = await connected(frontEnd, bytes);
  const start = process.hrtime.bigint();
  await run.client.hydrate(run.file);
  const seconds = Number(process.hrtime.bigint() - start) / 1e9;
  verify(run.file, bytes);
  await run.end();
  return SIZE / 1e6 / seconds;
}

async function catRun(bytes) {
  const run = await connected("fuse", bytes);
  const start = process.hrtime.bigint();
  const cat = spawn("cat", [run.file], { stdio: ["ignore", "ignore", "inherit"] });
  const code = await new Promise((resolve) => cat.on("close", resolve));
  const seconds = Number(process.hrtime.bigint() - start) / 1e9;
  if (code !== 0) throw new Error(`cat exited with ${code}`);
  await run.client.disconnect();
  verify(run.file, bytes);
  await run.client.close();
  run.end().catch(() => {});
  return SIZE / 1e6 / seconds;
}

const bytes = content(SIZE);
const best = { cpp: 0, node: 0, plain: 0, cat: 0 };
const probe = await CloudFiles.start({ program: PROGRAM, stateDir: mkdtempSync(path.join(tmpdir(), "zcf-node-bench-s-")) });
const fuse = probe.programInfo.frontEnd === "fuse";
await probe.close();
console.log(`hydration of a ${MIB} MiB placeholder, 1 MiB chunks, best of ${RUNS} (2 shared cores: other work may have run meanwhile)`);
for (let i = 0; i < RUNS; i++) {
  const order = i % 2 === 0 ? ["cpp", "node", "plain"] : ["plain", "node", "cpp"];
  for (const which of order) {
    settle();
    if (which === "cpp") best.cpp = Math.max(best.cpp, cppRun());
    else if (which === "node") best.node = Math.max(best.node, await hydrateRun(bytes));
    else best.plain = Math.max(best.plain, await plainRun(bytes));
  }
  if (fuse) {
    settle();
    best.cat = Math.max(best.cat, await catRun(bytes));
  }
}
const f = (x) => x.toFixed(0).padStart(6);
console.log(`"hydrate", front end "${probe.programInfo.frontEnd}" (hydration_bench's settings)`);
console.log(`  C++ parent (hydration_bench)      ${f(best.cpp)} MB/s`);
console.log(`  Node client, from memory          ${f(best.node)} MB/s   ${((100 * best.node) / best.cpp).toFixed(0)}% of the C++ parent`);
console.log(`  plain hand-written Node parent    ${f(best.plain)} MB/s   ${((100 * best.plain) / best.cpp).toFixed(0)}% of the C++ parent`);
if (fuse) {
  console.log(`  first read by cat, the Node client serving through the mount`);
  console.log(`                                    ${f(best.cat)} MB/s   ${((100 * best.cat) / best.node).toFixed(0)}% of the same client's "hydrate"`);
} else {
  console.log("FUSE: the program does not mount here; the cat figures are left out");
}

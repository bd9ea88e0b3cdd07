// Starting and ending: the version check, the program's death mid-call, the restart option, and
// the order and wholeness of the lines in between.
import assert from "node:assert/strict";
import { chmodSync, mkdtempSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import path from "node:path";
import { describe, it, type TestContext } from "node:test";
import {
  CloudFiles,
  ProgramExitedError,
  ProtocolError,
  type CloudFilesEvent,
  type ExitInfo,
  type FetchOutcome,
  type RestartInfo,
} from "../src/index.js";
import { detachMountsUnder, open, until } from "./harness.js";

/** A stand-in program: a Node script that writes "ready" and answers "info" with `version`. */
function fakeProgram(t: TestContext, body: string): string {
  const dir = mkdtempSync(path.join(tmpdir(), "zcf-node-fake-"));
  t.after(() => rmSync(dir, { recursive: true, force: true }));
  const file = path.join(dir, "fake");
  writeFileSync(file, `#!${process.execPath}\n${body}\n`);
  chmodSync(file, 0o755);
  return file;
}

const answersInfo = (version: string) => `
process.stdout.write(JSON.stringify({ event: "ready", pid: process.pid }) + "\\n");
require("readline").createInterface({ input: process.stdin }).on("line", (line) => {
  const { seq } = JSON.parse(line);
  process.stdout.write(JSON.stringify({ ok: true, result: { frontEnd: "simulated", platform: "linux", version: ${JSON.stringify(version)} }, seq }) + "\\n");
});`;

describe("starting", () => {
  it("refuses a version it does not speak, unless told not to check", async (t) => {
    const program = fakeProgram(t, answersInfo("1.0.0"));
    await assert.rejects(CloudFiles.start({ program }), (e: unknown) => e instanceof ProtocolError && /1\.0\.0 is not supported/.test(e.message));
    const client = await CloudFiles.start({ program, checkVersion: false });
    assert.equal(client.programInfo, undefined);
    assert.equal((await client.close()).code, 0);
    const older = fakeProgram(t, answersInfo("0.3.9"));
    await assert.rejects(CloudFiles.start({ program: older }), ProtocolError);
  });

  it("fails to start when the program ends or stays silent", async (t) => {
    await assert.rejects(CloudFiles.start({ program: fakeProgram(t, "process.exit(3)") }), (e: unknown) => e instanceof ProgramExitedError && e.exitCode === 3);
    const silent = fakeProgram(t, "setInterval(() => {}, 1000)");
    await assert.rejects(CloudFiles.start({ program: silent, readyTimeoutMs: 300 }), (e: unknown) => e instanceof ProtocolError && /ready/.test(e.message));
    await assert.rejects(CloudFiles.start({ program: path.join(tmpdir(), "no-such-program") }), /not a runnable file/);
  });
});

describe("the program's end", () => {
  it("rejects every waiting call when killed mid-call, aborts fetches, ends iterators and reports the exit", async (t) => {
    const { client, root, dir } = await open(t);
    t.after(() => detachMountsUnder(dir));
    await client.create([{ dir: root, name: "a.bin", identity: "a", size: 1 << 20 }]);
    let sourceSignal: AbortSignal | undefined;
    const outcomes: FetchOutcome[] = [];
    client.serve(
      () => (_offset: number, _length: number, signal: AbortSignal) => {
        sourceSignal = signal;
        return new Promise<Uint8Array>(() => {});
      },
      { onOutcome: (o) => void outcomes.push(o) },
    );
    const exits: ExitInfo[] = [];
    client.on("exit", (exit) => void exits.push(exit));
    const seen: CloudFilesEvent[] = [];
    const iterated = (async () => {
      for await (const event of client.events()) seen.push(event);
      return "ended";
    })();
    await client.connect(root);
    const hydration = client.hydrate(path.join(root, "a.bin"));
    await until(() => sourceSignal !== undefined, 10_000, "the fetch");
    const waiting = client.waitFor("changed");
    const pid = client.pid;
    process.kill(pid, "SIGKILL");

    const error = await hydration.catch((e: unknown) => e);
    assert.ok(error instanceof ProgramExitedError, String(error));
    assert.equal(error.signal, "SIGKILL");
    assert.match(error.message, /program exited \(code none, signal SIGKILL\).*"hydrate"/);
    await assert.rejects(waiting, ProgramExitedError);
    assert.equal(await iterated, "ended");
    assert.ok(seen.some((e) => e.event === "fetch"));
    assert.deepEqual(exits, [{ pid, code: null, signal: "SIGKILL", expected: false, restarting: false }]);
    assert.ok(sourceSignal!.aborted);
    await until(() => outcomes.length > 0, 5000, "the outcome");
    assert.equal(outcomes[0]!.status, "exited");
    // Calls after the end fail at once, and nothing is left waiting.
    await assert.rejects(client.attrs(root), (e: unknown) => e instanceof ProgramExitedError && e.signal === "SIGKILL");
    assert.equal(client.isEnded, true);
    assert.deepEqual(await client.exited, exits[0]);
  });

  it("restarts a program that died and sends the calls made meanwhile to the new one", async (t) => {
    const { client, dir, root } = await open(t, { start: { restart: { delayMs: 50, maxRestarts: 1 } } });
    t.after(() => detachMountsUnder(dir));
    const exits: ExitInfo[] = [];
    const restarts: RestartInfo[] = [];
    let madeMeanwhile: Promise<unknown> | undefined;
    client.on("exit", (exit) => {
      exits.push(exit);
      if (exit.restarting) madeMeanwhile = client.attrs(dir);
    });
    client.on("restart", (restart) => void restarts.push(restart));
    const first = client.pid;
    await client.create([{ dir: root, name: "a.bin", identity: "a", size: 100 }]);
    await client.connect(root);
    const pending = client.hydrate(path.join(root, "a.bin")); // its fetch is never answered
    await client.waitFor("fetch", undefined, { timeoutMs: 10_000 });
    process.kill(first, "SIGKILL");
    await assert.rejects(pending, ProgramExitedError);
    await until(() => restarts.length === 1, 10_000, "the restart");
    assert.notEqual(restarts[0]!.pid, first);
    assert.equal(client.pid, restarts[0]!.pid);
    assert.equal(restarts[0]!.info.platform, "linux");
    assert.equal(((await madeMeanwhile) as { attributes: number }).attributes & 0x10, 0x10);
    assert.equal((await client.info()).platform, "linux");
    // The second death is past maxRestarts: the end is final.
    process.kill(client.pid, "SIGKILL");
    const final = await client.exited;
    assert.deepEqual([final.signal, final.restarting, final.expected], ["SIGKILL", false, false]);
    assert.deepEqual(exits.map((e) => e.restarting), [true, false]);
  });

  it("does not restart after close()", async (t) => {
    const { client } = await open(t, { start: { restart: true } });
    const restarts: RestartInfo[] = [];
    client.on("restart", (r) => void restarts.push(r));
    const exit = await client.close();
    assert.deepEqual([exit.code, exit.expected, exit.restarting], [0, true, false]);
    await assert.rejects(client.info(), ProgramExitedError);
    assert.equal(restarts.length, 0);
  });
});

describe("lines", () => {
  it("writes whole lines in call order and matches answers by seq around a late hydrate", async (t) => {
    const { client, root, lines } = await open(t, { trace: true });
    const names = Array.from({ length: 40 }, (_, i) => `f${i}`);
    await client.create(names.map((name) => ({ dir: root, name, identity: `id-${name}`, size: 10 })));
    await client.create([{ dir: root, name: "late.bin", identity: "late", size: 8192 }]);
    await client.connect(root);
    client.serve(() => new Promise((resolve) => setTimeout(() => resolve(Buffer.alloc(8192, 7)), 300)));
    const late = client.hydrate(path.join(root, "late.bin"));
    // Between the calls a 16 MiB line for a request that does not exist (answered "stale").
    const calls = names.map((name, i) =>
      i === 20 ? client.data(999_999, 0, Buffer.alloc(12 << 20)).then((a) => (a.stale ? "stale" : "?")) : client.attrs(path.join(root, name)).then((a) => a.identity),
    );
    const results = await Promise.all(calls);
    assert.deepEqual(results, names.map((name, i) => (i === 20 ? "stale" : `id-${name}`)));
    await late;
    const written = lines.filter((l) => l.direction === ">");
    const seqs = written.map((l) => Number(/"seq":(\d+)/.exec(l.text)![1]));
    assert.deepEqual(seqs, [...seqs].sort((a, b) => a - b));
    for (const line of written) if (line.size <= 4096) JSON.parse(line.text);
    assert.ok(written.some((l) => l.size > 16 << 20));
  });
});

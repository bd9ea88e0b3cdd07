// What every test needs: a program of its own, in a folder of its own, removed afterwards.
import { execFileSync } from "node:child_process";
import { mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import path from "node:path";
import type { TestContext } from "node:test";
import { CloudFiles, findProgram, type StartOptions } from "../src/index.js";

/** The program under test: ZCF_PROGRAM, else the one the client finds itself. */
export const PROGRAM = process.env["ZCF_PROGRAM"] ? path.resolve(process.env["ZCF_PROGRAM"]) : findProgram();

export interface Env {
  client: CloudFiles;
  /** The test's folder. */
  dir: string;
  /** An empty folder, registered as a sync root unless `register: false`. */
  root: string;
  id: string;
  fuse: boolean;
  /** Every line written (">") and read ("<") when `trace` was asked for: its length in bytes and
   * its text (the first and last 2 KiB of a longer line). */
  lines: TracedLine[];
}

export interface TracedLine {
  direction: ">" | "<";
  size: number;
  text: string;
}

function traced(direction: ">" | "<", line: Buffer): TracedLine {
  const text = line.length > 4096 ? `${line.subarray(0, 2048)}...${line.subarray(line.length - 2048)}` : line.toString();
  return { direction, size: line.length, text };
}

export interface EnvOptions {
  /** The Linux build's settings file (sim.json), e.g. { fetchTimeoutMs: 1000 }. */
  settings?: Record<string, unknown>;
  register?: boolean;
  trace?: boolean;
  start?: Partial<StartOptions>;
  /** The sync root's folder name. */
  rootName?: string;
}

/** Starts a program for the test `t`; it is closed, and its folder removed, when the test ends. */
export async function open(t: TestContext, options: EnvOptions = {}): Promise<Env> {
  const dir = mkdtempSync(path.join(tmpdir(), "zcf-node-"));
  const state = path.join(dir, "state");
  mkdirSync(path.join(state, "zembra-cloud-files"), { recursive: true });
  if (options.settings) {
    writeFileSync(path.join(state, "zembra-cloud-files", "sim.json"), JSON.stringify(options.settings));
  }
  const root = path.join(dir, options.rootName ?? "root");
  mkdirSync(root);
  const lines: Env["lines"] = [];
  let env: Env | undefined;
  t.after(() => finish(env, dir));
  const client = await CloudFiles.start({
    program: PROGRAM,
    stateDir: state,
    cwd: dir,
    trace: options.trace ? (direction, line) => lines.push(traced(direction, line)) : undefined,
    ...options.start,
  });
  const id = `NodeTest!${path.basename(dir)}`;
  if (options.register !== false) await client.register({ root, id, name: "Node test" });
  env = { client, dir, root, id, fuse: client.programInfo?.frontEnd === "fuse", lines };
  return env;
}

async function finish(env: Env | undefined, dir: string): Promise<void> {
  if (env && !env.client.isEnded) await env.client.close({ timeoutMs: 5000 }).catch(() => {});
  detachMountsUnder(dir);
  rmSync(dir, { recursive: true, force: true });
}

/** Lazily unmounts the program's mounts at or beneath `dir` (left by a program that was killed). */
export function detachMountsUnder(dir: string): void {
  let info: string;
  try {
    info = readFileSync("/proc/self/mountinfo", "utf8");
  } catch {
    return;
  }
  for (const line of info.split("\n")) {
    if (!line.includes(" - fuse.zembra_cloud_files ")) continue;
    const point = line.split(" ")[4]!.replace(/\\([0-7]{3})/g, (_, octal: string) => String.fromCharCode(parseInt(octal, 8)));
    if (point === dir || point.startsWith(dir + "/")) {
      try {
        execFileSync("umount", ["-l", point], { stdio: "ignore" });
      } catch {
        execFileSync("fusermount3", ["-u", "-z", point], { stdio: "ignore" });
      }
    }
  }
}

/** Deterministic bytes: every 4 KiB page starts with its own offset, so a chunk put in the wrong
 * place cannot go unnoticed. */
export function pattern(size: number, seed = 1): Buffer {
  const bytes = Buffer.alloc(size);
  let x = seed >>> 0 || 1;
  for (let i = 0; i < size; i++) {
    x ^= x << 13;
    x ^= x >>> 17;
    x ^= x << 5;
    bytes[i] = x & 0xff;
  }
  for (let page = 0; page + 8 <= size; page += 4096) bytes.writeUInt32LE(page, page);
  return bytes;
}

/** Resolves after `ms`. */
export const sleep = (ms: number) => new Promise<void>((resolve) => setTimeout(resolve, ms));

/** Waits until `check` holds (polling every 20 ms), failing after `timeoutMs`. */
export async function until(check: () => boolean, timeoutMs = 10_000, what = "the condition"): Promise<void> {
  const deadline = Date.now() + timeoutMs;
  while (!check()) {
    if (Date.now() > deadline) throw new Error(`${what} did not come within ${timeoutMs} ms`);
    await sleep(20);
  }
}

/** The "data" lines written, as [req, offset, bytes]. */
export function dataChunks(lines: TracedLine[]): [number, number, number][] {
  const found: [number, number, number][] = [];
  for (const { direction, size, text } of lines) {
    if (direction !== ">" || !text.startsWith('{"b64":"')) continue;
    const tail = text.slice(text.lastIndexOf('","cmd":"data"'));
    const meta = /"offset":(\d+),"req":(\d+)/.exec(tail)!;
    const b64 = size - '{"b64":"'.length - tail.length;
    const padding = text.endsWith("==" + tail) ? 2 : text.endsWith("=" + tail) ? 1 : 0;
    found.push([Number(meta[2]), Number(meta[1]), (b64 / 4) * 3 - padding]);
  }
  return found;
}

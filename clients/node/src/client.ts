// The connection to one running zembra_cloud_files: requests matched to answers by "seq", events
// to handlers and iterators, the program's end to every waiting call.
import { spawn, type ChildProcessByStdio } from "node:child_process";
import type { Readable, Writable } from "node:stream";
import { constants as bufferConstants } from "node:buffer";
import { CloudFilesError, codeFromText, ProgramExitedError, ProtocolError } from "./errors.js";
import {
  answerFetch,
  cancelledReason,
  type AnswerOptions,
  type FetchChannel,
  type FetchOutcome,
  type FetchSource,
} from "./fetch.js";
import { dataLine, dataLineSize, LinePool, LineSplitter } from "./lines.js";
import { findProgram } from "./program.js";
import type {
  Attrs,
  CloudFilesEvent,
  ConnectOptions,
  CreateFailure,
  CreateItem,
  CreateResult,
  EntriesResult,
  EntryItem,
  EventMap,
  ExitInfo,
  FetchAnswer,
  FetchEvent,
  Info,
  InSyncOptions,
  PinState,
  ProblemInfo,
  RegisterOptions,
  ScanResult,
  UpdateOptions,
  UsnResult,
} from "./types.js";

/** The program versions this client speaks to: 0.4 and later 0.x. */
export const SUPPORTED_VERSION = { major: 0, minor: 4 } as const;

export interface RestartOptions {
  /** Restarts at most this many times in the client's life (default 5). */
  maxRestarts?: number;
  /** Wait this long before starting again (default 500 ms). */
  delayMs?: number;
}

export interface StartOptions {
  /** Path of the program; default: zembra_cloud_files on PATH, else this repository's build. */
  program?: string;
  /** Commands to start the program through, e.g. ["scripts/wine-run"]; the program's path follows. */
  wrapper?: string[];
  /** The program's environment (default: this process's). */
  env?: NodeJS.ProcessEnv;
  /** Sets XDG_STATE_HOME, where the Linux build keeps its registrations and settings. */
  stateDir?: string;
  cwd?: string;
  /** The program's standard error (default "inherit"; it writes there only when it dies). */
  stderr?: "inherit" | "ignore";
  /** How long to wait for the "ready" event (default 30 s). */
  readyTimeoutMs?: number;
  /** Ask "info" at start and refuse versions this client does not speak (default true). */
  checkVersion?: boolean;
  /** Start the program again when it ends without close(): true, or how. Default: never. */
  restart?: boolean | RestartOptions;
  /** Bytes the client lets wait in its own write buffer before the fetch helper pauses (default 4 MiB). */
  writeBufferLimit?: number;
  /** Sees every line, without its LF: ">" written, "<" read. */
  trace?: (direction: ">" | "<", line: Buffer) => void;
}

type Handler<K extends keyof EventMap> = (event: EventMap[K]) => unknown;

interface Pending {
  seq: number;
  cmd: string;
  /** "hydrate": its answer comes late, out of order. */
  late: boolean;
  resolve(result: unknown): void;
  reject(error: Error): void;
}

interface Sink {
  push(event: CloudFilesEvent): void;
  end(): void;
}

type Child = ChildProcessByStdio<Writable, Readable, null>;

type State = "starting" | "running" | "restarting" | "ended";

const CANCELLED_KEPT = 4096;

/**
 * One running zembra_cloud_files. Start it with CloudFiles.start(), end it with close().
 *
 * Every command of the protocol is a method that resolves with its result or rejects with a
 * CloudFilesError. Lines are written whole, in the order of the calls; answers are matched by "seq".
 * Events go to on() handlers, in arrival order, and to events() iterators. When the program ends,
 * every waiting call rejects with a ProgramExitedError and an "exit" is emitted.
 */
export class CloudFiles {
  private child!: Child;
  private state: State = "starting";
  private nextSeq = 0;
  private readonly pending = new Map<number, Pending>();
  private backlog: Buffer[] = [];
  private readonly handlers = new Map<keyof EventMap, Set<Handler<never>>>();
  private readonly sinks = new Set<Sink>();
  private readonly tracked = new Map<number, Set<AbortController>>();
  private readonly cancelled = new Set<number>();
  private closing = false;
  private restarts = 0;
  private lastExit: ProgramExitedError | undefined;
  private readonly ended: Promise<ExitInfo>;
  private resolveEnded!: (info: ExitInfo) => void;
  private readonly channel: FetchChannel;
  private readonly writeBufferLimit: number;
  private readonly pool = new LinePool();
  private readonly program: string;
  private readonly trace: StartOptions["trace"];

  /** The process id of the running program (from its "ready" event). */
  pid = 0;
  /** What "info" answered at start (when checkVersion is on). */
  programInfo: Info | undefined;

  private constructor(private readonly options: StartOptions) {
    this.program = findProgram(options.program);
    this.trace = options.trace;
    this.writeBufferLimit = options.writeBufferLimit ?? 4 << 20;
    this.ended = new Promise((resolve) => (this.resolveEnded = resolve));
    this.channel = {
      data: (req, offset, bytes) => this.data(req, offset, bytes),
      fail: (req) => this.fail(req),
      progress: (req, total, completed) => this.progress(req, total, completed),
      room: () => this.room(),
      track: (req, controller) => this.track(req, controller),
    };
  }

  /** Starts the program, waits for its "ready" and checks its version. */
  static async start(options: StartOptions = {}): Promise<CloudFiles> {
    const client = new CloudFiles(options);
    await client.launch();
    return client;
  }

  // ---------------------------------------------------------------------------------------------
  // Commands
  // ---------------------------------------------------------------------------------------------

  /** Registers a folder as a sync root. */
  async register(options: RegisterOptions): Promise<void> {
    const { root, id, name, icon, version, population } = options;
    await this.call("register", { root, id, name, icon, version, population });
  }

  /** Removes a registration (it does not disconnect). */
  async unregister(id: string): Promise<void> {
    await this.call("unregister", { id });
  }

  /** Connects to a registered sync root; with `watch`, change events follow until disconnect();
   * with `confirm`, deletes and renames wait for allow() or deny(). */
  async connect(root: string, options: ConnectOptions = {}): Promise<void> {
    const confirm = options.confirm && options.confirm.length > 0 ? options.confirm : undefined;
    await this.call("connect", { root, watch: options.watch === true ? true : undefined, confirm });
  }

  /** Ends the connection made by the last successful connect(). */
  async disconnect(): Promise<void> {
    await this.call("disconnect", {});
  }

  /** What the program runs on: front end, platform, version. */
  async info(): Promise<Info> {
    return (await this.call("info", {})) as Info;
  }

  /** Creates placeholders; never fails as a whole: the result lists the items not created. */
  async create(items: CreateItem[]): Promise<CreateResult> {
    const result = (await this.call("create", { items })) as { failed: Omit<CreateFailureWire, "code">[] };
    return { failed: withCodes(result.failed) };
  }

  /** Sets the pin state of a file or of a whole tree ("unspecified" clears it). */
  async pin(path: string, state: PinState): Promise<void> {
    await this.call("pin", { path, state });
  }

  /** Discards a file placeholder's local content. */
  async dehydrate(path: string): Promise<void> {
    await this.call("dehydrate", { path });
  }

  /** Attributes and placeholder state of one path; never fails. */
  async attrs(path: string): Promise<Attrs> {
    return (await this.call("attrs", { path })) as Attrs;
  }

  /** Turns an ordinary file or folder into an in-sync placeholder with this identity. */
  async adopt(path: string, identity: string): Promise<void> {
    await this.call("adopt", { path, identity });
  }

  /** Lists a tree's pinned, unpinned and online-only entries; never fails. */
  async scan(root: string): Promise<ScanResult> {
    return (await this.call("scan", { root })) as ScanResult;
  }

  /** Applies a change from your store to a placeholder; resolves with its new update sequence number. */
  async update(path: string, changes: UpdateOptions): Promise<UsnResult> {
    const { identity, size, mtimeMs, dehydrate, inSync, ifInSync, usn, populated } = changes;
    return (await this.call("update", {
      path,
      identity,
      size,
      mtimeMs,
      dehydrate: dehydrate === true ? true : undefined,
      inSync: typeof inSync === "boolean" ? inSync : undefined,
      ifInSync: ifInSync === true ? true : undefined,
      usn,
      populated: typeof populated === "boolean" ? populated : undefined,
    })) as UsnResult;
  }

  /** Marks a placeholder in sync (after an upload) or not; resolves with its update sequence number. */
  async insync(path: string, inSync: boolean, options: InSyncOptions = {}): Promise<UsnResult> {
    return (await this.call("insync", { path, inSync, usn: options.usn })) as UsnResult;
  }

  /** Turns a placeholder back into an ordinary file or folder. */
  async revert(path: string): Promise<void> {
    await this.call("revert", { path });
  }

  /** Sends one chunk for a fetch. Mind the alignment rules; answerFetch() does it all for you. */
  data(req: number, offset: number, bytes: Uint8Array): Promise<FetchAnswer> {
    let pooled: Buffer | undefined;
    return this.submit(
      "data",
      (seq) => {
        pooled = this.pool.take(dataLineSize(bytes.byteLength));
        const line = dataLine(seq, req, offset, bytes, pooled);
        if (line.buffer !== pooled?.buffer) pooled = undefined;
        return line;
      },
      false,
      () => pooled && this.pool.give(pooled),
    ).then(staleOf);
  }

  /** Fails a fetch's whole required range, or a listing (the folder stays unfilled). */
  fail(req: number): Promise<FetchAnswer> {
    return this.call("fail", { req }).then(staleOf);
  }

  /** Answers a "list" event with the folder's children; the folder is filled from then on. */
  async entries(req: number, items: EntryItem[]): Promise<EntriesResult> {
    const result = (await this.call("entries", { req, items })) as { failed?: Omit<CreateFailureWire, "code">[]; stale?: boolean };
    return { failed: withCodes(result.failed ?? []), stale: result.stale === true };
  }

  /** Lets the delete or rename of a "deleting" or "renaming" event go on. */
  allow(req: number): Promise<FetchAnswer> {
    return this.call("allow", { req }).then(staleOf);
  }

  /** Refuses it: the program that tried sees CLOUD_ACCESS_DENIED. */
  deny(req: number): Promise<FetchAnswer> {
    return this.call("deny", { req }).then(staleOf);
  }

  /** Reports progress on a fetch; restarts the system's 60-second timeout. */
  progress(req: number, total: number, completed: number): Promise<FetchAnswer> {
    return this.call("progress", { req, total, completed }).then(staleOf);
  }

  /** Brings a whole file's content onto the disk; resolves when the hydration has ended. Fetches
   * for it arrive meanwhile and must be answered. */
  async hydrate(path: string): Promise<void> {
    await this.call("hydrate", { path }, true);
  }

  /** Any request: the escape hatch for commands this client does not know. Resolves with "result". */
  request(cmd: string, args: Record<string, unknown> = {}): Promise<unknown> {
    return this.call(cmd, args, cmd === "hydrate");
  }

  // ---------------------------------------------------------------------------------------------
  // Fetches
  // ---------------------------------------------------------------------------------------------

  /**
   * Answers one fetch from `source` with "data" chunks (1 MiB by default), waiting for the pipe's
   * backpressure, sending "progress" while the source is slow, stopping on a "cancel" and answering
   * "fail" when the source throws. Never rejects; the outcome says how it ended.
   */
  answerFetch(fetch: FetchEvent, source: FetchSource | Promise<FetchSource>, options?: AnswerOptions): Promise<FetchOutcome> {
    return answerFetch(this.channel, fetch, source, options);
  }

  /**
   * Answers every fetch: `resolve` names the source for each (it may throw, e.g. for an unknown
   * identity: the fetch is failed). Returns the function that stops serving.
   */
  serve(
    resolve: (fetch: FetchEvent) => FetchSource | Promise<FetchSource>,
    options: AnswerOptions & { onOutcome?: (outcome: FetchOutcome, fetch: FetchEvent) => void } = {},
  ): () => void {
    const handler = (fetch: FetchEvent) => {
      const source = Promise.resolve().then(() => resolve(fetch));
      return this.answerFetch(fetch, source, options).then((outcome) => options.onOutcome?.(outcome, fetch));
    };
    this.on("fetch", handler);
    return () => this.off("fetch", handler);
  }

  // ---------------------------------------------------------------------------------------------
  // Events
  // ---------------------------------------------------------------------------------------------

  /** Runs `handler` for every event of that name, in arrival order. A handler may be async; its
   * failures are reported as "problem" events. */
  on<K extends keyof EventMap>(name: K, handler: Handler<K>): this {
    let set = this.handlers.get(name);
    if (!set) this.handlers.set(name, (set = new Set()));
    set.add(handler as Handler<never>);
    return this;
  }

  /** Runs `handler` for the next event of that name only. */
  once<K extends keyof EventMap>(name: K, handler: Handler<K>): this {
    const once: Handler<K> = (event) => {
      this.off(name, once);
      return handler(event);
    };
    return this.on(name, once);
  }

  off<K extends keyof EventMap>(name: K, handler: Handler<K>): this {
    this.handlers.get(name)?.delete(handler as Handler<never>);
    return this;
  }

  /**
   * The next event of that name for which `filter` holds. Rejects after `timeoutMs` (default: no
   * limit), when `signal` aborts, or when the program ends for good.
   */
  waitFor<K extends keyof EventMap>(
    name: K,
    filter: (event: EventMap[K]) => boolean = () => true,
    options: { timeoutMs?: number; signal?: AbortSignal } = {},
  ): Promise<EventMap[K]> {
    return new Promise((resolve, reject) => {
      let timer: NodeJS.Timeout | undefined;
      const done = () => {
        this.off(name, handler);
        this.off("exit", onExit);
        options.signal?.removeEventListener("abort", onAbort);
        if (timer) clearTimeout(timer);
      };
      const handler = (event: EventMap[K]) => {
        if (!filter(event)) return;
        done();
        resolve(event);
      };
      const onExit = (exit: ExitInfo) => {
        if (name === "exit" || exit.restarting) return;
        done();
        reject(new ProgramExitedError(exit.code, exit.signal, `while waiting for "${String(name)}"`));
      };
      const onAbort = () => {
        done();
        reject(options.signal?.reason ?? new Error("aborted"));
      };
      if (this.state === "ended" && name !== "exit") {
        reject(this.exitError(`while waiting for "${String(name)}"`));
        return;
      }
      if (options.signal?.aborted) return onAbort();
      this.on(name, handler);
      this.on("exit", onExit);
      options.signal?.addEventListener("abort", onAbort, { once: true });
      if (options.timeoutMs !== undefined) {
        timer = setTimeout(() => {
          done();
          reject(new Error(`no "${String(name)}" event within ${options.timeoutMs} ms`));
        }, options.timeoutMs);
      }
    });
  }

  /**
   * Every event from now on, as an async iterator; it ends when the program ends for good (or
   * `signal` aborts). Events wait in memory until the loop takes them.
   */
  events(options: { signal?: AbortSignal } = {}): AsyncIterableIterator<CloudFilesEvent> {
    const queue: CloudFilesEvent[] = [];
    let waiting: ((result: IteratorResult<CloudFilesEvent>) => void) | undefined;
    let finished = this.state === "ended";
    const sink: Sink = {
      push: (event) => {
        if (waiting) {
          const wake = waiting;
          waiting = undefined;
          wake({ value: event, done: false });
        } else queue.push(event);
      },
      end: () => {
        finished = true;
        this.sinks.delete(sink);
        options.signal?.removeEventListener("abort", sink.end);
        if (waiting) {
          const wake = waiting;
          waiting = undefined;
          wake({ value: undefined, done: true });
        }
      },
    };
    if (!finished) {
      this.sinks.add(sink);
      options.signal?.addEventListener("abort", sink.end, { once: true });
    }
    const iterator: AsyncIterableIterator<CloudFilesEvent> = {
      next: () => {
        const event = queue.shift();
        if (event) return Promise.resolve({ value: event, done: false });
        if (finished) return Promise.resolve({ value: undefined, done: true });
        return new Promise((resolve) => (waiting = resolve));
      },
      return: () => {
        queue.length = 0;
        sink.end();
        return Promise.resolve({ value: undefined, done: true });
      },
      [Symbol.asyncIterator]: () => iterator,
    };
    return iterator;
  }

  [Symbol.asyncIterator](): AsyncIterableIterator<CloudFilesEvent> {
    return this.events();
  }

  // ---------------------------------------------------------------------------------------------
  // The end
  // ---------------------------------------------------------------------------------------------

  /** Resolves when the program has ended for good (no restart follows). */
  get exited(): Promise<ExitInfo> {
    return this.ended;
  }

  /** True once the program has ended for good. */
  get isEnded(): boolean {
    return this.state === "ended";
  }

  /**
   * Closes the program's input, the protocol's only way to end it, and waits for its end. It does
   * not disconnect: send disconnect() first for an orderly end. After `timeoutMs` (default 10 s) it
   * is killed.
   */
  async close(options: { timeoutMs?: number } = {}): Promise<ExitInfo> {
    this.closing = true;
    if (this.state === "ended") return this.ended;
    if (this.state === "running" || this.state === "starting") this.child.stdin.end();
    const timer = setTimeout(() => this.child.kill("SIGKILL"), options.timeoutMs ?? 10_000);
    try {
      return await this.ended;
    } finally {
      clearTimeout(timer);
    }
  }

  /** Kills the program (no restart follows) and waits for its end. */
  async kill(signal: NodeJS.Signals = "SIGKILL"): Promise<ExitInfo> {
    this.closing = true;
    if (this.state !== "ended") this.child.kill(signal);
    return this.ended;
  }

  // ---------------------------------------------------------------------------------------------
  // Inside
  // ---------------------------------------------------------------------------------------------

  private call(cmd: string, args: Record<string, unknown>, late = false): Promise<unknown> {
    return this.submit(cmd, (seq) => Buffer.from(JSON.stringify({ cmd, seq, ...args }) + "\n", "utf8"), late);
  }

  /** Registers the call and writes its line now (or queues it while the program starts).
   * `written` runs once the pipe has taken the line. */
  private submit(cmd: string, line: (seq: number) => Buffer, late = false, written?: () => void): Promise<unknown> {
    if (this.state === "ended") return Promise.reject(this.exitError(`"${cmd}" was not sent`));
    const seq = ++this.nextSeq;
    let bytes: Buffer;
    try {
      bytes = line(seq);
    } catch (error) {
      return Promise.reject(error);
    }
    return new Promise((resolve, reject) => {
      this.pending.set(seq, { seq, cmd, late, resolve, reject });
      if (this.state === "running") this.write(bytes, written);
      else this.backlog.push(bytes);
    });
  }

  private write(bytes: Buffer, written?: () => void): void {
    this.trace?.(">", bytes.subarray(0, bytes.length - 1));
    // A line the pipe refused (the program is gone) is not handed back: its buffer may still be queued.
    this.child.stdin.write(bytes, written && ((error) => error || written()));
  }

  /** Resolves when the input pipe's buffer is below the limit (or the program is gone). */
  private room(): Promise<void> {
    if (this.state !== "running") return Promise.resolve();
    const stdin = this.child.stdin;
    if (stdin.writableLength <= this.writeBufferLimit || stdin.destroyed) return Promise.resolve();
    return new Promise((resolve) => {
      const done = () => {
        stdin.off("drain", done);
        stdin.off("close", done);
        resolve();
      };
      stdin.on("drain", done);
      stdin.on("close", done);
    });
  }

  private track(req: number, controller: AbortController): () => void {
    if (this.cancelled.has(req)) controller.abort(cancelledReason(req));
    else if (this.state === "ended" || this.state === "restarting") controller.abort(this.exitError());
    let set = this.tracked.get(req);
    if (!set) this.tracked.set(req, (set = new Set()));
    set.add(controller);
    return () => {
      set!.delete(controller);
      if (set!.size === 0) {
        this.tracked.delete(req);
        this.cancelled.delete(req);
      }
    };
  }

  private exitError(what?: string): ProgramExitedError {
    const last = this.lastExit;
    return new ProgramExitedError(last?.exitCode ?? null, last?.signal ?? null, what);
  }

  private async launch(): Promise<void> {
    const env = { ...(this.options.env ?? process.env) };
    if (this.options.stateDir) env["XDG_STATE_HOME"] = this.options.stateDir;
    const wrapper = this.options.wrapper ?? [];
    const command = wrapper.length > 0 ? wrapper[0]! : this.program;
    const args = wrapper.length > 0 ? [...wrapper.slice(1), this.program] : [];
    const child = spawn(command, args, {
      stdio: ["pipe", "pipe", this.options.stderr ?? "inherit"],
      env,
      cwd: this.options.cwd,
      windowsHide: true,
    });
    this.child = child;
    this.pid = 0;

    const ready = new Promise<void>((resolve, reject) => {
      const timer = setTimeout(() => {
        reject(new ProtocolError(`no "ready" event within ${this.options.readyTimeoutMs ?? 30_000} ms`));
        child.kill("SIGKILL");
      }, this.options.readyTimeoutMs ?? 30_000);
      const splitter = new LineSplitter((line) => this.receive(line, () => {
        clearTimeout(timer);
        resolve();
      }));
      child.stdout.on("data", (chunk: Buffer) => splitter.push(chunk));
      child.stdout.on("end", () => splitter.end());
      child.stdin.on("error", () => {}); // EPIPE once the program is gone: its end is reported below
      let spawnError: Error | undefined;
      let ended = false;
      const end = (code: number | null, signal: NodeJS.Signals | null) => {
        if (ended) return;
        ended = true;
        clearTimeout(timer);
        const error = new ProgramExitedError(code, signal, spawnError?.message);
        reject(error);
        this.onEnd(child, error);
      };
      child.on("error", (error) => {
        spawnError = error;
        if (child.pid === undefined) end(null, null); // it never ran
      });
      // "close" comes once the output is read to its end, so answers written before the end are
      // delivered first. Should another process hold the output open (a wrapper's server), the end
      // is reported a second after the exit all the same.
      child.on("exit", (code, signal) => setTimeout(() => end(code, signal), 1000));
      child.on("close", (code, signal) => end(code, signal));
    });
    await ready;
    this.state = "running";
    if (this.options.checkVersion !== false) {
      const info = await this.info();
      const match = /^(\d+)\.(\d+)\.(\d+)/.exec(info.version);
      const major = match ? Number(match[1]) : NaN;
      const minor = match ? Number(match[2]) : NaN;
      if (major !== SUPPORTED_VERSION.major || !(minor >= SUPPORTED_VERSION.minor)) {
        this.closing = true;
        child.stdin.end();
        await this.ended;
        throw new ProtocolError(
          `zembra_cloud_files ${info.version} is not supported (this client speaks ` +
            `${SUPPORTED_VERSION.major}.${SUPPORTED_VERSION.minor} and later ${SUPPORTED_VERSION.major}.x)`,
        );
      }
      this.programInfo = info;
    }
    const queued = this.backlog;
    this.backlog = [];
    for (const bytes of queued) this.write(bytes);
  }

  /** One line from the program. */
  private receive(line: Buffer, onReady: () => void): void {
    this.trace?.("<", line);
    let message: unknown;
    try {
      if (line.length > bufferConstants.MAX_STRING_LENGTH) throw new RangeError("longer than a string may be");
      message = JSON.parse(line.toString("utf8"));
    } catch (error) {
      return this.unreadable(line, error);
    }
    if (typeof message !== "object" || message === null || Array.isArray(message)) {
      return this.problem({ message: `a line that is not an object: ${preview(line)}` });
    }
    const object = message as Record<string, unknown>;
    if (typeof object["event"] === "string") {
      const event = object as unknown as CloudFilesEvent;
      if (event.event === "ready") {
        this.pid = event.pid;
        onReady();
      } else if (event.event === "cancel") {
        this.onCancel(event.reqs);
      }
      return this.dispatch(event);
    }
    this.answer(object);
  }

  private answer(message: Record<string, unknown>): void {
    let pending: Pending | undefined;
    if ("seq" in message) {
      const seq = message["seq"];
      pending = typeof seq === "number" ? this.pending.get(seq) : undefined;
      if (!pending) return this.problem({ message: `an answer for no request: ${preview(message)}` });
    } else {
      // A line the program could not read is answered without "seq", in order: it belongs to the
      // oldest call whose answer is not a late one.
      pending = this.oldestInOrder();
      if (!pending) return this.problem({ message: `an answer without "seq": ${preview(message)}` });
    }
    this.pending.delete(pending.seq);
    if (message["ok"] === true) pending.resolve(message["result"]);
    else {
      const code = typeof message["code"] === "string" ? parseInt(message["code"], 16) : undefined;
      const text = typeof message["error"] === "string" ? message["error"] : JSON.stringify(message);
      pending.reject(new CloudFilesError(pending.cmd, text, code));
    }
  }

  private oldestInOrder(): Pending | undefined {
    for (const pending of this.pending.values()) if (!pending.late) return pending;
    return this.pending.values().next().value;
  }

  /** A line JSON.parse cannot take (in practice: one longer than a string may be). An answer ends
   * with its "seq" (keys come sorted), so the call it belongs to can still be told. */
  private unreadable(line: Buffer, error: unknown): void {
    const tail = line.subarray(Math.max(0, line.length - 64)).toString("latin1");
    const match = /"seq":(\d+)\}$/.exec(tail);
    const pending = match ? this.pending.get(Number(match[1])) : undefined;
    if (pending) {
      this.pending.delete(pending.seq);
      pending.reject(new ProtocolError(`the answer to "${pending.cmd}" (${line.length} bytes) cannot be read: ${String(error)}`));
      return;
    }
    this.problem({ message: `an unreadable line of ${line.length} bytes: ${preview(line)}`, error });
  }

  private onCancel(reqs: unknown): void {
    if (!Array.isArray(reqs)) return;
    for (const req of reqs) {
      if (typeof req !== "number") continue;
      const controllers = this.tracked.get(req);
      if (controllers) for (const controller of controllers) controller.abort(cancelledReason(req));
      else {
        // Remembered for an answer that starts later (an iterator's consumer may lag behind).
        this.cancelled.add(req);
        if (this.cancelled.size > CANCELLED_KEPT) this.cancelled.delete(this.cancelled.values().next().value!);
      }
    }
  }

  private dispatch(event: CloudFilesEvent): void {
    this.emit(event.event as keyof EventMap, event as never);
    this.emit("event", event);
    for (const sink of this.sinks) sink.push(event);
  }

  private emit<K extends keyof EventMap>(name: K, value: EventMap[K]): void {
    const set = this.handlers.get(name);
    if (!set || set.size === 0) return;
    for (const handler of [...set]) {
      try {
        const result = (handler as Handler<K>)(value);
        if (result && typeof (result as PromiseLike<unknown>).then === "function") {
          (result as Promise<unknown>).then(undefined, (error: unknown) => this.handlerFailed(name, error));
        }
      } catch (error) {
        this.handlerFailed(name, error);
      }
    }
  }

  private handlerFailed(name: keyof EventMap, error: unknown): void {
    if (name === "problem") return;
    this.problem({ message: `a "${String(name)}" handler failed: ${String(error)}`, error });
  }

  private problem(problem: ProblemInfo): void {
    if (this.handlers.get("problem")?.size) this.emit("problem", problem);
    else process.emitWarning(problem.message, "CloudFilesProblem");
  }

  /** The program `child` has ended: every waiting call learns it; a restart may follow. */
  private onEnd(child: Child, error: ProgramExitedError): void {
    if (child !== this.child) return;
    this.lastExit = error;
    const wasStarting = this.state === "starting";
    const restart = this.options.restart;
    const limit = typeof restart === "object" ? restart.maxRestarts ?? 5 : restart ? 5 : 0;
    const restarting = !this.closing && !wasStarting && this.restarts < limit;
    this.state = restarting ? "restarting" : "ended";

    const waiting = [...this.pending.values()];
    this.pending.clear();
    this.backlog = [];
    for (const pending of waiting) {
      pending.reject(new ProgramExitedError(error.exitCode, error.signal, `no answer to "${pending.cmd}" (seq ${pending.seq})`));
    }
    for (const controllers of this.tracked.values()) for (const controller of controllers) controller.abort(error);
    this.cancelled.clear();

    const info: ExitInfo = {
      pid: this.pid || child.pid || 0,
      code: error.exitCode,
      signal: error.signal,
      expected: this.closing,
      restarting,
    };
    this.emit("exit", info);
    if (!restarting) {
      for (const sink of [...this.sinks]) sink.end();
      this.resolveEnded(info);
      return;
    }
    this.restarts++;
    const delay = typeof restart === "object" ? restart.delayMs ?? 500 : 500;
    setTimeout(() => {
      if (this.closing) return this.finishRestart(info);
      this.state = "starting";
      this.launch().then(
        () => this.emit("restart", { pid: this.pid, attempt: this.restarts, info: this.programInfo! }),
        (failure: unknown) => {
          this.problem({ message: `the restart failed: ${String(failure)}`, error: failure });
          if (this.state !== "ended") this.finishRestart(info);
        },
      );
    }, delay);
  }

  private finishRestart(info: ExitInfo): void {
    this.state = "ended";
    for (const sink of [...this.sinks]) sink.end();
    this.resolveEnded({ ...info, restarting: false });
  }
}

interface CreateFailureWire {
  dir: string;
  name: string | null;
  error: string;
  code: number;
}

/** Failed items with the code their error text names. */
function withCodes(failed: Omit<CreateFailureWire, "code">[]): CreateFailure[] {
  return failed.map((f) => ({ ...f, code: (codeFromText(f.error) ?? 0) >>> 0 }));
}

function staleOf(result: unknown): FetchAnswer {
  return { stale: (result as { stale?: unknown } | undefined)?.stale === true };
}

function preview(value: Buffer | Record<string, unknown>): string {
  const text = Buffer.isBuffer(value) ? value.subarray(0, 200).toString("utf8") : JSON.stringify(value).slice(0, 200);
  return text.length >= 200 ? text + "..." : text;
}

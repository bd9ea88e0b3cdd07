// Answering a "fetch": cutting the required range into aligned chunks, reading them from a source,
// sending them as "data" with the pipe's backpressure, keeping the request alive with "progress",
// and stopping on "cancel".
import { open, type FileHandle } from "node:fs/promises";
import type { FetchAnswer, FetchEvent } from "./types.js";

/** 4 KiB: transfers start on this boundary and cover whole pages, except at the end of the file. */
export const ALIGNMENT = 4096;
export const DEFAULT_CHUNK_SIZE = 1 << 20;
export const DEFAULT_PROGRESS_INTERVAL_MS = 10_000;
export const DEFAULT_WINDOW = 8;

/**
 * Where a fetch's bytes come from. Offsets are offsets in the placeholder's file.
 * - bytes in memory: the whole file's content (a Buffer or any Uint8Array);
 * - a local file: the content starts at `offset` (default 0) in the file at `path`;
 * - a function: returns exactly `length` bytes at `offset`; `signal` aborts when the fetch is
 *   cancelled, the program ends, or the answer stops for another reason.
 */
export type FetchSource =
  | Uint8Array
  | { path: string; offset?: number }
  | ((offset: number, length: number, signal: AbortSignal) => Promise<Uint8Array> | Uint8Array);

export interface AnswerOptions {
  /** Bytes per "data" line; a multiple of 4 KiB (default 1 MiB). */
  chunkSize?: number;
  /** Send "progress" when the fetch has made no progress for this long (default 10 s; 0: never). */
  progressIntervalMs?: number;
  /** "data" lines sent whose answers have not come yet, at most (default 8). */
  window?: number;
  /** Your own reason to stop: the fetch is answered with "fail". */
  signal?: AbortSignal;
}

/**
 * How an answer ended.
 * - "completed": every chunk of the required range was taken;
 * - "cancelled": a "cancel" event named the request (the system gave up);
 * - "stale": the program no longer had the request (it was completed, failed or cancelled elsewhere);
 * - "failed": the source threw, returned the wrong number of bytes, a chunk was refused, or your
 *   signal aborted; the fetch was answered with "fail";
 * - "exited": the program ended meanwhile.
 */
export interface FetchOutcome {
  req: number;
  status: "completed" | "cancelled" | "stale" | "failed" | "exited";
  /** Bytes the program took. */
  bytes: number;
  /** "progress" reports the program took. */
  progressReports: number;
  /** Why it failed (the source's error, a refusal, your signal's reason) or the program's end. */
  error?: unknown;
}

/** What answering needs of the client. */
export interface FetchChannel {
  data(req: number, offset: number, bytes: Uint8Array): Promise<FetchAnswer>;
  fail(req: number): Promise<FetchAnswer>;
  progress(req: number, total: number, completed: number): Promise<FetchAnswer>;
  /** Resolves when the program's input pipe has room for another chunk. */
  room(): Promise<void>;
  /** Aborts `controller` on a "cancel" naming `req` (or at once if one came already) and when the
   * program ends; returns the function that stops watching. */
  track(req: number, controller: AbortController): () => void;
}

class Cancelled extends Error {}
class Stale extends Error {}

/** The end of the range to deliver: the required end, rounded up to a page, never past the file. */
export function rangeEnd(fetch: Pick<FetchEvent, "offset" | "length" | "fileSize">): number {
  const required = Math.min(fetch.offset + fetch.length, fetch.fileSize);
  return Math.min(Math.ceil(required / ALIGNMENT) * ALIGNMENT, fetch.fileSize);
}

type Reader = { read(offset: number, length: number, signal: AbortSignal): Promise<Uint8Array>; close(): Promise<void> };

async function readerOf(source: FetchSource): Promise<Reader> {
  if (source instanceof Uint8Array) {
    return {
      read: async (offset, length) => {
        if (offset + length > source.byteLength) {
          throw new RangeError(`the source holds ${source.byteLength} bytes; the fetch needs ${offset + length}`);
        }
        return source.subarray(offset, offset + length);
      },
      close: async () => {},
    };
  }
  if (typeof source === "function") {
    return { read: async (offset, length, signal) => source(offset, length, signal), close: async () => {} };
  }
  if (source && typeof source === "object" && typeof source.path === "string") {
    const base = source.offset ?? 0;
    const handle: FileHandle = await open(source.path, "r");
    return {
      read: async (offset, length) => {
        const buffer = Buffer.allocUnsafe(length);
        let got = 0;
        while (got < length) {
          const { bytesRead } = await handle.read(buffer, got, length - got, base + offset + got);
          if (bytesRead === 0) break;
          got += bytesRead;
        }
        if (got !== length) {
          throw new RangeError(`${source.path} ends ${length - got} bytes before the fetch's range does`);
        }
        return buffer;
      },
      close: () => handle.close(),
    };
  }
  throw new TypeError("a fetch source is a Uint8Array, {path, offset} or a function");
}

/** Answers one fetch from `source`; never rejects: the outcome says how it ended. */
export async function answerFetch(
  channel: FetchChannel,
  fetch: FetchEvent,
  source: FetchSource | Promise<FetchSource>,
  options: AnswerOptions = {},
): Promise<FetchOutcome> {
  const chunkSize = options.chunkSize ?? DEFAULT_CHUNK_SIZE;
  if (!Number.isSafeInteger(chunkSize) || chunkSize <= 0 || chunkSize % ALIGNMENT !== 0) {
    throw new RangeError(`chunkSize must be a positive multiple of ${ALIGNMENT}`);
  }
  const interval = options.progressIntervalMs ?? DEFAULT_PROGRESS_INTERVAL_MS;
  const window = Math.max(1, options.window ?? DEFAULT_WINDOW);
  const { req } = fetch;
  const start = fetch.offset;
  const end = rangeEnd(fetch);
  const total = Math.max(0, end - start);

  const controller = new AbortController();
  const signal = controller.signal;
  const untrack = channel.track(req, controller);
  const onCallerAbort = () => controller.abort(options.signal?.reason ?? new Error("aborted"));
  if (options.signal?.aborted) onCallerAbort();
  else options.signal?.addEventListener("abort", onCallerAbort, { once: true });

  const outcome: FetchOutcome = { req, status: "completed", bytes: 0, progressReports: 0 };
  let stop: unknown; // the first reason to stop sending
  const halt = (reason: unknown) => {
    if (stop === undefined) stop = reason;
    if (!signal.aborted) controller.abort(reason);
  };

  // "progress" whenever nothing was taken for `interval` ms: each taken chunk or report restarts
  // the system's timeout, so a slow source never reaches it.
  let timer: NodeJS.Timeout | undefined;
  const arm = () => {
    if (interval <= 0 || signal.aborted) return;
    if (timer) timer.refresh();
    else {
      timer = setTimeout(() => {
        timer = undefined;
        if (signal.aborted) return;
        channel.progress(req, total, outcome.bytes).then(
          (answer) => {
            if (answer.stale) halt(new Stale());
            else {
              outcome.progressReports++;
              arm();
            }
          },
          (error) => halt(error),
        );
      }, interval);
    }
  };
  arm();

  const inFlight = new Set<Promise<void>>();
  let reader: Reader | undefined;
  try {
    reader = await readerOf(await source);
    for (let at = start; at < end && !signal.aborted; at += chunkSize) {
      const size = Math.min(chunkSize, end - at);
      const bytes = await abortable(reader.read(at, size, signal), signal);
      if (signal.aborted) break;
      if (!(bytes instanceof Uint8Array) || bytes.byteLength !== size) {
        throw new RangeError(`the source gave ${bytes?.byteLength} bytes at offset ${at}; ${size} were asked for`);
      }
      while (inFlight.size >= window) await Promise.race(inFlight);
      await channel.room();
      if (signal.aborted) break;
      const sent: Promise<void> = channel.data(req, at, bytes).then(
        (answer) => {
          if (answer.stale) halt(new Stale());
          else {
            outcome.bytes += size;
            arm();
          }
        },
        (error) => halt(error),
      );
      const tracked = sent.finally(() => inFlight.delete(tracked));
      inFlight.add(tracked);
    }
  } catch (error) {
    halt(signal.aborted ? signal.reason : error);
  }
  await Promise.all(inFlight);
  if (timer) clearTimeout(timer);
  options.signal?.removeEventListener("abort", onCallerAbort);
  untrack();
  await reader?.close().catch(() => {});

  // A stop that was not ours (a "cancel", the program's end) wins over the errors it caused.
  const reason = signal.aborted ? (stop ?? signal.reason) : stop;
  if (reason === undefined) return outcome;
  if (reason instanceof Cancelled || signal.reason instanceof Cancelled) {
    outcome.status = "cancelled";
  } else if (reason instanceof Stale) {
    outcome.status = "stale";
  } else if (isExit(reason) || isExit(signal.reason)) {
    outcome.status = "exited";
    outcome.error = isExit(reason) ? reason : signal.reason;
  } else {
    outcome.status = "failed";
    outcome.error = reason;
    try {
      await channel.fail(req);
    } catch (error) {
      if (isExit(error)) {
        outcome.status = "exited";
        outcome.error = error;
      }
    }
  }
  return outcome;
}

/** `promise`, or the signal's reason as soon as it aborts: a source that ignores its signal does
 * not hold the answer up. */
function abortable<T>(promise: Promise<T>, signal: AbortSignal): Promise<T> {
  if (signal.aborted) return Promise.reject(signal.reason);
  return new Promise<T>((resolve, reject) => {
    const onAbort = () => reject(signal.reason);
    signal.addEventListener("abort", onAbort, { once: true });
    promise.then(
      (value) => {
        signal.removeEventListener("abort", onAbort);
        resolve(value);
      },
      (error: unknown) => {
        signal.removeEventListener("abort", onAbort);
        reject(error);
      },
    );
  });
}

function isExit(value: unknown): boolean {
  return value instanceof Error && value.name === "ProgramExitedError";
}

/** The reason a tracked fetch is aborted with when a "cancel" names it. */
export function cancelledReason(req: number): Error {
  return new Cancelled(`fetch ${req} was cancelled by the system`);
}

// Line framing of the program's output: LF-separated lines of any length.

/**
 * Splits a byte stream into LF-ended lines. Parts of a line that spans reads are kept as they came
 * and joined once, when its LF arrives, so a line of many megabytes costs one copy, and a UTF-8
 * character cut between two reads is decoded whole.
 */
export class LineSplitter {
  private parts: Buffer[] = [];
  private partBytes = 0;

  constructor(private readonly onLine: (line: Buffer) => void) {}

  /** Bytes held for a line whose LF has not come yet. */
  get buffered(): number {
    return this.partBytes;
  }

  push(chunk: Buffer): void {
    let start = 0;
    for (;;) {
      const lf = chunk.indexOf(10, start);
      if (lf < 0) break;
      let line: Buffer;
      if (this.parts.length === 0) {
        line = chunk.subarray(start, lf);
      } else {
        this.parts.push(chunk.subarray(start, lf));
        line = Buffer.concat(this.parts, this.partBytes + (lf - start));
        this.parts = [];
        this.partBytes = 0;
      }
      start = lf + 1;
      this.onLine(line);
    }
    if (start < chunk.length) {
      this.parts.push(start === 0 ? chunk : chunk.subarray(start));
      this.partBytes += chunk.length - start;
    }
  }

  /** The end of the stream: a last line without LF still counts. */
  end(): void {
    if (this.partBytes > 0) {
      const line = Buffer.concat(this.parts, this.partBytes);
      this.parts = [];
      this.partBytes = 0;
      this.onLine(line);
    }
  }
}

const B64_PIECE = 3 * 16384;

/** `{"b64":"...","cmd":"data","offset":...,"req":...,"seq":...}` + LF, built without JSON.stringify:
 * Base64 needs no escaping, and stringifying a megabyte of text costs more than the program's work.
 * The line goes into `into` when that is large enough (a buffer to use again), else into a new one. */
export function dataLine(seq: number, req: number, offset: number, bytes: Uint8Array, into?: Buffer): Buffer {
  const source = Buffer.isBuffer(bytes) ? bytes : Buffer.from(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  const head = '{"b64":"';
  const tail = `","cmd":"data","offset":${offset},"req":${req},"seq":${seq}}\n`;
  const size = head.length + 4 * Math.ceil(source.length / 3) + tail.length;
  const line = into && into.length >= size ? into.subarray(0, size) : Buffer.allocUnsafe(size);
  // "ascii": Base64 and the tail are ASCII, and V8 copies one-byte strings fastest this way.
  let at = line.write(head, 0, "ascii");
  // Encoded in pieces of 48 KiB (a multiple of 3, so the pieces join into one Base64 text): their
  // 64 KiB strings live and die in V8's young generation, whose memory is used again, where one
  // string per megabyte would take fresh pages (and their faults) from the system every time.
  for (let from = 0; from < source.length; from += B64_PIECE) {
    at += line.write(source.toString("base64", from, Math.min(from + B64_PIECE, source.length)), at, "ascii");
  }
  line.write(tail, at, "ascii");
  return line;
}

/**
 * Buffers for "data" lines, used again once the pipe has taken them: a hydration then writes
 * into the same few megabytes instead of allocating (and page-faulting, and collecting) a fresh
 * buffer per chunk.
 */
export class LinePool {
  private readonly free: Buffer[] = [];

  constructor(
    private readonly keep = 16,
    private readonly largest = 8 << 20,
  ) {}

  /** A buffer of at least `size` bytes, or undefined when lines this long are not pooled. */
  take(size: number): Buffer | undefined {
    if (size > this.largest) return undefined;
    for (let i = this.free.length - 1; i >= 0; i--) {
      if (this.free[i]!.length >= size) return this.free.splice(i, 1)[0];
    }
    return Buffer.allocUnsafeSlow(Math.max(size, 1 << 16));
  }

  /** Hands back a buffer from take() once nothing refers to its content any more. */
  give(buffer: Buffer): void {
    if (this.free.length < this.keep) this.free.push(buffer);
  }
}

/** The length of the line dataLine() builds for `bytes` bytes, give or take the tail's digits. */
export function dataLineSize(bytes: number): number {
  return 8 + 4 * Math.ceil(bytes / 3) + 96;
}

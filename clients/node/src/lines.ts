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

/** `{"b64":"...","cmd":"data","offset":...,"req":...,"seq":...}` + LF, built without JSON.stringify:
 * Base64 needs no escaping, and stringifying a megabyte of text costs more than the program's work. */
export function dataLine(seq: number, req: number, offset: number, bytes: Uint8Array): Buffer {
  const source = Buffer.isBuffer(bytes) ? bytes : Buffer.from(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  const b64 = source.toString("base64");
  const head = '{"b64":"';
  const tail = `","cmd":"data","offset":${offset},"req":${req},"seq":${seq}}\n`;
  const line = Buffer.allocUnsafe(head.length + b64.length + tail.length);
  let at = line.write(head, 0, "latin1");
  at += line.write(b64, at, "latin1");
  line.write(tail, at, "latin1");
  return line;
}

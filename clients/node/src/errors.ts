// Errors the client raises: a refusal by the program (CloudFilesError), the program's end
// (ProgramExitedError) and faults of the conversation itself (ProtocolError).

/** The common codes of docs/protocol.md ("Errors"), by a short name. */
export const ErrorCodes = {
  FILE_NOT_FOUND: 0x80070002,
  PATH_NOT_FOUND: 0x80070003,
  ACCESS_DENIED: 0x80070005,
  OUT_OF_MEMORY: 0x8007000e,
  SHARING_VIOLATION: 0x80070020,
  NOT_SUPPORTED: 0x80070032,
  INVALID_ARG: 0x80070057,
  INVALID_NAME: 0x8007007b,
  BUSY: 0x800700aa,
  ALREADY_EXISTS: 0x800700b7,
  DIRECTORY: 0x8007010b,
  PROVIDER_NOT_RUNNING: 0x8007016a,
  NOT_A_CLOUD_FILE: 0x80070178,
  NOT_IN_SYNC: 0x80070179,
  ALREADY_CONNECTED: 0x8007017a,
  INVALID_REQUEST: 0x8007017c,
  NOT_UNDER_SYNC_ROOT: 0x80070186,
  IN_USE: 0x80070187,
  PINNED: 0x80070188,
  UNSUCCESSFUL: 0x80070185,
  CLOUD_ACCESS_DENIED: 0x8007018b,
  REQUEST_CANCELED: 0x8007018e,
  PROVIDER_TERMINATED: 0x80070194,
  NOT_A_CLOUD_SYNC_ROOT: 0x80070195,
  REQUEST_TIMEOUT: 0x800701aa,
  NOT_FOUND: 0x80070490,
} as const;

export type ErrorCodeName = keyof typeof ErrorCodes;

const NAMES = new Map<number, ErrorCodeName>(
  Object.entries(ErrorCodes).map(([name, code]) => [code, name as ErrorCodeName]),
);

/** The short name of a code, or undefined for codes outside the common set. */
export function errorCodeName(code: number): ErrorCodeName | undefined {
  return NAMES.get(code);
}

/** "0x80070002": the form the program writes in "code" (lowercase, no leading zeros). */
export function hexCode(code: number): string {
  return "0x" + (code >>> 0).toString(16);
}

/**
 * The code of an error text ("<message> (0x80070002)"): the eight hex digits in the last
 * parentheses. The late answer of "hydrate" and the failed items of "create" carry only the text.
 */
export function codeFromText(text: string): number | undefined {
  const match = /\(0x([0-9a-fA-F]{1,8})\)\s*$/.exec(text);
  return match ? parseInt(match[1]!, 16) : undefined;
}

/** A request the program answered with "ok": false. */
export class CloudFilesError extends Error {
  /** The HRESULT as an unsigned 32-bit number, 0 when the answer named none. */
  readonly code: number;
  /** The same code as "0x80070179". */
  readonly hex: string;
  /** A short name for the common codes ("NOT_IN_SYNC"), undefined for others. */
  readonly codeName: ErrorCodeName | undefined;
  /** The program's error text, "<message> (0x80070179)". */
  readonly text: string;
  /** The command that failed. */
  readonly cmd: string;

  constructor(cmd: string, text: string, code?: number) {
    const value = (code ?? codeFromText(text) ?? 0) >>> 0;
    const name = errorCodeName(value);
    super(`"${cmd}" failed: ${text}${name ? ` [${name}]` : ""}`);
    this.name = "CloudFilesError";
    this.code = value;
    this.hex = hexCode(value);
    this.codeName = name;
    this.text = text;
    this.cmd = cmd;
  }

  /** True when the error carries `code` (a number or a name of ErrorCodes). */
  is(code: number | ErrorCodeName): boolean {
    return this.code === (typeof code === "number" ? code >>> 0 : ErrorCodes[code]);
  }
}

/** The program ended (exited, crashed, was killed) before the answer came, or before the call. */
export class ProgramExitedError extends Error {
  readonly exitCode: number | null;
  readonly signal: NodeJS.Signals | null;

  constructor(exitCode: number | null, signal: NodeJS.Signals | null, what?: string) {
    const how = `program exited (code ${exitCode ?? "none"}, signal ${signal ?? "none"})`;
    super(what ? `${how}: ${what}` : how);
    this.name = "ProgramExitedError";
    this.exitCode = exitCode;
    this.signal = signal;
  }
}

/** The conversation went wrong: no "ready", an unsupported version, a line that cannot be read. */
export class ProtocolError extends Error {
  constructor(message: string) {
    super(message);
    this.name = "ProtocolError";
  }
}

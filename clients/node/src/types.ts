// The shapes of requests, results and events, as docs/protocol.md lists them.

/** "info": what the program runs on. */
export interface Info {
  /** "cloud-files" (Windows), "fuse" (Linux, a mount over the root), "simulated" (Linux, no mount). */
  frontEnd: "cloud-files" | "fuse" | "simulated" | string;
  platform: "windows" | "linux" | string;
  /** "MAJOR.MINOR.PATCH" */
  version: string;
}

export interface RegisterOptions {
  /** The folder to register; it must exist. */
  root: string;
  /** The sync-root id (on Windows by convention `Provider!<user SID>!<account>`). */
  id: string;
  /** Display name (default "Zembra Sync"). */
  name?: string;
  /** Icon resource. */
  icon?: string;
  /** Provider version text (default "1"). */
  version?: string;
  /** "onDemand": folders created with `populated: false` are filled when first listed ("list"
   * events); "full" (the default): the system never asks. The Linux build refuses "onDemand" for
   * now (NOT_SUPPORTED). */
  population?: "full" | "onDemand";
}

/** What a program's delete or rename of a placeholder waits for: "deleting" / "renaming" events
 * answered with allow() or deny(). */
export type Confirmation = "delete" | "rename";

export interface ConnectOptions {
  /** Report changes under the root as change events until "disconnect". */
  watch?: boolean;
  /** Ask before deletes and renames (refused by the Linux build for now: NOT_SUPPORTED). */
  confirm?: Confirmation[];
}

/** One child of a listed folder, for "entries" (a CreateItem without "dir"). */
export interface EntryItem {
  name: string;
  /** Your identity for it (up to 4 KiB of UTF-8); comes back in "fetch", "attrs", "scan". */
  identity?: string;
  folder?: boolean;
  /** Folders: false leaves it to be filled when first listed (a "list" event), in a root
   * registered with population "onDemand". Default true. */
  populated?: boolean;
  /** Size in bytes (files). */
  size?: number;
  /** Modification time, milliseconds since 1970-01-01 UTC. */
  mtimeMs?: number;
}

/** One placeholder for "create". */
export interface CreateItem extends EntryItem {
  /** Full path of the directory that receives it. */
  dir: string;
}

/** An item "create" did not create. */
export interface CreateFailure {
  dir: string;
  /** The name as sent (null when it was absent). */
  name: string | null;
  /** "<message> (0x800700B7)" */
  error: string;
  /** The code of `error`, as an unsigned number (0 when the text names none). */
  code: number;
}

export interface CreateResult {
  failed: CreateFailure[];
}

/** The answer of "entries": the children not created (their "dir" is the listed folder), or
 * stale when the listing was no longer outstanding (cancelled, answered, timed out). */
export interface EntriesResult {
  failed: CreateFailure[];
  stale: boolean;
}

export type PinState = "pinned" | "unpinned" | "unspecified";

/** "attrs": attributes and placeholder state of one path. */
export interface Attrs {
  /** The file attribute word; 4294967295 when it cannot be read. */
  attributes: number;
  /** The placeholder's identity, null when the path is no placeholder. */
  identity: string | null;
  inSync: boolean;
  onlineOnly: boolean;
  pinned: boolean;
  unpinned: boolean;
}

export interface ScanEntry {
  identity: string;
  /** Relative to the scanned root, with the platform's separator. */
  path: string;
}

export interface ScanResult {
  onlineOnly: ScanEntry[];
  pinned: string[];
  unpinned: string[];
}

/** What "update" changes; only the keys given change anything. */
export interface UpdateOptions {
  /** The new identity; "" removes it. */
  identity?: string;
  size?: number;
  mtimeMs?: number;
  /** Drop the local content (files). */
  dehydrate?: boolean;
  inSync?: boolean;
  /** Refuse (NOT_IN_SYNC) if the placeholder was modified locally. */
  ifInSync?: boolean;
  /** Refuse (NOT_IN_SYNC) if the file's update sequence number is no longer this one. */
  usn?: number;
  /** Folders: false makes the next listing ask again ("list"), true marks the folder filled. */
  populated?: boolean;
}

export interface InSyncOptions {
  /** Refuse (NOT_IN_SYNC) if the file's update sequence number is no longer this one. */
  usn?: number;
}

/** The answer of "update" and "insync": the file's update sequence number after the change. */
export interface UsnResult {
  usn: number;
}

/** The answer of "data", "fail", "progress", "allow" and "deny". */
export interface FetchAnswer {
  /** True when the request id was no longer outstanding (completed, failed, cancelled). */
  stale: boolean;
}

// ---- events ----

export interface ReadyEvent {
  event: "ready";
  pid: number;
}

/** The system needs content of a placeholder. Answer with "data" chunks or one "fail". */
export interface FetchEvent {
  event: "fetch";
  /** Request id; answer with it. */
  req: number;
  /** The placeholder's identity ("" when it has none). */
  identity: string;
  /** Full path on Linux; from the volume root, without the drive letter, on Windows. */
  path: string;
  /** First byte required (4 KiB aligned). */
  offset: number;
  /** Bytes required; may reach past the end of the file. */
  length: number;
  fileSize: number;
  /** The reading process's image ("" when unknown). */
  process: string;
}

/** The system gave up on these fetches; data for them now gets "stale". */
export interface CancelEvent {
  event: "cancel";
  path: string;
  reqs: number[];
}

/** A program lists a folder that is not filled: answer with entries() or fail(). A "cancel" naming
 * `req` means the listing was given up. */
export interface ListEvent {
  event: "list";
  req: number;
  /** The folder, named as in "fetch" (from the volume root on Windows). */
  path: string;
  identity: string;
  /** The listing's file pattern ("*" for a plain listing). */
  pattern: string;
  process: string;
}

/** A program is about to delete a placeholder (connected with confirm ["delete"]): allow() or deny(). */
export interface DeletingEvent {
  event: "deleting";
  req: number;
  path: string;
  identity: string;
  folder: boolean;
}

/** A program is about to rename or move a placeholder (confirm ["rename"]): allow() or deny(). */
export interface RenamingEvent {
  event: "renaming";
  req: number;
  path: string;
  target: string;
  identity: string;
  folder: boolean;
  /** False for a move out of the sync root. */
  targetInRoot: boolean;
}

export interface OpenedEvent {
  event: "opened";
  path: string;
  pid: number;
}

/** A path's attributes, pin state or content changed (a root connected with "watch"). */
export interface ChangedEvent extends Attrs {
  event: "changed";
  path: string;
}

export interface CreatedEvent {
  event: "created";
  path: string;
  folder: boolean;
}

export interface DeletedEvent {
  event: "deleted";
  path: string;
}

export interface RenamedEvent {
  event: "renamed";
  from: string;
  path: string;
  /** The identity of the placeholder the rename replaced, where the system can tell (the Linux
   * mount): an edit saved by replacement, to upload and adopt under this identity. */
  replacedIdentity?: string;
}

/** The system dropped changes: "scan" the tree again. */
export interface RescanEvent {
  event: "rescan";
  path: string;
}

/** Every event the program writes. */
export type CloudFilesEvent =
  | ReadyEvent
  | FetchEvent
  | CancelEvent
  | ListEvent
  | DeletingEvent
  | RenamingEvent
  | OpenedEvent
  | ChangedEvent
  | CreatedEvent
  | DeletedEvent
  | RenamedEvent
  | RescanEvent;

export type EventName = CloudFilesEvent["event"];

/** How the program ended. */
export interface ExitInfo {
  pid: number;
  /** The exit code, null when a signal ended it. */
  code: number | null;
  signal: NodeJS.Signals | null;
  /** True when close() (or kill()) asked for the end. */
  expected: boolean;
  /** True when the client is about to start the program again (the "restart" option). */
  restarting: boolean;
}

/** A new program was started after the previous one ended ("restart" option). */
export interface RestartInfo {
  pid: number;
  /** 1 for the first restart. */
  attempt: number;
  info: Info;
}

/** A line that fits no request, or a handler that threw. A sound run has none. */
export interface ProblemInfo {
  message: string;
  error?: unknown;
}

/** The handlers' map: event name to the object the handler receives. */
export interface EventMap {
  ready: ReadyEvent;
  fetch: FetchEvent;
  cancel: CancelEvent;
  list: ListEvent;
  deleting: DeletingEvent;
  renaming: RenamingEvent;
  opened: OpenedEvent;
  changed: ChangedEvent;
  created: CreatedEvent;
  deleted: DeletedEvent;
  renamed: RenamedEvent;
  rescan: RescanEvent;
  /** Every event of the program, whatever its name (unknown ones included). */
  event: CloudFilesEvent;
  exit: ExitInfo;
  restart: RestartInfo;
  problem: ProblemInfo;
}

// zembra-cloud-files: the Node client of zembra_cloud_files.
export { CloudFiles, SUPPORTED_VERSION } from "./client.js";
export type { RestartOptions, StartOptions } from "./client.js";
export { CloudFilesError, ErrorCodes, ProgramExitedError, ProtocolError, codeFromText, errorCodeName, hexCode } from "./errors.js";
export type { ErrorCodeName } from "./errors.js";
export { ALIGNMENT, DEFAULT_CHUNK_SIZE, DEFAULT_PROGRESS_INTERVAL_MS, rangeEnd } from "./fetch.js";
export type { AnswerOptions, FetchOutcome, FetchSource } from "./fetch.js";
export { findProgram } from "./program.js";
export type * from "./types.js";

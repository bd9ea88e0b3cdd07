// Where the program is: the path given, the PATH, or this repository's own build.
import { accessSync, constants, statSync } from "node:fs";
import path from "node:path";
import { fileURLToPath } from "node:url";

const EXE = process.platform === "win32" ? "zembra_cloud_files.exe" : "zembra_cloud_files";

function runnable(file: string): boolean {
  try {
    if (!statSync(file).isFile()) return false;
    if (process.platform !== "win32") accessSync(file, constants.X_OK);
    return true;
  } catch {
    return false;
  }
}

/** The builds of this repository, relative to this file (dist/src/program.js in clients/node). */
function repositoryBuilds(): string[] {
  const top = fileURLToPath(new URL("../../../../", import.meta.url));
  return process.platform === "win32"
    ? [path.join(top, "build", "windows", EXE)]
    : [path.join(top, "build", "native", EXE)];
}

/**
 * The program to start: `explicit` when given (it must exist), else the first zembra_cloud_files on
 * PATH, else the repository's build (build/native/zembra_cloud_files).
 */
export function findProgram(explicit?: string): string {
  if (explicit) {
    const file = path.resolve(explicit);
    if (!runnable(file)) throw new Error(`zembra_cloud_files: ${file} is not a runnable file`);
    return file;
  }
  const tried: string[] = [];
  for (const dir of (process.env["PATH"] ?? "").split(path.delimiter)) {
    if (!dir) continue;
    const file = path.join(dir, EXE);
    if (runnable(file)) return file;
  }
  tried.push(`${EXE} on PATH`);
  for (const file of repositoryBuilds()) {
    if (runnable(file)) return file;
    tried.push(file);
  }
  throw new Error(`zembra_cloud_files not found (tried ${tried.join(", ")}); pass its path as "program"`);
}

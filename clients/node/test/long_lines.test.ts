// Lines of 64 MiB both ways: a "data" line out, an answer in (with multi-byte characters cut
// across the pipe's reads).
import assert from "node:assert/strict";
import { createHash } from "node:crypto";
import { readFileSync } from "node:fs";
import path from "node:path";
import { describe, it } from "node:test";
import { open, pattern } from "./harness.js";

const MiB = 1 << 20;
const sha = (bytes: Uint8Array) => createHash("sha256").update(bytes).digest("hex");

describe("64 MiB lines", () => {
  it("writes a 64 MiB data line that the program takes whole", async (t) => {
    const { client, root, lines } = await open(t, { trace: true });
    const content = pattern(48 * MiB, 5); // 48 MiB of bytes are 64 MiB of Base64
    await client.create([{ dir: root, name: "big.bin", identity: "big", size: content.length }]);
    client.serve(() => content, { chunkSize: 48 * MiB });
    await client.connect(root);
    await client.hydrate(path.join(root, "big.bin"));
    const written = lines.filter((l) => l.direction === ">" && l.text.startsWith('{"b64":"'));
    assert.equal(written.length, 1);
    assert.ok(written[0]!.size > 64 * MiB);
    await client.disconnect();
    assert.equal(sha(readFileSync(path.join(root, "big.bin"))), sha(content));
  });

  it("reads a 64 MiB answer whole, multi-byte characters included", async (t) => {
    const { client, root, lines } = await open(t, { trace: true });
    // An invalid name is echoed in the answer as sent: "é/" is three bytes, so reads of the pipe
    // cut characters in two.
    const name = "é/".repeat(Math.ceil((64 * MiB) / 3)) + "🎉";
    const { failed } = await client.create([{ dir: root, name }]);
    assert.equal(failed.length, 1);
    assert.equal(failed[0]!.name!.length, name.length);
    assert.ok(failed[0]!.name === name);
    const answer = lines.find((l) => l.direction === "<" && l.size > 64 * MiB);
    assert.ok(answer, "no answer line over 64 MiB");
    assert.equal((await client.info()).platform, "linux");
  });
});

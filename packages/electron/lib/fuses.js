'use strict';
// Reads the fuse wire Electron compiles into its executable, found the way
// @electron/fuses documents it: a fixed sentinel, then a version byte, a
// length byte and that many fuse bytes, '1' for on, '0' for off. Read here
// rather than through that package, which would add a dependency to every
// app for one scan.

const fs = process.versions.electron ? require('original-fs') : require('fs');

const SENTINEL = Buffer.from('dL7pKGdnNz796PbbjQWNKmHXBZaB9tsX', 'ascii');
const WIRE_VERSION = 1;
const FUSE_ON = 0x31;
const ASAR_INTEGRITY_FUSE = 4; // EnableEmbeddedAsarIntegrityValidation
const CHUNK_BYTES = 1024 * 1024;

// Every wire in `file` (a universal binary carries one per architecture):
// [{ version, wire }]. The file is read once, in chunks.
async function readFuseWires(file) {
  const handle = await fs.promises.open(file, 'r');
  try {
    const wires = [];
    const chunk = Buffer.alloc(CHUNK_BYTES);
    let carry = Buffer.alloc(0);
    for (;;) {
      const { bytesRead } = await handle.read(chunk, 0, CHUNK_BYTES, null);
      const buffer = Buffer.concat([carry, chunk.subarray(0, bytesRead)]);
      // A sentinel that starts this late cannot be whole yet: kept for the next chunk.
      let keepFrom = Math.max(0, buffer.length - SENTINEL.length - 1);
      for (let at = buffer.indexOf(SENTINEL); at >= 0; at = buffer.indexOf(SENTINEL, at + 1)) {
        const lengthAt = at + SENTINEL.length + 1;
        if (lengthAt >= buffer.length || lengthAt + 1 + buffer[lengthAt] > buffer.length) {
          keepFrom = Math.min(keepFrom, at);
          break;
        }
        const wire = Buffer.from(buffer.subarray(lengthAt + 1, lengthAt + 1 + buffer[lengthAt]));
        wires.push({ version: buffer[at + SENTINEL.length], wire });
      }
      if (bytesRead === 0) return wires;
      carry = Buffer.from(buffer.subarray(keepFrom));
    }
  } finally {
    await handle.close();
  }
}

// 'on', 'off', or a reason why it cannot be told.
async function asarIntegrityFuse(file) {
  const wires = await readFuseWires(file);
  let state = 'off';
  for (const { version, wire } of wires) {
    if (version !== WIRE_VERSION) return `its fuse wire has version ${version}, which this package does not know`;
    if (wire.length > ASAR_INTEGRITY_FUSE && wire[ASAR_INTEGRITY_FUSE] === FUSE_ON) state = 'on';
  }
  return state;
}

module.exports = { asarIntegrityFuse, readFuseWires, SENTINEL, CHUNK_BYTES };

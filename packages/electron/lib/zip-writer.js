'use strict';
// Writes a folder into a zip file with nothing but fs and zlib: every file
// deflated, names in UTF-8 with '/' separators, a fixed time stamp, so that
// the same folder gives the same bytes. No Zip64: a folder that needs it
// (4 GiB or 65535 entries) is refused rather than written wrongly.

const fs = require('fs');
const path = require('path');
const zlib = require('zlib');

const CRC_TABLE = (() => {
  const table = new Uint32Array(256);
  for (let n = 0; n < 256; n++) {
    let c = n;
    for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
    table[n] = c >>> 0;
  }
  return table;
})();

function crc32(bytes) {
  let c = 0xffffffff;
  for (let i = 0; i < bytes.length; i++) c = CRC_TABLE[(c ^ bytes[i]) & 0xff] ^ (c >>> 8);
  return (c ^ 0xffffffff) >>> 0;
}

const LIMIT = 0xffffffff;
const DOS_DATE_1980 = (0 << 9) | (1 << 5) | 1; // 1980-01-01, the format's first day
const UTF8_NAMES = 0x0800;

// The folder's entries in a stable order: [{ name, file }] for files,
// [{ name }] for folders (kept so that empty ones come out too). Links are
// refused: what they point at would not be what is shipped.
function entriesOf(folder, prefix = '') {
  const found = [];
  const names = fs.readdirSync(folder).sort();
  for (const name of names) {
    const file = path.join(folder, name);
    const stat = fs.lstatSync(file);
    const entryName = `${prefix}${name}`;
    if (stat.isSymbolicLink()) throw new Error(`a link cannot be zipped: ${file}`);
    if (stat.isDirectory()) {
      found.push({ name: `${entryName}/` });
      found.push(...entriesOf(file, `${entryName}/`));
    } else if (stat.isFile()) {
      found.push({ name: entryName, file });
    } else {
      throw new Error(`not a file or folder: ${file}`);
    }
  }
  return found;
}

// Writes `folder`'s contents (not the folder itself) to `zipFile`; resolves
// with the number of entries.
function zipFolder(folder, zipFile) {
  const entries = entriesOf(folder);
  if (entries.length >= 0xffff) throw new Error(`${folder} has ${entries.length} entries; this writer writes at most 65534`);
  const parts = [];
  const central = [];
  let offset = 0;
  for (const entry of entries) {
    const name = Buffer.from(entry.name, 'utf8');
    const data = entry.file ? fs.readFileSync(entry.file) : Buffer.alloc(0);
    const packed = entry.file ? zlib.deflateRawSync(data, { level: 9 }) : data;
    if (data.length > LIMIT || packed.length > LIMIT || offset > LIMIT) throw new Error(`${folder} is too large for a zip without Zip64`);
    const method = entry.file ? 8 : 0;
    const crc = crc32(data);
    const local = Buffer.alloc(30);
    local.writeUInt32LE(0x04034b50, 0);
    local.writeUInt16LE(20, 4); // version needed: deflate
    local.writeUInt16LE(UTF8_NAMES, 6);
    local.writeUInt16LE(method, 8);
    local.writeUInt16LE(0, 10); // time 00:00
    local.writeUInt16LE(DOS_DATE_1980, 12);
    local.writeUInt32LE(crc, 14);
    local.writeUInt32LE(packed.length, 18);
    local.writeUInt32LE(data.length, 22);
    local.writeUInt16LE(name.length, 26);
    local.writeUInt16LE(0, 28);
    const header = Buffer.alloc(46);
    header.writeUInt32LE(0x02014b50, 0);
    header.writeUInt16LE((3 << 8) | 20, 4); // made by: Unix, so the mode below counts
    header.writeUInt16LE(20, 6);
    header.writeUInt16LE(UTF8_NAMES, 8);
    header.writeUInt16LE(method, 10);
    header.writeUInt16LE(0, 12);
    header.writeUInt16LE(DOS_DATE_1980, 14);
    header.writeUInt32LE(crc, 16);
    header.writeUInt32LE(packed.length, 20);
    header.writeUInt32LE(data.length, 24);
    header.writeUInt16LE(name.length, 28);
    // Extra field, comment, disk number and internal attributes stay 0.
    const mode = entry.file ? 0o100644 : 0o040755;
    header.writeUInt32LE(((mode << 16) | (entry.file ? 0 : 0x10)) >>> 0, 38);
    header.writeUInt32LE(offset, 42);
    parts.push(local, name, packed);
    central.push(header, name);
    offset += local.length + name.length + packed.length;
  }
  const centralBytes = Buffer.concat(central);
  if (offset > LIMIT || offset + centralBytes.length > LIMIT) throw new Error(`${folder} is too large for a zip without Zip64`);
  const end = Buffer.alloc(22);
  end.writeUInt32LE(0x06054b50, 0);
  end.writeUInt16LE(entries.length, 8);
  end.writeUInt16LE(entries.length, 10);
  end.writeUInt32LE(centralBytes.length, 12);
  end.writeUInt32LE(offset, 16);
  fs.writeFileSync(zipFile, Buffer.concat([...parts, centralBytes, end]));
  return entries.length;
}

module.exports = { zipFolder, crc32 };

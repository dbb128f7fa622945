'use strict';
// Reads an asar archive's header, and a small file packed in it, with nothing
// but fs. The archive may be a hostile download: every size read from it is
// checked against the file before it decides how much is read.
//
// The layout: a pickle holding one uint32, the size of the header pickle that
// follows; that pickle holds its payload size, then the JSON header as a
// length-prefixed string. File data starts right after it, and each packed
// file's `offset` (a decimal string) counts from there.

const fs = process.versions.electron ? require('original-fs') : require('fs');

// Far above the header of any real app (tens of thousands of files take a few
// megabytes), and low enough that a forged size cannot exhaust memory.
const MAX_HEADER_BYTES = 128 * 1024 * 1024;

function readFully(fd, length, position) {
  const buffer = Buffer.alloc(length);
  let filled = 0;
  while (filled < length) {
    const read = fs.readSync(fd, buffer, filled, length - filled, position + filled);
    if (read === 0) break;
    filled += read;
  }
  return filled === length ? buffer : null;
}

// Names as they appear in a folder: a name that is empty, a dot name or holds a
// separator would lead out of the archive's own tree once it becomes a path.
function badName(name) {
  if (name === '' || name === '.' || name === '..' || /[/\0]/.test(name)) return true;
  return process.platform === 'win32' && /[\\:]/.test(name);
}

const isObject = (value) => value !== null && typeof value === 'object' && !Array.isArray(value);

// A folder of the header as the walk meets it; its path is only spelled out
// when needed, so that deep trees cost no more than their size.
const segmentsOf = (folder, name) => {
  const segments = [name];
  for (let at = folder; at.name !== undefined; at = at.parent) segments.push(at.name);
  return segments.reverse();
};

// Walks the whole header once, checking every entry; gives where the packed
// data ends (counted from the data start) and the unpacked files in header
// order (depth first). Throws a reason for the first malformed entry.
function walkHeader(root) {
  const unpacked = [];
  let dataEnd = 0;
  const stack = [{ entry: root }];
  while (stack.length > 0) {
    const folder = stack.pop();
    const children = [];
    for (const name of Object.keys(folder.entry.files)) {
      const entry = folder.entry.files[name];
      const where = () => JSON.stringify(segmentsOf(folder, name).join('/'));
      if (badName(name)) throw new Error(`entry name ${where()} is not allowed`);
      if (!isObject(entry)) throw new Error(`entry ${where()} is not an object`);
      if ('files' in entry) {
        if (!isObject(entry.files)) throw new Error(`folder ${where()} lists no files`);
        children.push({ entry, name, parent: folder });
        continue;
      }
      if ('link' in entry) {
        if (typeof entry.link !== 'string') throw new Error(`link ${where()} has no target`);
        continue;
      }
      if (!Number.isSafeInteger(entry.size) || entry.size < 0) throw new Error(`file ${where()} has no valid size`);
      if (entry.unpacked === true) {
        const segments = segmentsOf(folder, name);
        unpacked.push({ path: segments.join('/'), segments, size: entry.size, integrity: entry.integrity });
        continue;
      }
      const offset = typeof entry.offset === 'string' && /^\d{1,16}$/.test(entry.offset) ? Number(entry.offset) : NaN;
      if (!Number.isSafeInteger(offset + entry.size)) throw new Error(`file ${where()} has no valid offset`);
      dataEnd = Math.max(dataEnd, offset + entry.size);
    }
    for (let i = children.length - 1; i >= 0; i--) stack.push(children[i]);
  }
  return { dataEnd, unpacked };
}

class AsarArchive {
  // Opens `file` and reads its header; `what` names it in every error.
  constructor(file, what = 'the archive') {
    this.file = file;
    this.what = what;
    try {
      this.fd = fs.openSync(file, 'r');
    } catch (error) {
      throw Object.assign(new Error(`${what} cannot be opened: ${file} (${error.code || error.message})`), { kind: 'missing' });
    }
    try {
      this.read();
    } catch (error) {
      this.close();
      throw error;
    }
  }

  // `kind` tells a file cut off inside its header from one that is no archive.
  refuse(reason, kind = 'not-asar') {
    return Object.assign(new Error(`${this.what} is not an asar archive: ${this.file}${reason ? ` (${reason})` : ''}`), { kind });
  }

  read() {
    const stat = fs.fstatSync(this.fd);
    if (!stat.isFile()) throw Object.assign(new Error(`${this.what} is not a file: ${this.file}`), { kind: 'not-asar' });
    this.size = stat.size;
    const head = readFully(this.fd, 8, 0);
    if (!head) throw this.refuse(`${this.size} bytes, shorter than the sizes it starts with`, 'cut');
    const headerSize = head.readUInt32LE(4);
    if (head.readUInt32LE(0) !== 4 || headerSize < 8) throw this.refuse();
    if (headerSize > MAX_HEADER_BYTES) throw this.refuse(`a header of ${headerSize} bytes`);
    if (headerSize > this.size - 8) throw this.refuse(`its header of ${headerSize} bytes is cut off at ${this.size - 8}`, 'cut');
    const pickle = readFully(this.fd, headerSize, 8);
    if (!pickle) throw this.refuse('its header is cut off', 'cut');
    const payload = pickle.readUInt32LE(0);
    const length = pickle.readUInt32LE(4);
    if (payload !== headerSize - 4 || length > payload - 4) throw this.refuse('its header sizes do not agree');
    let header;
    try {
      header = JSON.parse(pickle.toString('utf8', 8, 8 + length));
    } catch {
      // The parser's message quotes the text, which may hold anything.
      throw this.refuse('its header is not JSON');
    }
    if (!isObject(header) || !isObject(header.files)) throw this.refuse('its header lists no files');
    let walked;
    try {
      walked = walkHeader(header);
    } catch (error) {
      throw this.refuse(error.message);
    }
    this.header = header;
    this.unpacked = walked.unpacked;
    this.dataStart = 8 + headerSize;
    // The size the header promises: its packed files all end inside the file.
    this.declaredSize = this.dataStart + walked.dataEnd;
  }

  // The bytes of the packed file at `name` ('a/b.txt') when it has at most
  // `limit` bytes; null when it is missing, no file, unpacked, larger or cut off.
  readFile(name, limit) {
    let entry = this.header;
    for (const segment of name.split('/')) {
      entry = isObject(entry.files) && Object.hasOwn(entry.files, segment) ? entry.files[segment] : null;
      if (!entry) return null;
    }
    if (!Number.isSafeInteger(entry.size) || typeof entry.offset !== 'string' || entry.unpacked === true || entry.size > limit) return null;
    return readFully(this.fd, entry.size, this.dataStart + Number(entry.offset));
  }

  close() {
    if (this.fd !== undefined) fs.closeSync(this.fd);
    this.fd = undefined;
  }
}

module.exports = { AsarArchive, MAX_HEADER_BYTES };

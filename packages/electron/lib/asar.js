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

// Every file the header lists, in header order (depth first), each with its
// path and checked numbers. Throws a reason for the first malformed entry.
function listFiles(root) {
  const files = [];
  const stack = [[root, []]];
  while (stack.length > 0) {
    const [folder, parents] = stack.pop();
    const children = [];
    for (const name of Object.keys(folder.files)) {
      const entry = folder.files[name];
      const segments = [...parents, name];
      const where = JSON.stringify(segments.join('/'));
      if (badName(name)) throw new Error(`entry name ${where} is not allowed`);
      if (!isObject(entry)) throw new Error(`entry ${where} is not an object`);
      if ('files' in entry) {
        if (!isObject(entry.files)) throw new Error(`folder ${where} lists no files`);
        children.push([entry, segments]);
        continue;
      }
      if ('link' in entry) {
        if (typeof entry.link !== 'string') throw new Error(`link ${where} has no target`);
        continue;
      }
      if (!Number.isSafeInteger(entry.size) || entry.size < 0) throw new Error(`file ${where} has no valid size`);
      const unpacked = entry.unpacked === true;
      let offset = null;
      if (!unpacked) {
        offset = typeof entry.offset === 'string' && /^\d{1,16}$/.test(entry.offset) ? Number(entry.offset) : NaN;
        if (!Number.isSafeInteger(offset) || !Number.isSafeInteger(offset + entry.size)) {
          throw new Error(`file ${where} has no valid offset`);
        }
      }
      files.push({ path: segments.join('/'), segments, size: entry.size, offset, unpacked, integrity: entry.integrity });
    }
    for (let i = children.length - 1; i >= 0; i--) stack.push(children[i]);
  }
  return files;
}

class AsarArchive {
  // Opens `file` and reads its header; `what` names it in every error.
  constructor(file, what = 'the archive') {
    this.file = file;
    this.what = what;
    try {
      this.fd = fs.openSync(file, 'r');
    } catch (error) {
      throw new Error(`${what} cannot be opened: ${file} (${error.code || error.message})`);
    }
    try {
      this.read();
    } catch (error) {
      this.close();
      throw error;
    }
  }

  refuse(reason) {
    return new Error(`${this.what} is not an asar archive: ${this.file}${reason ? ` (${reason})` : ''}`);
  }

  read() {
    const stat = fs.fstatSync(this.fd);
    if (!stat.isFile()) throw new Error(`${this.what} is not a file: ${this.file}`);
    this.size = stat.size;
    const head = readFully(this.fd, 8, 0);
    const headerSize = head ? head.readUInt32LE(4) : -1;
    if (!head || head.readUInt32LE(0) !== 4 || headerSize < 8 || headerSize > this.size - 8) throw this.refuse();
    if (headerSize > MAX_HEADER_BYTES) throw this.refuse(`a header of ${headerSize} bytes`);
    const pickle = readFully(this.fd, headerSize, 8);
    if (!pickle) throw this.refuse('its header is cut off');
    const payload = pickle.readUInt32LE(0);
    const length = pickle.readUInt32LE(4);
    if (payload !== headerSize - 4 || length > payload - 4) throw this.refuse('its header sizes do not agree');
    let header;
    try {
      header = JSON.parse(pickle.toString('utf8', 8, 8 + length));
    } catch (error) {
      throw this.refuse(error.message);
    }
    if (!isObject(header) || !isObject(header.files)) throw this.refuse('its header lists no files');
    try {
      this.files = listFiles(header);
    } catch (error) {
      throw this.refuse(error.message);
    }
    this.dataStart = 8 + headerSize;
    // The size the header promises: its packed files all end inside the file.
    this.declaredSize = this.files.reduce((end, f) => (f.unpacked ? end : Math.max(end, this.dataStart + f.offset + f.size)), this.dataStart);
  }

  // The entry at `name` ('a/b.txt'), or undefined.
  entry(name) {
    return this.files.find((f) => f.path === name);
  }

  // The bytes of a packed file of at most `limit` bytes; null when it is
  // missing, unpacked, larger or cut off.
  readFile(name, limit) {
    const found = this.entry(name);
    if (!found || found.unpacked || found.size > limit) return null;
    return readFully(this.fd, found.size, this.dataStart + found.offset);
  }

  close() {
    if (this.fd !== undefined) fs.closeSync(this.fd);
    this.fd = undefined;
  }
}

module.exports = { AsarArchive, MAX_HEADER_BYTES };

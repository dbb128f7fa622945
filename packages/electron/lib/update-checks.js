'use strict';
// What is checked before an update starts, so that the helper is never asked
// to install something that leaves the app unable to start: the executable's
// fuses, the bytes of the download, its version, and the unpacked files that
// will sit beside it.

const fs = process.versions.electron ? require('original-fs') : require('fs');
const crypto = require('crypto');
const path = require('path');
const { promisify } = require('util');
const { AsarArchive } = require('./asar');
const { asarIntegrityFuse } = require('./fuses');
const { parseVersion, compareVersions } = require('./semver');
const { signedAfterPacking } = require('./signed-pe');

const read = promisify(fs.read);
const CHUNK_BYTES = 1024 * 1024;
const PACKAGE_JSON_LIMIT = 1024 * 1024;

class UpdateError extends Error {
  constructor(code, message) {
    super(message);
    this.name = 'UpdateError';
    this.code = code;
  }
}

// The digest as 128 lower-case hex digits. Update feeds write it in base64
// (electron-updater's latest.yml); a checksum file writes hex.
function sha512Hex(digest) {
  if (typeof digest === 'string' && /^[0-9a-fA-F]{128}$/.test(digest)) return digest.toLowerCase();
  if (typeof digest === 'string' && /^[A-Za-z0-9+/]{86}(==)?$/.test(digest)) {
    const bytes = Buffer.from(digest, 'base64');
    // The last character carries two bits that are not part of the 64 bytes.
    if (bytes.length === 64 && bytes.toString('base64').startsWith(digest.replace(/=+$/, ''))) return bytes.toString('hex');
  }
  throw new UpdateError('SHA512_INVALID', 'sha512 must be the base64 of a SHA-512 digest, or its 128 hex digits');
}

// Hashes what `fd` holds from its start to its end, reading in chunks.
async function hashOf(fd, algorithm) {
  const hash = crypto.createHash(algorithm);
  const chunk = Buffer.alloc(CHUNK_BYTES);
  for (let position = 0; ; ) {
    const { bytesRead } = await read(fd, chunk, 0, CHUNK_BYTES, position);
    if (bytesRead === 0) return hash.digest();
    hash.update(chunk.subarray(0, bytesRead));
    position += bytesRead;
  }
}

const ENFORCED_ADVICE =
  'Electron compares app.asar with the hash of its header that is built into the executable, and ends the app at start when they differ; ' +
  'the executable keeps the old archive\'s hash, so after this update the app would not start again. ' +
  'Ship updates of such an app as a whole, with a full installer update (electron-updater, Squirrel), whose new executable carries the new hash, ' +
  'or turn the EnableEmbeddedAsarIntegrityValidation fuse off to update app.asar alone.';

async function checkFuses(options) {
  const executable = options.executablePath != null ? String(options.executablePath) : process.execPath;
  let state;
  try {
    state = await asarIntegrityFuse(executable);
  } catch (error) {
    throw new UpdateError('EXECUTABLE_UNREADABLE', `the app's executable cannot be read for its fuses: ${executable} (${error.code || error.message})`);
  }
  if (state === 'off') return;
  const found = state === 'on' ? 'has the EnableEmbeddedAsarIntegrityValidation fuse on' : `cannot be read for its fuses: ${state}`;
  throw new UpdateError('ASAR_INTEGRITY_ENFORCED', `the app's executable ${executable} ${found}. ${ENFORCED_ADVICE}`);
}

function runningVersion(options) {
  let version = options.currentVersion;
  if (version == null && process.versions.electron) {
    try {
      const { app } = require('electron');
      if (app && typeof app.getVersion === 'function') version = app.getVersion();
    } catch {
      // Not the main process: the caller must say.
    }
  }
  if (version == null) throw new TypeError("currentVersion is needed where Electron's app.getVersion() is not available");
  if (!parseVersion(version)) throw new TypeError(`the running app's version is not a semantic version: ${JSON.stringify(String(version))}`);
  return version;
}

function checkVersion(archive, options) {
  if (options.allowDowngrade === true) return;
  const running = runningVersion(options);
  let version;
  try {
    version = JSON.parse(archive.readFile('package.json', PACKAGE_JSON_LIMIT).toString('utf8')).version;
  } catch {
    version = undefined;
  }
  const overrule = 'allowDowngrade: true installs it anyway';
  if (!parseVersion(version)) {
    throw new UpdateError('NOT_NEWER', `the update's package.json holds no semantic version, so it cannot be newer than ${running}; ${overrule}`);
  }
  if (compareVersions(version, running) <= 0) {
    throw new UpdateError('NOT_NEWER', `the update's version ${version} is not newer than the running app's ${running}; ${overrule}`);
  }
}

function exists(file) {
  try {
    fs.lstatSync(file);
    return true;
  } catch (error) {
    if (error.code === 'ENOENT' || error.code === 'ENOTDIR') return false;
    throw error;
  }
}

// The folder may be writable by others: no link at the file's own name is
// followed, and a pipe planted there neither blocks nor counts as a file.
const OPEN_FLAGS = process.platform === 'win32' ? 'r' : fs.constants.O_RDONLY | fs.constants.O_NOFOLLOW | fs.constants.O_NONBLOCK;

// Signed programs are read whole to be compared; larger ones are compared as they are.
const SIGNED_PROGRAM_LIMIT = 512 * 1024 * 1024;

// What is wrong with the file at `file` for the header's `entry`, or null.
async function unpackedProblem(file, entry) {
  const { integrity } = entry;
  if (integrity !== undefined && !(integrity && integrity.algorithm === 'SHA256' && /^[0-9a-f]{64}$/i.test(integrity.hash))) {
    return 'has an integrity entry that cannot be checked';
  }
  let fd;
  try {
    fd = fs.openSync(file, OPEN_FLAGS);
  } catch (error) {
    return error.code === 'ENOENT' || error.code === 'ENOTDIR' ? 'is missing' : `cannot be opened (${error.code || error.message})`;
  }
  try {
    const stat = fs.fstatSync(fd);
    if (!stat.isFile()) return 'is not a file';
    const sameSize = stat.size === entry.size;
    if (sameSize && !(integrity && !(await hashOf(fd, 'sha256')).equals(Buffer.from(integrity.hash, 'hex')))) return null;
    // electron-builder signs the unpacked programs after it wrote the header.
    if (stat.size > entry.size && stat.size <= SIGNED_PROGRAM_LIMIT) {
      const bytes = Buffer.alloc(stat.size);
      let filled = 0;
      for (let got = 1; got > 0 && filled < bytes.length; filled += got) ({ bytesRead: got } = await read(fd, bytes, filled, bytes.length - filled, filled));
      if (filled === stat.size && signedAfterPacking(bytes, entry.size, integrity && integrity.hash)) return null;
    }
    return sameSize ? "differs from the hash in the update's header" : `has ${stat.size} bytes where the update's header says ${entry.size}`;
  } finally {
    fs.closeSync(fd);
  }
}

// The helper installs <update>.unpacked/ when the update brings one, and
// otherwise leaves the installed <app>.unpacked/ in place: the files the new
// archive expects outside itself must be there, as its header describes them.
async function checkUnpacked(archive, updateAsar, appAsar) {
  const wanted = archive.unpacked;
  if (wanted.length === 0) return;
  const shipped = `${updateAsar}.unpacked`;
  const folder = exists(shipped) ? shipped : `${appAsar}.unpacked`;
  for (const entry of wanted) {
    const problem = await unpackedProblem(path.join(folder, ...entry.segments), entry);
    if (problem) {
      throw new UpdateError(
        'UNPACKED_MISMATCH',
        `the update's unpacked file ${JSON.stringify(entry.path)} ${problem} in ${folder}; ` +
          `ship the update's unpacked folder beside it, as ${shipped}${path.sep}, with the files its header lists`,
      );
    }
  }
}

// Every check on the archive itself; resolves when the update may start.
async function checkArchive(options, updateAsar, appAsar) {
  const wantedSha512 = options.sha512 != null ? sha512Hex(options.sha512) : null;
  const archive = new AsarArchive(updateAsar, 'the update archive');
  try {
    if (archive.size < archive.declaredSize) {
      throw new UpdateError('UPDATE_TRUNCATED', `the update archive is cut off: ${updateAsar} has ${archive.size} bytes, its header lists ${archive.declaredSize}`);
    }
    checkVersion(archive, options);
    if (wantedSha512 !== null) {
      const got = (await hashOf(archive.fd, 'sha512')).toString('hex');
      if (got !== wantedSha512) {
        throw new UpdateError('CHECKSUM_MISMATCH', `the update archive's SHA-512 is ${got}, not the expected ${wantedSha512}: ${updateAsar}`);
      }
    }
    await checkUnpacked(archive, updateAsar, appAsar);
  } finally {
    archive.close();
  }
}

const journalPath = (appAsar) => `${appAsar}.vantrell-journal`;

module.exports = { UpdateError, sha512Hex, checkFuses, checkArchive, journalPath, exists };

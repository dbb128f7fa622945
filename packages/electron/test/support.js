'use strict';
// What the tests share: the real binaries and a private per-user data folder.

const crypto = require('crypto');
const fs = require('fs');
const os = require('os');
const path = require('path');

const root = path.resolve(__dirname, '..', '..', '..');

// An empty variable turns a build off (the Windows test run has no native build).
function binary(variable, fallback) {
  const given = process.env[variable];
  if (given !== undefined) return given === '' ? null : given;
  return fs.existsSync(fallback) ? fallback : null;
}

const nativeHelper = binary('VANTRELL_HELPER', path.join(root, 'build', 'native', 'vantrell-helper'));
const nativeRecorder = binary('RECORD_ARGS_EXE', path.join(root, 'build', 'native', 'tests', 'record_args'));
const windowsHelper = binary('VANTRELL_HELPER_WINDOWS', '');
const windowsRecorder = binary('RECORD_ARGS_WINDOWS', '');

// A scratch folder that is also the helper's per-user data folder (the log,
// the native registry store), so that test files may run side by side.
function scratch(t) {
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), 'vantrell-npm-'));
  process.env.XDG_DATA_HOME = path.join(folder, 'appdata');
  t.after(() => fs.rmSync(folder, { recursive: true, force: true }));
  return folder;
}

async function poll(check, what, timeoutMs = 30000) {
  const deadline = Date.now() + timeoutMs;
  for (;;) {
    const value = check();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await new Promise((resolve) => setTimeout(resolve, 25));
  }
}

// What record_args wrote: its command line (Windows only) and its argv.
function readRecord(file) {
  if (!fs.existsSync(file)) return null;
  const fields = fs.readFileSync(file).toString('utf8').split('\0').slice(0, -1);
  return { commandLine: fields[0], argv: fields.slice(1) };
}

// A text as the helper's log shows it: control characters escaped.
function escaped(text) {
  const names = { '\n': '\\n', '\r': '\\r', '\t': '\\t' };
  return text.replace(/[\x00-\x1f\x7f]/g, (c) => names[c] || `\\x${c.charCodeAt(0).toString(16).padStart(2, '0')}`);
}


const sha256 = (bytes) => crypto.createHash('sha256').update(bytes).digest('hex');

// Writes an asar archive of `tree` ({ name: text or Buffer, or a folder's
// tree }) as the archive tools lay it out, each file with its SHA-256
// integrity; the paths in `unpacked` ('a/b.node') go to <file>.unpacked/.
function writeAsar(file, tree, unpacked = []) {
  const data = [];
  let offset = 0;
  const walk = (node, prefix) => {
    const files = {};
    for (const [name, value] of Object.entries(node)) {
      const where = prefix + name;
      if (typeof value === 'object' && !Buffer.isBuffer(value)) {
        files[name] = { files: walk(value, `${where}/`) };
        continue;
      }
      const bytes = Buffer.from(value);
      const entry = { size: bytes.length, integrity: { algorithm: 'SHA256', hash: sha256(bytes), blockSize: 4194304, blocks: [sha256(bytes)] } };
      if (unpacked.includes(where)) {
        entry.unpacked = true;
        fs.mkdirSync(path.dirname(path.join(`${file}.unpacked`, where)), { recursive: true });
        fs.writeFileSync(path.join(`${file}.unpacked`, where), bytes);
      } else {
        entry.offset = String(offset);
        offset += bytes.length;
        data.push(bytes);
      }
      files[name] = entry;
    }
    return files;
  };
  const json = Buffer.from(JSON.stringify({ files: walk(tree, '') }));
  const pickle = Buffer.alloc(8 + Math.ceil(json.length / 4) * 4);
  pickle.writeUInt32LE(pickle.length - 4, 0);
  pickle.writeUInt32LE(json.length, 4);
  json.copy(pickle, 8);
  const sizes = Buffer.from(new Uint32Array([4, pickle.length]).buffer);
  fs.writeFileSync(file, Buffer.concat([sizes, pickle, ...data]));
  return file;
}

module.exports = { escaped, writeAsar, root, nativeHelper, nativeRecorder, windowsHelper, windowsRecorder, scratch, poll, readRecord };

// Electron's app as far as quitting goes: quit() emits before-quit and
// will-quit, each of which a listener may prevent, then quit; the caller
// ends the process on 'quit', as Electron would.
function fakeElectronApp() {
  const { EventEmitter } = require('events');
  const app = new EventEmitter();
  app.quits = 0;
  app.quit = () => {
    app.quits++;
    for (const name of ['before-quit', 'will-quit']) {
      let prevented = false;
      app.emit(name, { preventDefault: () => (prevented = true) });
      if (prevented) return;
    }
    app.emit('quit', {}, 0);
  };
  return app;
}

module.exports.fakeElectronApp = fakeElectronApp;

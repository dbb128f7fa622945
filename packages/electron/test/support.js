'use strict';
// What the tests share: the real binaries and a private per-user data folder.

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

module.exports = { escaped, root, nativeHelper, nativeRecorder, windowsHelper, windowsRecorder, scratch, poll, readRecord };

'use strict';
// lastResult() answers for the run this app started: not another app's in the
// shared log, not a later run of a reused process id, not a line an option
// text poses as. And the checks made before a run: REG_DWORD bytes, installs
// that cannot be updated in place.
const assert = require('node:assert/strict');
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const test = require('node:test');
const helper = require('..');
const { nativeHelper, scratch, poll, writeAsar } = require('./support');

const skip = !nativeHelper;
const root = process.getuid && process.getuid() === 0;

// An app that asks for an update and quits at once, as a real one does.
function requestUpdate(options) {
  const request = `require(${JSON.stringify(path.join(__dirname, '..'))}).applyAsarUpdate(${JSON.stringify(options)}).then((r) => process.stdout.write(JSON.stringify(r)))`;
  return JSON.parse(execFileSync(process.execPath, ['-e', request], { encoding: 'utf8' }));
}

async function makeApp(dir, name) {
  const folder = path.join(dir, name);
  fs.mkdirSync(folder, { recursive: true });
  writeAsar(path.join(folder, 'update.asar'), { f: name });
  fs.writeFileSync(path.join(folder, 'app.asar'), 'old');
  return { appAsar: path.join(folder, 'app.asar'), updateAsar: path.join(folder, 'update.asar'), dataFolder: path.join(folder, 'userData'), allowDowngrade: true };
}

const ended = (app) => poll(() => { const r = helper.lastResult(app); return r && r.status !== null && r; }, 'the run\'s last line');

for (const [name, wrap] of [['one log, two apps', null], ['a reused process id', 'unshare']]) {
  const why = wrap && !root ? 'unshare --pid needs root' : skip;
  test(`lastResult: ${name} each get their own run`, { skip: why }, async (t) => {
    const dir = scratch(t);
    let helperPath = nativeHelper;
    if (wrap) {
      // Every helper is process 1 of a namespace of its own. The app is not
      // in it, so the wrapper waits for the app as the helper would.
      helperPath = path.join(dir, 'helper-in-namespace');
      fs.writeFileSync(helperPath, `#!/bin/sh\nunshare --pid --fork ${JSON.stringify(nativeHelper)} "$@"\nstatus=$?\nwhile kill -0 $PPID 2>/dev/null; do sleep 0.05; done\nexit $status\n`, { mode: 0o755 });
    }
    // A folder name that poses as the failing run's good end, and as a run of
    // its own: the log escapes it, so none of it is a line.
    const forged = `a\nINFO  (1) Run ${'0'.repeat(32)} started\nINFO  (1) Update finished\r\nINFO  (1) Launching process. y`;
    const failing = await makeApp(dir, forged);
    const working = await makeApp(dir, 'b');
    fs.symlinkSync(dir, `${failing.updateAsar}.unpacked`); // the helper refuses it: status 2
    const a = requestUpdate({ ...failing, helperPath, relaunch: { args: ['x\ty'] }, relaunchAfterFailure: true });
    const first = await ended(failing);
    const b = requestUpdate({ ...working, helperPath });
    const second = await ended(working);

    assert.deepEqual([first.runId, first.status, first.finished, first.succeeded], [a.runId, 2, true, false]);
    assert.match(first.error, /^The update's unpacked folder is a link or no folder: .*\\nINFO  \(1\) Run 0+ started\\n.*\.unpacked$/);
    // It relaunched the app although the update failed.
    assert.ok(first.lines.some((line) => line.message.startsWith(`Launching process. Program: ${process.execPath}, Args: "x\\ty"`)));
    assert.deepEqual([second.runId, second.status, second.succeeded, second.error], [b.runId, 0, true, null]);
    assert.deepEqual(second.lines.map((line) => line.message).slice(-1), ['Update finished']);
    assert.equal(helper.readResult(null, { runId: '0'.repeat(32) }), null);
    assert.deepEqual([first.pid === second.pid, first.pid === 1], wrap ? [true, true] : [false, false]);
    // The log's end is the second run's; the first app is still told its own.
    assert.deepEqual(helper.lastResult(failing), first);
  });
}

test('lastResult: without the app\'s own record there is no result', () => {
  assert.deepEqual([helper.lastResult(), helper.lastResult({ dataFolder: __dirname })], [null, null]); // no record
});

test('REG_DWORD values are written as their own four bytes; others are refused', { skip }, async (t) => {
  scratch(t);
  const key = path.join(process.env.XDG_DATA_HOME, 'vantrell', 'registry', 'HKCU', 'Software', 'Vt');
  fs.mkdirSync(key, { recursive: true });
  const stored = (value) => helper
    .setRegistryValue({ root: 'HKCU', subkey: 'Software\\Vt', name: 'V', value, type: 'REG_DWORD', helperPath: nativeHelper })
    .then(() => [...fs.readFileSync(path.join(key, '\\values', 'V'))].slice(4));
  for (const [value, bytes] of [[0, [0, 0, 0, 0]], [0x7fffffff, [0xff, 0xff, 0xff, 0x7f]], [0x80000000, [0, 0, 0, 0x80]],
    [0xdeadbeef, [0xef, 0xbe, 0xad, 0xde]], [0xffffffff, [0xff, 0xff, 0xff, 0xff]]]) {
    assert.deepEqual(await stored(value), bytes, String(value));
  }
  for (const value of [-1, 2 ** 32, 1.5, '7']) {
    await assert.rejects(stored(value), /a REG_DWORD value must be a whole number from 0 to 4294967295/, String(value));
  }
});

test('an AppImage or a portable build is not updated in place', async (t) => {
  const dir = scratch(t);
  const app = await makeApp(dir, 'c');
  for (const variable of ['APPIMAGE', 'PORTABLE_EXECUTABLE_FILE', 'PORTABLE_EXECUTABLE_DIR']) {
    process.env[variable] = path.join(dir, 'App.run');
    try {
      await assert.rejects(helper.applyAsarUpdate({ ...app, helperPath: nativeHelper || 'none' }),
        (error) => error.code === 'NOT_UPDATABLE_IN_PLACE' && /cannot be updated in place/.test(error.message), variable);
    } finally {
      delete process.env[variable];
    }
  }
  assert.equal(fs.existsSync(app.dataFolder), false, 'nothing was started');
});

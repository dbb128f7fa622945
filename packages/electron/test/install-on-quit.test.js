'use strict';
// Install on quit with real processes: an app stages an update and quits on
// its own, the native helper installs it without starting the app again; an
// app that ends without quitting leaves a stale record, which the next start
// drops or stages again, and never installs halfway.
const assert = require('node:assert/strict');
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const test = require('node:test');
const helper = require('..');
const { AsarArchive } = require('../lib/asar');
const { nativeHelper, scratch, poll, writeAsar, fakeElectronApp } = require('./support');

const archive = (file, version) => writeAsar(file, { 'package.json': JSON.stringify({ version }), 'main.js': `// ${version}\n` });

function installedVersion(file) {
  const asar = new AsarArchive(file);
  try {
    return JSON.parse(asar.readFile('package.json', 1024)).version;
  } finally {
    asar.close();
  }
}

// An installation at 1.0.0 with 1.1.0 downloaded and 0.9.0 at hand.
function installation(t) {
  const dir = scratch(t);
  const resources = path.join(dir, 'resources');
  fs.mkdirSync(resources);
  archive(path.join(resources, 'app.asar'), '1.0.0');
  archive(path.join(resources, 'update.asar'), '1.1.0');
  archive(path.join(resources, 'old.asar'), '0.9.0');
  return { dir, resources, dataFolder: path.join(dir, 'userData'), report: path.join(dir, 'report.json') };
}

async function runApp(mode, { resources, report }) {
  const app = spawn(process.execPath, [path.join(__dirname, 'fixtures', 'quit-app.js'), mode, report, resources, nativeHelper], { stdio: 'inherit' });
  const status = await new Promise((resolve) => app.on('exit', resolve));
  return { pid: app.pid, status, seen: JSON.parse(fs.readFileSync(report, 'utf8')) };
}

test('install on quit: the app quits on its own and the helper installs the staged update, without a relaunch', { skip: !nativeHelper }, async (t) => {
  const where = installation(t);
  const { pid, status, seen } = await runApp('quit', where);
  assert.equal(status, 0);
  assert.equal(seen.failed, undefined);
  assert.deepEqual([seen.staged.version, seen.staged.updateAsar], ['1.1.0', path.join(where.resources, 'update.asar')]);
  // The quit was held until the helper had started, then repeated; progress
  // up to the helper taking over, and its lines, reached the app before it ended.
  assert.equal(seen.quits, 2);
  assert.deepEqual(seen.steps.slice(0, 6), ['checking', 'staged', 'checking', 'started', '(quit)', 'waiting']);
  assert.ok(seen.lines.includes(`Waiting for process ${pid} to exit`), JSON.stringify(seen.lines));

  const result = await poll(() => {
    const last = helper.lastResult({ dataFolder: where.dataFolder });
    return last && last.finished && last;
  }, 'the helper to finish');
  assert.equal(result.succeeded, true, result.error);
  assert.equal(installedVersion(path.join(where.resources, 'app.asar')), '1.1.0');
  assert.ok(!result.lines.some((line) => line.message.startsWith('Launching process.')), 'the app was started again');

  const settled = await helper.settleStagedUpdate({ dataFolder: where.dataFolder });
  assert.equal(settled.action, 'installed');
  assert.equal(settled.result.runId, result.runId);
  assert.equal(await helper.settleStagedUpdate({ dataFolder: where.dataFolder }), null);
});

test('a staged update the app did not install is settled at the next start', { skip: !nativeHelper }, async (t) => {
  const cases = [
    // An app that ended without quitting: dropped, or staged again for this run's quit.
    { name: 'ended without quitting, dropped', mode: 'exit', settle: {}, action: 'dropped', code: null },
    { name: 'ended without quitting, staged again', mode: 'exit', settle: { apply: true }, action: 'restaged', code: undefined },
    // The record is the user's to write: staging it again checks with the app's key.
    { name: 'staged again, the app now needs a signature', mode: 'exit', settle: { apply: true, publicKey: 'key' }, action: 'dropped', code: 'SIGNATURE_INVALID' },
    // The download was replaced by an older one before the quit: nothing was started.
    { name: 'refused at the quit', mode: 'spoil', settle: {}, action: 'dropped', code: 'NOT_NEWER' },
    // Another instance of the app that staged it is still running: it installs it at its own quit.
    { name: 'staged by an instance still running', mode: 'exit', settle: {}, stagedBy: process.ppid, action: null },
  ];
  for (const { name, mode, settle, stagedBy, action, code } of cases) {
    await t.test(name, async (t) => {
      const where = installation(t);
      const { status, seen } = await runApp(mode, where);
      assert.deepEqual([status, seen.failed], [0, undefined]);
      const app = fakeElectronApp();
      const options = { dataFolder: where.dataFolder, app, currentVersion: '1.0.0', appAsar: path.join(where.resources, 'app.asar'), helperPath: nativeHelper, ...settle };
      if (settle.publicKey) options.publicKey = require('node:crypto').generateKeyPairSync('ed25519').publicKey;
      const record = path.join(where.dataFolder, 'vantrell-helper-staged.json');
      if (stagedBy) fs.writeFileSync(record, JSON.stringify({ ...JSON.parse(fs.readFileSync(record, 'utf8')), pid: stagedBy }));
      const settled = await helper.settleStagedUpdate(options);
      if (action === null) {
        assert.equal(settled, null);
        assert.ok(fs.existsSync(record));
        return;
      }
      assert.equal(settled.action, action, settled.error);
      assert.equal(settled.update.updateAsar, path.join(where.resources, 'update.asar'));
      if (code !== undefined) assert.equal(settled.code, code, settled.error);
      // Nothing was installed, and the next start finds nothing more to settle.
      assert.equal(installedVersion(path.join(where.resources, 'app.asar')), '1.0.0');
      assert.equal(helper.lastResult({ dataFolder: where.dataFolder }), null);
      assert.equal(await helper.settleStagedUpdate(options), null);
      assert.equal(helper.cancelStagedUpdate(), action === 'restaged');
      assert.equal(app.listenerCount('will-quit'), 0);
    });
  }
});

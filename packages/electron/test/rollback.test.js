'use strict';
// An update whose relaunched new version is watched (its probation): what
// lastResult() and markHealthy() tell at each point of the run, read from
// recorded log lines; then the whole flow with real processes.
const assert = require('node:assert/strict');
const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const test = require('node:test');
const helper = require('..');
const { saveRun, saveOwnRun, healthyMarkPath } = require('../lib/run-record');
const { AsarArchive } = require('../lib/asar');
const { nativeHelper, scratch, poll, writeAsar } = require('./support');

const ID = 'ab'.repeat(16);
const APP = '/opt/App/resources/app.asar';
const SWAP = [`INFO  (40) Run ${ID} started`, `INFO  (40) started updater. waitPid: 39, appAsar: ${APP}, updateAsar: /tmp/u.asar`,
  'INFO  (40) Process 39 has exited', 'INFO  (40) Update finished', 'INFO  (40) Launching process. Program: /opt/App/app, Args: --updated'];
// The swap done by an elevated copy, whose own status is not the run's.
const ELEVATED = [SWAP[0], 'INFO  (40) Elevated copy started, process id 41', `INFO  (41) Run ${ID} started`,
  'INFO  (41) Update finished', `INFO  (41) Run ${ID} ended, exit status 0`, SWAP[4]];
const failedLine = (app) => `The updated program ended with exit status 3 before it was healthy; rolling back ${app}`;
const FAILED = `WARN  (40) ${failedLine(APP)}`;
const ROLLED = [FAILED, `INFO  (40) Rolled back ${APP} to the previous version`];
const ended = (status) => `INFO  (40) Run ${ID} ended, exit status ${status}`;
const gonePid = spawnSync(process.execPath, ['-e', '']).pid;

const FIELDS = ['finished', 'probation', 'status', 'code', 'succeeded', 'rolledBack', 'failedExitStatus'];
const CASES = [
  // name, log, the record's probation, its helper's pid, lastResult() as FIELDS, markHealthy()
  ['watching the new version', SWAP, 30000, process.pid, [false, true, null, null, false, false, null], true],
  ['watching, after an elevated swap', ELEVATED, 30000, process.pid, [false, true, null, null, false, false, null], true],
  ['judged healthy', [...SWAP, ended(0)], 30000, process.pid, [true, false, 0, null, true, false, null], false],
  ['the new version failed, rolling back', [...SWAP, FAILED], 30000, process.pid, [false, false, null, null, false, false, 3], false],
  // What the old version, started again, may read before the run's last line.
  ['rolled back', [...SWAP, ...ROLLED], 30000, process.pid, [true, false, null, 'ROLLED_BACK', false, true, 3], false],
  ['rolled back, the run ended', [...SWAP, ...ROLLED, ended(7)], 30000, gonePid, [true, false, 7, 'ROLLED_BACK', false, true, 3], false],
  ['the swap back failed', [...SWAP, FAILED, `ERROR (40) Unable to roll back ${APP}`, ended(5)], 30000, gonePid,
    [true, false, 5, 'FILE_SYSTEM_FAILED', false, false, 3], false],
  ['the watching helper was killed', SWAP, 30000, gonePid, [false, false, null, null, false, false, null], true],
  // A failed update starts the old version, which nobody watches.
  ['the update failed', [...SWAP.slice(0, 3), `ERROR (40) Failed to copy ${APP}`, SWAP[4]], 30000, process.pid,
    [true, false, null, null, false, false, null], false],
  ['no probation', SWAP, 0, process.pid, [true, false, null, null, true, false, null], false],
];

test('lastResult and markHealthy at each point of a watched run', async (t) => {
  for (const [name, lines, probationMs, pid, expected, marks] of CASES) {
    await t.test(name, (t) => {
      const folder = scratch(t);
      const logPath = path.join(folder, 'update-log.txt');
      fs.writeFileSync(logPath, lines.map((line) => `${line}\n`).join(''));
      saveOwnRun(folder, { pid, runId: ID, startedAt: 1, logPath, probationMs });
      saveRun(folder, { pid, runId: ID, startedAt: 1, logPath, probationMs });
      process.env.VANTRELL_HELPER_RUN_ID = ID;
      t.after(() => delete process.env.VANTRELL_HELPER_RUN_ID);
      const mark = healthyMarkPath(folder, ID);
      assert.deepEqual([helper.markHealthy({ dataFolder: folder }), fs.existsSync(mark)], [marks, marks]);
      const result = helper.lastResult({ dataFolder: folder });
      assert.deepEqual(FIELDS.map((field) => result[field]), expected);
      // A mark of a run that is over is removed: it never counts again.
      fs.writeFileSync(mark, '');
      helper.lastResult({ dataFolder: folder });
      assert.equal(fs.existsSync(mark), !result.finished);
    });
  }
});

test('markHealthy without a run that watches it does nothing; a probation that is no time is refused', (t) => {
  const folder = scratch(t);
  assert.equal(helper.markHealthy({ dataFolder: folder }), false);
  process.env.VANTRELL_HELPER_RUN_ID = ID; // a run this folder has no record of
  t.after(() => delete process.env.VANTRELL_HELPER_RUN_ID);
  assert.deepEqual([helper.markHealthy({ dataFolder: folder }), helper.markHealthy(), fs.readdirSync(folder)], [false, false, []]);
  const options = { updateAsar: writeAsar(path.join(folder, 'u.asar'), { f: 'f' }), appAsar: path.join(folder, 'u.asar'), relaunch: true };
  for (const probation of [-1, 1.5, '30000', 2 ** 31]) {
    assert.throws(() => helper.updateArguments({ ...options, probation }), /probation must be a whole number of milliseconds/, String(probation));
  }
});

// A helper built before the probation existed ignores --probation.
const skip = !nativeHelper || (!fs.readFileSync(nativeHelper).includes('healthyMark') && 'this helper binary has no --probation');

// The fixture app at 1.0.0 asks for 1.1.0 (each with an unpacked file) and
// quits; the new version fails at its start or marks itself healthy.
test('probation flow: a failing new version is rolled back and the old one started; a healthy one is kept', { skip }, async (t) => {
  const probation = 10000;
  for (const newVersion of ['fail', 'healthy']) {
    await t.test(newVersion, async (t) => {
      const dir = scratch(t);
      const resources = path.join(dir, 'resources');
      fs.mkdirSync(resources);
      for (const [name, version] of [['app.asar', '1.0.0'], ['update.asar', '1.1.0']]) {
        writeAsar(path.join(resources, name), { 'package.json': JSON.stringify({ version }), 'native.node': version }, ['native.node']);
      }
      const report = path.join(dir, 'report');
      const began = Date.now();
      const app = spawn(process.execPath, [path.join(__dirname, 'fixtures', 'app.js'), 'first', report, resources, nativeHelper], {
        env: { ...process.env, APP_ARGS: '[]', APP_PROBATION: String(probation), APP_NEW_VERSION: newVersion },
        stdio: 'inherit',
      });
      assert.equal(await new Promise((resolve) => app.on('exit', resolve)), 0);
      const got = await poll(() => fs.existsSync(report) && JSON.parse(fs.readFileSync(report, 'utf8')), 'the last start\'s report', probation + 30000);
      const result = await poll(() => { const r = helper.lastResult({ dataFolder: path.join(dir, 'userData') }); return r && r.status !== null && r; }, 'the run\'s end');
      const asar = new AsarArchive(path.join(resources, 'app.asar'));
      const installed = JSON.parse(asar.readFile('package.json', 1024)).version;
      asar.close();
      const unpacked = fs.readFileSync(path.join(resources, 'app.asar.unpacked', 'native.node'), 'utf8');
      assert.deepEqual(['app.asar.vantrell-previous', 'app.asar.vantrell-unpacked-previous'].filter((name) => fs.existsSync(path.join(resources, name))), []);
      const failed = fs.existsSync(`${report}.failed`) && JSON.parse(fs.readFileSync(`${report}.failed`, 'utf8'));
      if (newVersion === 'fail') {
        // The new version saw itself on probation; the old one, started again, the rollback.
        assert.deepEqual([failed.early.finished, failed.early.probation], [false, true]);
        assert.deepEqual([got.version, installed, unpacked, got.marked], ['1.0.0', '1.0.0', '1.0.0', false]);
        // At its start the run's last line may be written or not yet.
        for (const seen of [got.early, result]) {
          assert.deepEqual(FIELDS.map((field) => (field === 'status' && seen.status === null ? 7 : seen[field])), [true, false, 7, 'ROLLED_BACK', false, true, 3]);
        }
        assert.equal(result.status, 7);
        assert.ok(result.lines.some((line) => line.level === 'WARN' && line.message === failedLine(path.join(resources, 'app.asar'))));
      } else {
        // Judged by its mark while it still ran, well before the probation was up.
        assert.ok(Date.now() - began < probation, `${Date.now() - began} ms`);
        assert.deepEqual([failed, got.version, installed, unpacked, got.marked], [false, '1.1.0', '1.1.0', '1.1.0', true]);
        assert.deepEqual([got.early.finished, got.early.probation], [false, true]);
        assert.deepEqual(FIELDS.map((field) => got.result[field]), [true, false, 0, null, true, false, null]);
        assert.deepEqual(fs.readdirSync(path.join(dir, 'userData', 'vantrell-helper-runs')).filter((name) => name.endsWith('.healthy')), []);
      }
    });
  }
});

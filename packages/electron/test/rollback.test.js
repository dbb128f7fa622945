'use strict';
// An update whose relaunched new version is watched (its probation): what
// lastResult() and markHealthy() tell at each point of the run, read from
// recorded log lines; then the whole flow with real processes, a new version
// that fails at its start and one that marks itself healthy.
const assert = require('node:assert/strict');
const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const test = require('node:test');
const helper = require('..');
const { saveRun, saveOwnRun, healthyMarkPath } = require('../lib/run-record');
const { AsarArchive } = require('../lib/asar');
const { nativeHelper, scratch, poll, writeAsar } = require('./support');

const RUN_ID = 'ab'.repeat(16);
const APP = '/opt/App/resources/app.asar';
const NEW_FAILED = 'WARN  (40) The updated program ended with exit status 3 before it was healthy; rolling back /opt/App/resources/app.asar';
const SWAP = [
  `INFO  (40) Run ${RUN_ID} started`,
  `INFO  (40) started updater. waitPid: 39, appAsar: ${APP}, updateAsar: /tmp/u.asar`,
  'INFO  (40) Waiting for process 39 to exit',
  'INFO  (40) Process 39 has exited',
  'INFO  (40) Update finished',
  'INFO  (40) Launching process. Program: /opt/App/app, Args: --updated',
];
const ROLLED = [NEW_FAILED, `INFO  (40) Rolled back ${APP} to the previous version`];
const ended = (status) => `INFO  (40) Run ${RUN_ID} ended, exit status ${status}`;
// The swap done by an elevated copy, whose own status is not the run's.
const ELEVATED = [SWAP[0], 'INFO  (40) Elevated copy started, process id 41', `INFO  (41) Run ${RUN_ID} started`, 'INFO  (41) Update finished',
  `INFO  (41) Run ${RUN_ID} ended, exit status 0`, SWAP[5]];

// A process id that has ended.
const gonePid = spawnSync(process.execPath, ['-e', '']).pid;

const CASES = [
  // name, the log, the record's probation and helper pid, what lastResult() gives, what markHealthy() gives.
  ['watching the new version', SWAP, 30000, process.pid,
    { finished: false, probation: true, status: null, code: null, succeeded: false, rolledBack: false, failedExitStatus: null }, true],
  ['watching, after an elevated swap', ELEVATED, 30000, process.pid,
    { finished: false, probation: true, status: null, code: null, succeeded: false, rolledBack: false, failedExitStatus: null }, true],
  ['judged healthy', [...SWAP, ended(0)], 30000, process.pid,
    { finished: true, probation: false, status: 0, code: null, succeeded: true, rolledBack: false, failedExitStatus: null }, false],
  ['the new version failed, rolling back', [...SWAP, NEW_FAILED], 30000, process.pid,
    { finished: false, probation: false, status: null, code: null, succeeded: false, rolledBack: false, failedExitStatus: 3 }, false],
  // What the old version, started again, may read before the run's last line.
  ['rolled back', [...SWAP, ...ROLLED], 30000, process.pid,
    { finished: true, probation: false, status: null, code: 'ROLLED_BACK', succeeded: false, rolledBack: true, failedExitStatus: 3 }, false],
  ['rolled back, the run ended', [...SWAP, ...ROLLED, ended(7)], 30000, gonePid,
    { finished: true, probation: false, status: 7, code: 'ROLLED_BACK', succeeded: false, rolledBack: true, failedExitStatus: 3 }, false],
  ['the swap back failed', [...SWAP, NEW_FAILED, `ERROR (40) Failed to rename ${APP}.vantrell-previous`, ended(5)], 30000, gonePid,
    { finished: true, probation: false, status: 5, code: 'FILE_SYSTEM_FAILED', succeeded: false, rolledBack: false, failedExitStatus: 3 }, false],
  ['the watching helper was killed', SWAP, 30000, gonePid,
    { finished: false, probation: false, status: null, code: null, succeeded: false, rolledBack: false, failedExitStatus: null }, true],
  // The failed update starts the old version, which nobody watches.
  ['the update failed', [...SWAP.slice(0, 4), `ERROR (40) Failed to copy ${APP}`, SWAP[5]], 30000, process.pid,
    { finished: true, probation: false, status: null, code: null, succeeded: false, rolledBack: false, failedExitStatus: null }, false],
  ['no probation', SWAP, 0, process.pid,
    { finished: true, probation: false, status: null, code: null, succeeded: true, rolledBack: false, failedExitStatus: null }, false],
];

test('lastResult and markHealthy at each point of a watched run', async (t) => {
  for (const [name, lines, probationMs, pid, expected, marks] of CASES) {
    await t.test(name, (t) => {
      const folder = path.join(scratch(t), 'userData');
      const log = path.join(folder, 'update-log.txt');
      fs.mkdirSync(folder, { recursive: true });
      fs.writeFileSync(log, lines.map((line) => `${line}\n`).join(''));
      const run = { pid, runId: RUN_ID, startedAt: 1, logPath: log, probationMs };
      saveOwnRun(folder, run);
      saveRun(folder, run);
      process.env.VANTRELL_HELPER_RUN_ID = RUN_ID;
      t.after(() => delete process.env.VANTRELL_HELPER_RUN_ID);

      const mark = healthyMarkPath(folder, RUN_ID);
      assert.equal(helper.markHealthy({ dataFolder: folder }), marks);
      assert.equal(fs.existsSync(mark), marks);
      const result = helper.lastResult({ dataFolder: folder });
      assert.deepEqual(Object.fromEntries(Object.keys(expected).map((key) => [key, result[key]])), expected);
      // A mark made for a run that is over is removed: it never counts again.
      fs.writeFileSync(mark, '');
      helper.lastResult({ dataFolder: folder });
      assert.equal(fs.existsSync(mark), !expected.finished);
    });
  }
});

test('markHealthy outside a watched run is a no-op', (t) => {
  const folder = scratch(t);
  delete process.env.VANTRELL_HELPER_RUN_ID;
  assert.equal(helper.markHealthy({ dataFolder: folder }), false);
  process.env.VANTRELL_HELPER_RUN_ID = RUN_ID; // a run this folder has no record of
  t.after(() => delete process.env.VANTRELL_HELPER_RUN_ID);
  assert.deepEqual([helper.markHealthy({ dataFolder: folder }), helper.markHealthy()], [false, false]);
  assert.deepEqual(fs.readdirSync(folder), []);
});

test('probation values that are no time are refused', (t) => {
  const dir = scratch(t);
  const update = writeAsar(path.join(dir, 'u.asar'), { f: 'f' });
  const appAsar = path.join(dir, 'app.asar');
  fs.writeFileSync(appAsar, 'old');
  for (const probation of [-1, 1.5, '30000', 2 ** 31]) {
    assert.throws(() => helper.updateArguments({ updateAsar: update, appAsar, relaunch: true, probation }),
      /probation must be a whole number of milliseconds/, String(probation));
  }
});

// ---- The whole flow, with the helper -------------------------------------

// A helper built before the probation existed ignores --probation: the flow
// below needs one that knows it.
const knowsProbation = nativeHelper && fs.readFileSync(nativeHelper).includes('healthyMark');
const skip = !nativeHelper ? true : !knowsProbation && 'this helper binary has no --probation';

const archive = (file, version, native) => writeAsar(file, { 'package.json': JSON.stringify({ version }), 'native.node': native }, ['native.node']);

function installedVersion(file) {
  const asar = new AsarArchive(file);
  try {
    return JSON.parse(asar.readFile('package.json', 1024)).version;
  } finally {
    asar.close();
  }
}

// An app at 1.0.0 asks for 1.1.0 (each with an unpacked file) and quits; the
// fixture plays each version's start as `behaviour` says.
async function updateApp(t, behaviour, probation) {
  const dir = scratch(t);
  const resources = path.join(dir, 'resources');
  fs.mkdirSync(resources);
  archive(path.join(resources, 'app.asar'), '1.0.0', 'old native');
  archive(path.join(resources, 'update.asar'), '1.1.0', 'new native');
  const report = path.join(dir, 'report');
  const app = spawn(process.execPath, [path.join(__dirname, 'fixtures', 'probation-app.js'), 'first', report, resources, nativeHelper, String(probation)], {
    env: { ...process.env, APP_NEW_VERSION: behaviour },
    stdio: 'inherit',
  });
  assert.equal(await new Promise((resolve) => app.on('exit', resolve)), 0);
  const dataFolder = path.join(dir, 'userData');
  const result = await poll(() => {
    const last = helper.lastResult({ dataFolder });
    return last && last.status !== null && last;
  }, 'the run\'s end', probation + 30000);
  const read = (version) => fs.existsSync(`${report}.${version}`) && JSON.parse(fs.readFileSync(`${report}.${version}`, 'utf8'));
  // A version started by the run reports after the run's last line.
  const seen = (version) => poll(() => read(version), `the report of ${version}`);
  return { resources, result, dataFolder, seen, read };
}

const kept = (resources) => ['app.asar.vantrell-previous', 'app.asar.vantrell-unpacked-previous'].filter((name) => fs.existsSync(path.join(resources, name)));

test('probation flow: a new version that fails at its start is rolled back, and the old one started again', { skip }, async (t) => {
  const { resources, result, seen } = await updateApp(t, 'fail', 10000);
  const [failed, old] = [await seen('1.1.0'), await seen('1.0.0')];
  assert.deepEqual([result.status, result.code, result.rolledBack, result.failedExitStatus, result.succeeded], [7, 'ROLLED_BACK', true, 3, false]);
  assert.ok(result.lines.some((line) => line.level === 'WARN' && line.message === `The updated program ended with exit status 3 before it was healthy; rolling back ${resources}/app.asar`));
  // The new version saw itself on probation; the old one, started again, the rollback.
  assert.deepEqual([failed.result.finished, failed.result.probation], [false, true]);
  assert.deepEqual([old.result.rolledBack, old.result.failedExitStatus, old.result.code, old.result.finished, old.marked], [true, 3, 'ROLLED_BACK', true, false]);
  assert.equal(installedVersion(path.join(resources, 'app.asar')), '1.0.0');
  assert.equal(fs.readFileSync(path.join(resources, 'app.asar.unpacked', 'native.node'), 'utf8'), 'old native');
  assert.deepEqual(kept(resources), []);
});

test('probation flow: a new version that marks itself healthy is kept, and the kept pair removed', { skip }, async (t) => {
  const probation = 10000;
  const started = Date.now();
  const { resources, result, dataFolder, seen, read } = await updateApp(t, 'healthy', probation);
  // Judged by its mark while it still ran, well before the probation was up.
  assert.ok(Date.now() - started < probation, `${Date.now() - started} ms`);
  assert.deepEqual([result.status, result.code, result.rolledBack, result.succeeded, result.finished], [0, null, false, true, true]);
  const got = await seen('1.1.0');
  assert.deepEqual([got.result.finished, got.result.probation, got.marked], [false, true, true]);
  assert.deepEqual([got.after.finished, got.after.probation, got.after.status], [true, false, 0]);
  assert.equal(read('1.0.0'), false, 'the old version ran again');
  assert.equal(installedVersion(path.join(resources, 'app.asar')), '1.1.0');
  assert.deepEqual(kept(resources), []);
  assert.deepEqual(fs.readdirSync(path.join(dataFolder, 'vantrell-helper-runs')).filter((name) => name.endsWith('.healthy')), []);
});

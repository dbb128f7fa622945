'use strict';
// The whole update with real processes: an app script asks for the update and
// quits, the native helper replaces its archive and starts it again, and the
// relaunched script reads the outcome.
const assert = require('node:assert/strict');
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const test = require('node:test');
const { nativeHelper, scratch, poll, writeAsar } = require('./support');

function makeArchive(file, version) {
  writeAsar(file, { 'package.json': JSON.stringify({ version }), 'main.js': `console.log(${JSON.stringify(version)});\n` });
}

test('update flow: the app quits, the helper replaces app.asar and relaunches it with its arguments', { skip: !nativeHelper }, async (t) => {
  const dir = scratch(t);
  const resources = path.join(dir, 'resources');
  fs.mkdirSync(resources);
  makeArchive(path.join(resources, 'app.asar'), '1.0.0');
  makeArchive(path.join(resources, 'update.asar'), '1.1.0');
  const report = path.join(dir, 'report.json');
  const args = ['a b', 'say "hi"', 'trail\\', 'dir with space\\', '', 'Jürgen 张伟', ' lead', 'x"\\"y'];

  const app = spawn(process.execPath, [path.join(__dirname, 'fixtures', 'app.js'), 'first', report, resources, nativeHelper], {
    env: { ...process.env, APP_ARGS: JSON.stringify(args) },
    stdio: 'inherit',
  });
  const appStatus = await new Promise((resolve) => app.on('exit', resolve));
  assert.equal(appStatus, 0);
  const first = JSON.parse(fs.readFileSync(`${report}.first`, 'utf8'));
  assert.equal(first.ownPid, app.pid);
  assert.equal(first.logPath, path.join(dir, 'appdata', 'vantrell', 'update-log.txt'));

  await poll(() => fs.existsSync(report), 'the relaunched app');
  const got = JSON.parse(fs.readFileSync(report, 'utf8'));
  assert.equal(got.failed, undefined);
  assert.deepEqual(got.args, args);
  assert.equal(got.version, '1.1.0');
  assert.equal(fs.existsSync(path.join(resources, 'update.asar')), false);

  const { result } = got;
  assert.equal(result.pid, first.pid);
  assert.deepEqual([result.finished, result.error, result.succeeded, result.elevatedPid], [true, null, true, null]);
  const messages = result.lines.map((line) => line.message);
  // The helper waited for the app to quit before it touched the archive.
  assert.deepEqual(messages.slice(0, 3), [
    `started updater. waitPid: ${app.pid}, appAsar: ${resources}/app.asar, updateAsar: ${resources}/update.asar`,
    `Waiting for process ${app.pid} to exit`,
    `Process ${app.pid} has exited`,
  ]);
  assert.ok(messages.indexOf('Update finished') < messages.findIndex((m) => m.startsWith('Launching process. Program: ' + process.execPath)));
});

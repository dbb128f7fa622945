'use strict';
// Following one run in the shared log while it is written: only its lines
// and its elevated copy's, whole lines even when a write stops inside a
// character, and steps in order; an app's callback that throws changes nothing.
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const test = require('node:test');
const { reporterOf, followRun } = require('../lib/update-progress');
const { scratch, poll } = require('./support');

const LINE = /^(INFO {2}|WARN {2}|ERROR )\((\d+)\) (.*)$/;
// The log's line format; continuation lines do not occur in this log.
const parseLines = (text) => text.split('\n').filter(Boolean).map((raw) => {
  const [, level, pid, message] = LINE.exec(raw);
  return { level: level.trim(), pid: Number(pid), message };
});

test('a run is followed in the log as it is written', async (t) => {
  const dir = scratch(t);
  const log = path.join(dir, 'update-log.txt');
  const id = 'ab'.repeat(16);
  fs.writeFileSync(log, 'INFO  (7) Run 00000000000000000000000000000000 started\n');
  const from = fs.statSync(log).size;
  const lines = [];
  const steps = [];
  const objectLog = [];
  const reporters = [
    reporterOf({ onProgress: (p) => steps.push([p.step, p.status ?? null]), logger: (line) => lines.push(`${line.pid} ${line.message}`) }),
    reporterOf({ onProgress: () => { throw new Error('app bug'); }, logger: { info: (m) => objectLog.push(`i ${m}`), error: (m) => objectLog.push(`e ${m}`) } }),
  ];
  for (const reporter of reporters) followRun({ file: log, from, runId: id, reporter, parseLines });

  const writes = [
    `INFO  (8) Run ${'cd'.repeat(16)} started\nINFO  (9) Run ${id} started\nINFO  (9) Waiting for process 5 to exit\n`,
    'INFO  (8) Waiting for process 6 to exit\nINFO  (9) Elevated copy started, process id 10\n',
    `INFO  (10) Run ${id} started\nINFO  (10) Process 5 has exited\nINFO  (10) Copying to /opt/J\xC3`, // cut inside "ü"
    '\xBCrgen/app.asar\nERROR (10) Disk full\nINFO  (8) Update finished\n',
    `INFO  (10) Run ${id} ended, exit status 5\nINFO  (9) Elevated copy ended, exit status 5\nINFO  (9) Run ${id} ended, exit status 5\nINFO  (9) after the end\n`,
  ];
  for (const text of writes) {
    fs.appendFileSync(log, Buffer.from(text, 'latin1'));
    await new Promise((resolve) => setTimeout(resolve, 150));
  }
  await poll(() => steps.some(([step]) => step === 'ended'), 'the run\'s end');
  assert.deepEqual(lines, [
    '9 Waiting for process 5 to exit',
    '9 Elevated copy started, process id 10',
    '10 Process 5 has exited',
    '10 Copying to /opt/Jürgen/app.asar',
    '10 Disk full',
    '9 Elevated copy ended, exit status 5',
  ]);
  assert.deepEqual(steps, [['waiting', null], ['installing', null], ['ended', 5]]);
  assert.deepEqual(objectLog.slice(3, 5), ['i vantrell-helper (10): Copying to /opt/Jürgen/app.asar', 'e vantrell-helper (10): Disk full']);
  assert.equal(objectLog.length, lines.length);
});

test('callbacks that are not functions are refused before anything starts', () => {
  for (const options of [{ onProgress: 'x' }, { logger: 5 }, { logger: { warn() {} } }]) {
    assert.throws(() => reporterOf(options), TypeError);
  }
  assert.equal(reporterOf({}), null);
});

'use strict';
// Argument arrays reach the launched program intact: natively (the POSIX
// stand-in splits the command line as Windows does) and under Wine, with the
// argument vector the package builds.
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const test = require('node:test');
const helper = require('..');
const { nativeHelper, nativeRecorder, windowsHelper, windowsRecorder, scratch, poll, readRecord, escaped, writeAsar } = require('./support');

const CARRIED = [
  [],
  ['plain', '--flag=value'],
  ['two words', ' leading', 'trailing ', ' '],
  ['say "hi"', '"', '""', 'a"b', '\\"', 'x"\\"y'],
  ['trail\\', 'with space\\', 'two\\\\', 'C:\\Program Files\\App\\', '\\\\server\\share\\'],
  ['', 'after empty', ''],
  ['Jürgen', '张伟 wǒ', 'emoji 😀', 'tab\there', 'new\nline'],
  ['-', '--', '--args', '--program', 'x'],
];

const REFUSED = [
  [['a  b'], /argument 0 "a  b" holds two spaces in a row, which the helper's --args cannot carry$/],
  [['ok', '   '], /argument 1 "   " holds two spaces in a row/],
  [['nul\0'], /argument 0 "nul\\u0000" holds a NUL character/],
  [['\ud800'], /argument 0 "\\ud800" is not valid Unicode text/],
  [[7], /argument 0 is not a string: number/],
  ['a b', /args must be an array of strings/],
];

test('arrays that cannot be carried are refused before anything starts', () => {
  for (const [args, expected] of REFUSED) assert.throws(() => helper.argsText(args), expected, JSON.stringify(args));
});

test('argument arrays arrive intact natively', { skip: !(nativeHelper && nativeRecorder) }, async (t) => {
  const dir = scratch(t);
  for (const [i, args] of CARRIED.entries()) {
    const record = path.join(dir, `record-${i}`);
    process.env.RECORD_ARGS_FILE = record;
    const started = await helper.launch(nativeRecorder, args, { helperPath: nativeHelper });
    assert.equal(started.lines.at(-1).message, `Launching process. Program: ${nativeRecorder}, Args: ${escaped(helper.argsText(args))}`);
    const got = await poll(() => readRecord(record), 'record_args');
    assert.deepEqual(got.argv.slice(1), args);
  }
  for (const [args, expected] of REFUSED) {
    await assert.rejects(helper.launch(nativeRecorder, args, { helperPath: nativeHelper }), expected);
  }
  assert.equal(helper.readResult(process.pid), null);
});

// Wine maps the Linux root to Z:.
test('argument arrays arrive intact under Wine', { skip: !(windowsHelper && windowsRecorder && process.env.WINEPREFIX) }, async (t) => {
  const dir = scratch(t);
  const recorder = path.join(dir, 'my programs', 'record args.exe');
  fs.mkdirSync(path.dirname(recorder));
  fs.copyFileSync(windowsRecorder, recorder);
  for (const [i, args] of CARRIED.entries()) {
    const record = path.join(dir, `record-${i}`);
    const argv = helper.launchArguments(`Z:${recorder}`, args);
    const run = spawnSync('wine', [windowsHelper, ...argv], {
      env: { ...process.env, RECORD_ARGS_FILE: `Z:${record}` },
      stdio: 'ignore',
      timeout: 60000,
    });
    assert.equal(run.status, 0, JSON.stringify(args));
    const got = await poll(() => readRecord(record), 'record_args under Wine');
    assert.deepEqual(got.argv.slice(1), args);
    assert.equal(got.commandLine, `"Z:${recorder.replace(/\//g, '\\')}" ${helper.argsText(args)}${args.length ? ' ' : ''}`);
  }
});

// cmd.exe reads &, ^ and %VAR% in a batch file's arguments: no quoting carries them.
test('a batch file is refused as the program on Windows, by any spelling of its name', async () => {
  const platform = Object.getOwnPropertyDescriptor(process, 'platform');
  Object.defineProperty(process, 'platform', { value: 'win32' });
  try {
    const refused = ['C:\\x\\run.bat', 'C:\\x\\RUN.CMD', 'C:/x/run.Bat.', 'C:\\x\\run.cmd . .', 'C:\\x\\run.bat::$DATA', 'run.BAT::$data. ', 'C:\\x\\run.cmd.::$DATA'];
    for (const program of refused) {
      assert.throws(() => helper.launchArguments(program, ['a&b']), (e) => e instanceof helper.UpdateError && e.code === 'BATCH_FILE', program);
    }
    await assert.rejects(helper.launch('C:\\x\\run.cmd', []), (e) => e.code === 'BATCH_FILE');
    for (const program of ['C:\\x\\run.exe', 'C:\\x\\bat', 'C:\\x.bat\\run.exe', 'C:\\x\\run.bat.exe', 'C:\\x\\run.bat:stream']) {
      assert.equal(helper.launchArguments(program, [])[2], program);
    }
  } finally {
    Object.defineProperty(process, 'platform', platform);
  }
  assert.equal(helper.launchArguments('/opt/run.bat', [])[2], '/opt/run.bat'); // natively no cmd.exe reads it
});

test('a relaunch also follows a failed update unless the caller turns it off', (t) => {
  const dir = scratch(t);
  const archive = writeAsar(path.join(dir, 'app.asar'), { f: 'f' });
  const flags = [undefined, true, false].map((relaunchAfterFailure) =>
    helper.updateArguments({ updateAsar: archive, appAsar: archive, relaunch: { args: [] }, relaunchAfterFailure }).includes('--launchAfterFailure'));
  assert.deepEqual(flags, [true, true, false]);
  assert.equal(helper.updateArguments({ updateAsar: archive, appAsar: archive }).includes('--launchAfterFailure'), false); // nothing to relaunch
});

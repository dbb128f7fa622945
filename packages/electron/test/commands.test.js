'use strict';
// The commands the caller waits for, with their statuses; where the helper is
// looked for; the checks before an update starts; reading runs back.
const assert = require('node:assert/strict');
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const test = require('node:test');
const helper = require('..');
const where = require('../lib/helper-path');
const { nativeHelper, nativeRecorder, scratch, poll, writeAsar } = require('./support');

const skip = !nativeHelper;

test('every exit status becomes a HelperError with its code and the run\'s lines', { skip }, async (t) => {
  const dir = scratch(t);
  const data = process.env.XDG_DATA_HOME;
  fs.mkdirSync(path.join(data, 'vantrell', 'registry', 'HKCU', 'Software', 'Vt'), { recursive: true });
  const zip = path.join(dir, 'one.zip');
  fs.writeFileSync(path.join(dir, 'a.txt'), 'a');
  execFileSync('python3', ['-c', 'import sys, zipfile; zipfile.ZipFile(sys.argv[1], "w").write(sys.argv[2], "a.txt")', zip, path.join(dir, 'a.txt')]);
  fs.writeFileSync(path.join(dir, 'plain'), 'x');
  const options = { helperPath: nativeHelper };
  const cases = [
    ['launch of a missing program', () => helper.launch(path.join(dir, 'none'), [], options), 1, 'COMMAND_FAILED', `The executable file doesn't exist: ${dir}/none`],
    ['extraction of a missing zip', () => helper.extractZip({ zip: path.join(dir, 'none.zip'), out: dir, ...options }), 2, 'INPUT_MISSING', "The zip file doesn't exist"],
    ['a key that does not exist', () => helper.setRegistryValue({ root: 'HKCU', subkey: 'Software\\Nope', name: 'n', value: 'v', ...options }), 3, 'KEY_NOT_OPENED', null, /^the registry key HKCU\\Software\\Nope cannot be opened \(it must exist/],
    ['a value name that cannot be written', () => helper.setRegistryValue({ root: 'HKCU', subkey: 'Software\\Vt', name: 'a/b', value: 'v', ...options }), 4, 'VALUE_NOT_WRITTEN', null],
    ['an output folder below a file', () => helper.extractZip({ zip, out: path.join(dir, 'plain', 'out'), ...options }), 5, 'FILE_SYSTEM_FAILED', null],
  ];
  for (const [name, run, status, code, message, named] of cases) {
    await t.test(name, async () => {
      const error = await run().then(() => null, (e) => e);
      assert.ok(error instanceof helper.HelperError, String(error));
      assert.deepEqual([error.status, error.code], [status, code]);
      const last = error.lines[error.lines.length - 1];
      assert.equal(last.level, 'ERROR');
      assert.ok(error.lines.every((line) => line.pid === error.lines[0].pid && line.pid > 0));
      if (message) assert.equal(last.message, message);
      if (named) assert.match(error.message, named);
      assert.ok(error.message.endsWith(last.message));
    });
  }

  await t.test('status 0 resolves, with the lines of that run', async () => {
    const written = await helper.setRegistryValue({ root: 'HKCU', subkey: 'Software\\Vt', name: 'Count', value: 7, type: 'REG_DWORD', ...options });
    assert.equal(written.status, 0);
    assert.equal(written.lines.at(-1).message, 'regedit key: Count, value: 7 done');
    assert.deepEqual([...fs.readFileSync(path.join(data, 'vantrell', 'registry', 'HKCU', 'Software', 'Vt', '\\values', 'Count'))], [4, 0, 0, 0, 7, 0, 0, 0]);
    const extracted = await helper.extractZip({ zip, out: path.join(dir, 'out'), ...options });
    assert.equal(extracted.lines.at(-1).message, 'Extraction completed');
    assert.equal(fs.readFileSync(path.join(dir, 'out', 'a.txt'), 'utf8'), 'a');
    assert.equal(extracted.logPath, helper.logPath());
  });

  // The log folder itself cannot be made: the lines still come back, from standard error.
  await t.test('a log folder that cannot be made', async () => {
    process.env.XDG_DATA_HOME = path.join(dir, 'plain', 'data');
    try {
      const error = await helper.launch(nativeRecorder || '/bin/true', [], options).then(() => null, (e) => e);
      assert.deepEqual([error.status, error.code], [5, 'FILE_SYSTEM_FAILED']);
      assert.match(error.lines.at(-1).message, /^Unable to create directory .*GetLastError returned: 3$/);
    } finally {
      process.env.XDG_DATA_HOME = data;
    }
  });
});

test('statuses the native build cannot produce still get a code', () => {
  const table = [[0, null], [255, 'COMMAND_LINE_INVALID'], [4294967295, 'COMMAND_LINE_INVALID'], [6, 'OUT_OF_MEMORY'], [7, 'ROLLED_BACK'], [8, 'UNKNOWN_STATUS'], [null, 'KILLED']];
  assert.deepEqual(table.map(([status]) => [status, helper.statusCode(status)]), table);
});

test('helperPath in each situation', { skip }, async (t) => {
  const dir = scratch(t);
  const exe = process.platform === 'win32' ? 'vantrell-helper.exe' : 'vantrell-helper';
  const shipped = path.join(__dirname, '..', 'bin', `${process.platform}-${process.arch}`, exe);
  const resources = path.join(dir, 'resources');
  fs.mkdirSync(resources);
  const saved = process.resourcesPath;
  t.after(() => { process.resourcesPath = saved; });
  const failure = (options) => { try { helper.helperPath(options); } catch (e) { return e.message; } return null; };

  process.resourcesPath = resources;
  const hadShipped = fs.existsSync(shipped);
  if (!hadShipped) {
    assert.ok(failure().startsWith(`vantrell-helper not found; looked at: ${path.join(resources, exe)}, ${shipped}. In a packaged app`));
    fs.mkdirSync(path.dirname(shipped), { recursive: true });
    fs.copyFileSync(nativeHelper, shipped);
    t.after(() => fs.rmSync(shipped));
  }
  assert.equal(helper.helperPath(), shipped); // resources without the helper: the package's own
  fs.copyFileSync(nativeHelper, path.join(resources, exe));
  assert.equal(helper.helperPath(), path.join(resources, exe)); // a packaged app
  delete process.resourcesPath;
  assert.equal(helper.helperPath(), shipped); // plain Node
  assert.equal(helper.helperPath({ helperPath: nativeHelper }), nativeHelper);
  assert.equal(failure({ helperPath: path.join(dir, 'gone') }), `vantrell-helper not found; looked at: ${path.join(dir, 'gone')}`);
});

// A build machine asks for the machine an app is built for; Windows on arm64
// runs the x64 exe.
test('helperPath for each target: the places looked at, and what to fix when none has it', () => {
  const table = [
    ['win32', 'x64', ['/App/resources/vantrell-helper.exe', '/pkg/bin/win32-x64/vantrell-helper.exe'], /add .*bin\/win32-x64\/.*"vantrell-helper\.exe".* to "win\.extraResources"/],
    ['win32', 'arm64', ['/App/resources/vantrell-helper.exe', '/pkg/bin/win32-x64/vantrell-helper.exe'], /to "win\.extraResources"/],
    ['win32', 'ia32', ['/App/resources/vantrell-helper.exe'], /no binary for win32-ia32 \(it ships win32-x64, win32-arm64, linux-x64\)$/],
    ['linux', 'x64', ['/App/resources/vantrell-helper', '/pkg/bin/linux-x64/vantrell-helper'], /bin\/linux-\$\{arch\}\/".* to "linux\.extraResources"/],
    ['linux', 'arm64', ['/App/resources/vantrell-helper'], /no binary for linux-arm64/],
  ];
  for (const [platform, arch, expected, fix] of table) {
    const looked = where.candidates({ platform, arch, resourcesPath: '/App/resources', packageDir: '/pkg' });
    assert.deepEqual(looked, expected, `${platform}-${arch}`);
    assert.match(where.notFoundMessage({ platform, arch, looked }), fix, `${platform}-${arch}`);
  }
  // Inside an app's archive the package's binary is looked for unpacked first.
  const inArchive = where.candidates({ platform: 'linux', arch: 'x64', packageDir: '/r/app.asar/node_modules/vantrell-helper' });
  assert.deepEqual(inArchive, ['/r/app.asar.unpacked/node_modules/vantrell-helper/bin/linux-x64/vantrell-helper', '/r/app.asar/node_modules/vantrell-helper/bin/linux-x64/vantrell-helper']);
});

test('a relaunch argument that cannot be carried is named, with the reason, before anything starts', { skip }, async (t) => {
  const dir = scratch(t);
  const archive = writeAsar(path.join(dir, 'app.asar'), { f: 'f' });
  const savedArgv = process.argv;
  t.after(() => { process.argv = savedArgv; });
  process.argv = ['/opt/App/app', '--ok', '--title=a  b'];
  const cases = [
    [true, 'ARGUMENT_NOT_CARRIED', /relaunch argument process\.argv\[2\] "--title=a  b" holds two spaces in a row, which the helper's --args cannot carry$/],
    [{ args: ['fine', 'x\0y'] }, 'ARGUMENT_NOT_CARRIED', /relaunch argument relaunch\.args\[1\] "x\\u0000y" holds a NUL character/],
    [{ args: [3] }, undefined, /relaunch argument relaunch\.args\[0\] is not a string: number$/],
    [{ args: '--updated' }, undefined, /relaunch\.args must be an array of strings$/],
  ];
  for (const [relaunch, code, expected] of cases) {
    const error = await helper.applyAsarUpdate({ updateAsar: archive, appAsar: archive, relaunch, helperPath: nativeHelper }).then(() => null, (e) => e);
    assert.deepEqual([error.name, error.code, expected.test(error.message)], [code ? 'UpdateError' : 'TypeError', code, true], error.message);
  }
  assert.equal(fs.existsSync(helper.logPath()), false, 'no helper ran');
});

test('an update is checked before anything starts', { skip }, async (t) => {
  const dir = scratch(t);
  const good = writeAsar(path.join(dir, 'good.asar'), { f: 'f' });
  const write = (name, bytes) => { fs.writeFileSync(path.join(dir, name), bytes); return path.join(dir, name); };
  const header = (size, body) => Buffer.concat([Buffer.from([4, 0, 0, 0]), Buffer.from(new Uint32Array([size]).buffer), body]);
  const cases = [
    ['missing update', path.join(dir, 'none.asar'), good, 'UPDATE_MISSING', /the update archive cannot be opened: .*none\.asar \(ENOENT\)/],
    ['a folder', dir, good, 'UPDATE_NOT_ASAR', /the update archive is not a file/],
    ['an empty file', write('empty.asar', ''), good, 'UPDATE_TRUNCATED', /is not an asar archive: .*empty\.asar \(0 bytes/],
    ['text', write('text.asar', 'hello, world'), good, 'UPDATE_NOT_ASAR', /is not an asar archive: .*text\.asar$/],
    ['an HTML error page', write('page.asar', '<!DOCTYPE html><html><body>404 Not Found</body></html>'), good, 'UPDATE_NOT_ASAR', /is not an asar archive: .*page\.asar$/],
    ['cut inside its header', write('cut.asar', fs.readFileSync(good).subarray(0, 20)), good, 'UPDATE_TRUNCATED', /cut\.asar \(its header of \d+ bytes is cut off at 12\)/],
    ['a header size past any archive', write('huge.asar', header(0xfffffff0, Buffer.alloc(8))), good, 'UPDATE_NOT_ASAR', /is not an asar archive: .*huge\.asar \(a header of 4294967280 bytes\)$/],
    ['a header that is no JSON', write('json.asar', header(12, Buffer.from([8, 0, 0, 0, 4, 0, 0, 0, 0x7b, 0x7b, 0x7b, 0x7b]))), good, 'UPDATE_NOT_ASAR', /is not an asar archive: .*json\.asar \(/],
    ['a header without files', write('nofiles.asar', header(12, Buffer.from([8, 0, 0, 0, 2, 0, 0, 0, 0x7b, 0x7d, 0, 0]))), good, 'UPDATE_NOT_ASAR', /its header lists no files/],
    ['missing app archive', good, path.join(dir, 'app.asar'), 'APP_ASAR_MISSING', /the app's archive does not exist: .*app\.asar$/],
  ];
  for (const [name, updateAsar, appAsar, code, expected] of cases) {
    const error = await helper.applyAsarUpdate({ updateAsar, appAsar, helperPath: nativeHelper }).then(() => null, (e) => e);
    assert.ok(error instanceof helper.UpdateError, `${name}: ${error}`);
    assert.equal(error.code, code, name);
    assert.match(error.message, expected, name);
  }
  await assert.rejects(helper.applyAsarUpdate({ updateAsar: good, helperPath: nativeHelper }), /appAsar is needed outside an Electron app/);
  assert.equal(fs.existsSync(helper.logPath()), false, 'no helper ran');
});

test('readResult: an elevated run includes its copy; a killed run is not finished', { skip }, async (t) => {
  const dir = scratch(t);
  const app = path.join(dir, 'app.asar');
  const update = path.join(dir, 'update.asar');
  writeAsar(update, { f: 'f' });
  fs.writeFileSync(app, 'old');

  await t.test('elevated', { skip: process.getuid() !== 0 && 'natively the copy starts directly only as root' }, async () => {
    // A short-lived app asks for it: the helper waits for the app's exit.
    const dataFolder = path.join(dir, 'userData');
    const request = `require(${JSON.stringify(path.join(__dirname, '..'))}).applyAsarUpdate(${JSON.stringify({ updateAsar: update, appAsar: app, elevate: true, helperPath: nativeHelper, allowDowngrade: true, dataFolder })}).then((r) => process.stdout.write(String(r.pid)))`;
    const pid = Number(execFileSync(process.execPath, ['-e', request], { encoding: 'utf8' }));
    const result = await poll(() => { const r = helper.readResult(pid); return r && r.finished && r; }, 'the elevated update');
    assert.notEqual(result.elevatedPid, null);
    assert.notEqual(result.elevatedPid, pid);
    assert.deepEqual([result.succeeded, result.error], [true, null]);
    assert.deepEqual(result.lines.filter((line) => line.pid === result.elevatedPid).map((line) => line.message).slice(-1), ['Update finished']);
    const last = await poll(() => { const r = helper.lastResult({ dataFolder }); return r && r.status !== null && r; }, 'the run\'s end');
    assert.equal(last.error, null, JSON.stringify(last.lines));
    assert.deepEqual([last.pid, last.elevatedPid, last.status, last.succeeded], [pid, result.elevatedPid, 0, true]);
    assert.deepEqual(last.lines.map((line) => line.message), helper.readResult(pid).lines.map((line) => line.message));
    assert.equal(helper.readResult(result.elevatedPid).elevatedPid, null);
  });

  await t.test('killed while sleeping', async () => {
    if (!fs.existsSync(update)) writeAsar(update, { f: 'f' }); // the elevated run used it
    const dataFolder = path.join(dir, 'userData');
    const { pid } = await helper.applyAsarUpdate({ updateAsar: update, appAsar: app, sleepMs: 20000, helperPath: nativeHelper, allowDowngrade: true, dataFolder });
    await poll(() => helper.readResult(pid), 'the sleep line');
    process.kill(pid, 'SIGKILL');
    const result = helper.readResult(pid);
    assert.deepEqual([result.finished, result.succeeded, result.lines.map((line) => line.message)],
      [false, false, ['Sleeping for 20000 milliseconds']]);
    assert.deepEqual(helper.lastResult({ dataFolder }), { ...result, runId: helper.lastResult({ dataFolder }).runId, status: null,
      startedAt: helper.lastResult({ dataFolder }).startedAt, elevatedPid: null, probation: false, rolledBack: false, failedExitStatus: null, code: null });
  });
});

test('logPath is where the helper says it writes', { skip }, (t) => {
  const dir = scratch(t);
  const variants = [
    { XDG_DATA_HOME: `${dir}/data//`, HOME: `${dir}/home` },
    { XDG_DATA_HOME: 'relative/data', HOME: `${dir}/home/` },
    { HOME: `${dir}/other` },
  ];
  for (const variant of variants) {
    const env = { ...process.env, ...variant };
    if (!('XDG_DATA_HOME' in variant)) delete env.XDG_DATA_HOME;
    const printed = execFileSync(nativeHelper, [], { env, encoding: 'utf8' }).split('\n')[0];
    const computed = execFileSync(process.execPath, ['-e', 'process.stdout.write(require(".").logPath())'], {
      env, encoding: 'utf8', cwd: path.join(__dirname, '..'),
    });
    assert.equal(computed, printed, JSON.stringify(variant));
  }
});

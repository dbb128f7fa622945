#!/usr/bin/env node
'use strict';
// Packages a minimal app that depends on the npm package, as an app developer
// would: electron-builder with the configuration the package's README gives,
// for Windows x64, Windows arm64 and Linux x64, on this machine, with no
// download of Electron (a local stand-in distribution). Checks that each
// build has the right helper beside app.asar and that helperPath(), run
// inside the packaged app's own copy of the package, finds it.
//
//   node scripts/check-electron-builder.js build/npm/vantrell-helper-<version>.tgz
//
// electron-builder is installed once into third_party/electron-builder/.
// When npm cannot reach the packages, prints SKIPPED and the reason, and
// exits 0; any other failure exits 1.
const assert = require('assert/strict');
const { execFileSync, spawnSync } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');

const BUILDER_VERSION = '26.18.1';
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
  if (run.status === 0) return;
  const output = `${run.stdout}${run.stderr}`;
  if (UNREACHABLE.test(output)) {
    console.log(`SKIPPED: npm cannot reach the packages (npm ${args.join(' ')}): ${output.match(UNREACHABLE)[0]}`);
    process.exit(0);
  }
  throw new Error(`npm ${args.join(' ')} failed in ${cwd}:\n${output}`);
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

// The configuration block of the package's README, as a developer copies it.
function documentedConfiguration() {
  const readme = fs.readFileSync(path.join(root, 'packages', 'electron', 'README.md'), 'utf8');
  const block = /```json\n([\s\S]*?)\n```/.exec(readme);
  assert.ok(block, 'the package README has no json block');
  return JSON.parse(block[1]).build;
}

function makeApp(work) {
  const app = path.join(work, 'app');
  fs.mkdirSync(app);
  const documented = documentedConfiguration();
  const build = {
    ...documented,
    appId: 'example.helper-check',
    productName: 'HelperCheck',
    electronVersion: '33.0.0',
    npmRebuild: false,
    // The helper must not depend on electron-builder unpacking it by chance.
    asar: { smartUnpack: false },
    win: { ...documented.win, target: 'dir', signAndEditExecutable: false },
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

// helperPath() of the package as the packaged app holds it (taken out of its
// app.asar), on the platform and architecture the app was built for.
function helperPathInApp(resources, platform, arch, asar, work) {
  const extracted = path.join(work, `extracted-${platform}-${arch}`);
  asar.extractAll(path.join(resources, 'app.asar'), extracted);
  const script = `
    Object.defineProperty(process, 'platform', { value: ${JSON.stringify(platform)} });
    Object.defineProperty(process, 'arch', { value: ${JSON.stringify(arch)} });
    process.resourcesPath = ${JSON.stringify(resources)};
    process.stdout.write(require(${JSON.stringify(path.join(extracted, 'node_modules', 'vantrell-helper'))}).helperPath());`;
  return execFileSync(process.execPath, ['-e', script], { encoding: 'utf8' });
}

const TARGETS = [
  { flags: ['--win', '--dir', '--x64'], out: 'win-unpacked', platform: 'win32', arch: 'x64', exe: 'vantrell-helper.exe', kind: 'PE x86-64', other: 'vantrell-helper' },
  { flags: ['--win', '--dir', '--arm64'], out: 'win-arm64-unpacked', platform: 'win32', arch: 'arm64', exe: 'vantrell-helper.exe', kind: 'PE x86-64', other: 'vantrell-helper' },
  { flags: ['--linux', '--dir', '--x64'], out: 'linux-unpacked', platform: 'linux', arch: 'x64', exe: 'vantrell-helper', kind: 'ELF x86-64', other: 'vantrell-helper.exe' },
];

function main() {
  const builder = installBuilder();
  const asar = require(path.join(builder.modules, '@electron', 'asar'));
  const work = fs.mkdtempSync(path.join(os.tmpdir(), 'vantrell-builder-'));
  try {
    const app = makeApp(work);
    const dist = makeDistributions(work, app);
    const shipped = path.join(app, 'node_modules', 'vantrell-helper', 'bin');
    for (const target of TARGETS) {
      const output = path.join(work, 'dist');
      const distribution = target.platform === 'win32' ? dist.win : dist.linux;
      const run = spawnSync(
        process.execPath,
        [builder.cli, ...target.flags, '--projectDir', app, `-c.electronDist=${distribution}`, `-c.directories.output=${output}`],
        { encoding: 'utf8', env: { ...process.env, ELECTRON_BUILDER_CACHE: path.join(work, 'cache'), CSC_IDENTITY_AUTO_DISCOVERY: 'false' } },
      );
      if (run.status !== 0) throw new Error(`electron-builder ${target.flags.join(' ')} failed:\n${run.stdout}${run.stderr}`);
      const resources = path.join(output, target.out, 'resources');
      const helper = path.join(resources, target.exe);
      assert.ok(fs.existsSync(path.join(resources, 'app.asar')), `${target.out}: no app.asar`);
      assert.ok(fs.existsSync(helper), `${target.out}: no ${target.exe} beside app.asar`);
      assert.equal(fs.existsSync(path.join(resources, target.other)), false, `${target.out}: the other platform's binary was shipped`);
      assert.equal(fs.existsSync(path.join(resources, 'app.asar.unpacked')), false, `${target.out}: something was unpacked`);
      assert.equal(binaryKind(helper), target.kind, `${target.out}: ${target.exe}`);
      const source = path.join(shipped, target.platform === 'win32' ? 'win32-x64' : `linux-${target.arch}`, target.exe);
      assert.ok(fs.readFileSync(helper).equals(fs.readFileSync(source)), `${target.out}: ${target.exe} is not the package's binary`);
      if (target.platform === 'linux') assert.ok(fs.statSync(helper).mode & 0o100, `${target.out}: ${target.exe} is not executable`);
      const found = helperPathInApp(resources, target.platform, target.arch, asar, work);
      assert.equal(found, helper, `${target.out}: helperPath()`);
      console.log(`electron-builder ${BUILDER_VERSION} ${target.flags.join(' ')}: ${target.kind} ${target.exe} beside app.asar; helperPath() finds it`);
    }
  } finally {
    fs.rmSync(work, { recursive: true, force: true });
  }
}

try {
  main();
} catch (error) {
  console.error(`ERROR: ${error.message}`);
  process.exit(1);
}

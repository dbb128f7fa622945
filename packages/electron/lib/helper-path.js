'use strict';
// Where the helper binary is, for any platform and architecture: written
// without process globals so that a build machine can ask on behalf of the
// machine an app is built for.

const path = require('path');

// The binaries this package ships, by `<platform>-<arch>`. Windows on arm64
// runs x64 programs under emulation, so its apps get the x64 exe.
const SHIPPED = {
  'win32-x64': 'win32-x64',
  'win32-arm64': 'win32-x64',
  'linux-x64': 'linux-x64',
};

// The electron-builder key that copies the binary beside app.asar, and the
// folder it copies from, for each platform that has a binary.
const BUILDER_SETTING = {
  win32: { key: 'win.extraResources', from: 'node_modules/vantrell-helper/bin/win32-x64/' },
  linux: { key: 'linux.extraResources', from: 'node_modules/vantrell-helper/bin/linux-${arch}/' },
};

function exeName(platform) {
  return platform === 'win32' ? 'vantrell-helper.exe' : 'vantrell-helper';
}

// The package's own folder of binaries for a target, or null when none is shipped.
function binaryFolder(platform, arch) {
  return SHIPPED[`${platform}-${arch}`] || null;
}

// The places looked at, in order: beside app.asar in a packaged app, then the
// package's own binary (beside the archive when the package sits inside one).
// Paths are joined as this machine joins them: they are looked at here.
function candidates({ platform, arch, resourcesPath, packageDir }) {
  const { join } = path;
  const name = exeName(platform);
  const found = [];
  if (typeof resourcesPath === 'string' && resourcesPath !== '') found.push(join(resourcesPath, name));
  const folder = binaryFolder(platform, arch);
  if (folder !== null) {
    const shipped = join(packageDir, 'bin', folder, name);
    // A program inside an app's archive cannot be started; electron-builder's
    // asarUnpack puts it beside the archive instead.
    const unpacked = shipped.replace(/([\\/])app\.asar([\\/])/, '$1app.asar.unpacked$2');
    if (unpacked !== shipped) found.push(unpacked);
    found.push(shipped);
  }
  return found;
}

// What a developer reads when nothing was found: every path looked at, and
// what to change in the app's build.
function notFoundMessage({ platform, arch, looked }) {
  const where = looked.length > 0 ? `looked at: ${looked.join(', ')}` : 'no path to look at';
  const target = `${platform}-${arch}`;
  const setting = BUILDER_SETTING[platform];
  if (binaryFolder(platform, arch) === null) {
    const shipped = Object.keys(SHIPPED).join(', ');
    return `vantrell-helper not found; ${where}. This package has no binary for ${target} (it ships ${shipped})`;
  }
  return (
    `vantrell-helper not found; ${where}. In a packaged app electron-builder must copy it beside app.asar: ` +
    `add { "from": "${setting.from}", "to": ".", "filter": ["${exeName(platform)}"] } ` +
    `to "${setting.key}" in the app's build configuration (see the package's README)`
  );
}

module.exports = { SHIPPED, exeName, binaryFolder, candidates, notFoundMessage };

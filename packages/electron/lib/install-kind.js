'use strict';
// Installs that cannot be changed in place, and the text of a REG_DWORD.

const { UpdateError } = require('./update-checks');

// An AppImage runs from a read-only image mounted for the run, and a portable
// build unpacks itself into a temporary folder at each start: an update
// written there is gone at the next start.
function refuseInPlaceUpdate(env = process.env) {
  let kind = null;
  if (env.APPIMAGE) kind = `an AppImage (${env.APPIMAGE})`;
  else if (env.PORTABLE_EXECUTABLE_FILE || env.PORTABLE_EXECUTABLE_DIR) kind = 'a portable build';
  if (kind === null) return;
  throw new UpdateError('NOT_UPDATABLE_IN_PLACE', `this app is ${kind}, which cannot be updated in place; replace the file the user started instead`);
}

// The helper reads a REG_DWORD as signed 32-bit decimal text: values from
// 2^31 on are sent in their signed form, so that the stored bytes are the
// value's own.
function dwordText(value) {
  if (!Number.isInteger(value) || value < 0 || value > 0xffffffff) {
    throw new TypeError('a REG_DWORD value must be a whole number from 0 to 4294967295');
  }
  return String(value | 0);
}

module.exports = { refuseInPlaceUpdate, dwordText };

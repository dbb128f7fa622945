'use strict';
// Semantic versions (2.0.0), as package.json writes them: parsing and order.
// Small enough that a dependency would cost more than it saves.

const NUMBER = '0|[1-9]\\d*';
const PART = `(?:${NUMBER}|\\d*[A-Za-z-][0-9A-Za-z-]*)`;
const VERSION = new RegExp(`^(${NUMBER})\\.(${NUMBER})\\.(${NUMBER})(?:-(${PART}(?:\\.${PART})*))?(?:\\+[0-9A-Za-z-]+(?:\\.[0-9A-Za-z-]+)*)?$`);

// { core: [BigInt x3], pre: [string|BigInt] } or null for a text that is no version.
function parseVersion(text) {
  const match = typeof text === 'string' && text.length <= 256 ? VERSION.exec(text) : null;
  if (!match) return null;
  const pre = match[4] === undefined ? [] : match[4].split('.').map((id) => (/^\d+$/.test(id) ? BigInt(id) : id));
  return { core: [BigInt(match[1]), BigInt(match[2]), BigInt(match[3])], pre };
}

const sign = (a, b) => (a < b ? -1 : a > b ? 1 : 0);

// Numeric identifiers sort below alphanumeric ones; the rest by value or by ASCII.
function compareIdentifiers(a, b) {
  const aNumber = typeof a === 'bigint';
  if (aNumber !== (typeof b === 'bigint')) return aNumber ? -1 : 1;
  return sign(a, b);
}

// -1, 0 or 1; build metadata does not count. Throws for a text that is no version.
function compareVersions(left, right) {
  const a = parseVersion(left);
  const b = parseVersion(right);
  if (!a || !b) throw new TypeError(`not a semantic version: ${JSON.stringify(a ? right : left)}`);
  for (let i = 0; i < 3; i++) if (a.core[i] !== b.core[i]) return sign(a.core[i], b.core[i]);
  // A release is newer than any of its prereleases.
  if (a.pre.length === 0 || b.pre.length === 0) return sign(b.pre.length, a.pre.length);
  for (let i = 0; i < Math.min(a.pre.length, b.pre.length); i++) {
    const order = compareIdentifiers(a.pre[i], b.pre[i]);
    if (order !== 0) return order;
  }
  return sign(a.pre.length, b.pre.length);
}

module.exports = { parseVersion, compareVersions };

#!/usr/bin/env node
// A minimal host for nookview's reader mode, written with the project's
// Node.js library (hosts/node; an application imports 'tolvan-helpers').
//
//     nookview_host.mjs NOOKVIEW ROOT [REQUEST ...]
//
// Opens a session on ROOT, asks for every REQUEST (a path relative to ROOT)
// at once, and prints each with its reply, in the order asked. Exits 0 when
// the session ran, 1 when nookview refused the root, 2 on a usage problem.
import { openReader } from '../hosts/node/src/index.js';

const PREVIEW = 48;
const [nookview, root, ...requests] = process.argv.slice(2);
if (!root) {
  console.error('usage: nookview_host.mjs NOOKVIEW ROOT [REQUEST ...]');
  process.exit(2);
}

/** @param {import('../hosts/node/src/index.js').ReadResult} result */
function describe(result) {
  if (result.kind !== 'file') return result.kind === 'refused' ? 'refused' : 'empty or over 8000 bytes';
  const text = JSON.stringify(result.data.subarray(0, PREVIEW).toString());
  return `${result.data.length} bytes: ${text}${result.data.length > PREVIEW ? '...' : ''}`;
}

let reader;
try {
  reader = await openReader(nookview, root);
} catch (error) {
  if (error.code !== 'root-refused') throw error;
  console.log(`root ${root}: refused (exit status ${error.status})`);
  process.exit(1);
}
console.log(`root ${root}: accepted`);
const results = await Promise.all(
  requests.map((path) => reader.read(path).then(describe, (error) => `not asked: ${error.code}`)),
);
requests.forEach((path, i) => console.log(`  ${JSON.stringify(path).padEnd(32)} -> ${results[i]}`));
console.log(`session ended, exit status ${await reader.close()}`);

// @ts-check
// A host as an integrator writes it, against the installed package: it must
// both run and type-check against the package's declarations (an import the
// package lacks fails both).
import assert from 'node:assert/strict';
import { openReader, parseEvent, startWatcher } from 'tolvan-helpers';

/** @type {import('tolvan-helpers').WatcherEvent} */
const event = parseEvent('{"type":"candidate-started","provider":"teams","version":1}');
assert.equal(event.type === 'candidate-started' && event.provider, 'teams');

const reader = await openReader(/** @type {string} */ (process.env.NOOKVIEW), process.cwd());
const result = await reader.read('package.json');
assert.equal(result.kind === 'file' && JSON.parse(result.data.toString()).name, 'consumer');
assert.equal(await reader.close(), 0);

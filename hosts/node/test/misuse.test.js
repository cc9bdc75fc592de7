// What a host that mixes things up is told: arguments of the wrong type or
// value are refused before anything starts, another program in a helper's
// place is named as such, and publishing's refusals are typed. Against the
// real programs, stand-in.sh, and folders made here.
import assert from 'node:assert/strict';
import { ChildProcess, execFileSync } from 'node:child_process';
import { closeSync, mkdirSync, openSync, readdirSync, writeFileSync } from 'node:fs';
import { mkdtemp, rm } from 'node:fs/promises';
import { tmpdir } from 'node:os';
import { after, test } from 'node:test';
import { fileURLToPath } from 'node:url';
import { identify, openReader, publishReview, startWatcher } from '../src/index.js';

const { NOOKVIEW: nookview, TOLVAN_CALLWATCH: callwatch } = process.env;
const standIn = fileURLToPath(new URL('stand-in.sh', import.meta.url));
const descriptors = readdirSync('/proc/self/fd').length;
const root = await mkdtemp(`${tmpdir()}/nookview-misuse-`);
const [drafts, out] = [`${root}/drafts`, `${root}/out`];
mkdirSync(`${drafts}/a`, { recursive: true });
mkdirSync(out);
writeFileSync(`${root}/file`, 'x');
execFileSync('mkfifo', [`${root}/fifo`]);
const review = { source: drafts, destination: out, name: 'a', entry: await identify(`${drafts}/a`),
  destinationIdentity: await identify(out) };
const publish = (changes) => publishReview(nookview, { ...review, ...changes });
after(() => {
  assert.deepEqual([readdirSync(drafts), readdirSync(out)], [['a'], []], 'nothing moved');
  assert.equal(readdirSync('/proc/self/fd').length, descriptors, 'descriptors left behind');
  return rm(root, { recursive: true });
});

// Every process the library starts goes through here.
let spawned = 0;
const spawn = ChildProcess.prototype.spawn;
ChildProcess.prototype.spawn = function (...args) {
  spawned += 1;
  return spawn.apply(this, args);
};

// [the call, given a running reader and watcher; what it throws or rejects with]
const BAD_ARGUMENTS = [
  [() => startWatcher('tolvan-callwatch'), RangeError],
  [() => startWatcher(callwatch, process.env), { name: 'TypeError', message: /unexpected key "[A-Z]/ }],
  [() => openReader('nookview', root), RangeError],
  [() => openReader(nookview, root, { window: NaN }), RangeError],
  [() => openReader(nookview, root, { window: '16' }), TypeError],
  [() => openReader(nookview, 42), TypeError],
  [({ reader }) => reader.read(['file']), TypeError],
  [({ reader }) => reader.close({ timeoutMs: 2 ** 31 }), RangeError],
  [({ watcher }) => watcher.stop({ timeoutMs: -1 }), RangeError],
  [({ watcher }) => [1, 2].map(() => watcher[Symbol.asyncIterator]()), { message: /one event stream per watcher/ }],
  [() => publishReview('nookview', review), RangeError],
  [() => publish({ force: true }), TypeError],
  [() => publish({ source: -1 }), RangeError],
  [() => publish({ entry: { ...review.entry, inode: 7 } }), TypeError],
  [() => publish({ entry: { ...review.entry, device: '-1' } }), RangeError],
];

test('bad arguments are refused at the call, and nothing starts', { timeout: 10_000 }, async (t) => {
  const live = { reader: await openReader(nookview, root),
    watcher: await startWatcher(standIn, { env: { ...process.env, STAND_IN: 'read x' } }) };
  t.after(() => Promise.all([live.reader.close(), live.watcher.stop()]));
  const started = spawned;
  for (const [call, expected] of BAD_ARGUMENTS) await assert.rejects(async () => call(live), expected, `${call}`);
  assert.equal(spawned, started, 'processes started');
  assert.deepEqual(await live.reader.read('file'), { kind: 'file', data: Buffer.from('x') });
});

const verdict = (promise) => promise.then((value) => value.kind ?? value, (error) => error.code);
/** @param {string} script what stand-in.sh runs in place of nookview */
const standingIn = (script) => {
  process.env.STAND_IN = script;
  return standIn;
};
// [the call, the outcome kind or error code]: never a claim that the program did what it was asked
const WRONG_PROGRAMS = [
  [() => startWatcher('/bin/true').then((watcher) => watcher.outcome()), 'unexpected'],
  [() => startWatcher(nookview).then((watcher) => watcher.outcome()), 'unexpected'],
  [() => openReader('/bin/true', root), 'unexpected-exit'],
  [() => openReader(standingIn('exit 64'), root), 'unexpected-exit'],
  [() => openReader(standingIn("printf '\\0\\0\\0\\377\\377\\377'"), root).then((reader) => reader.read('file')), 'protocol'],
  [() => publishReview('/bin/true', review), 'unexpected-exit'],
];

test('another program in a helper\'s place is reported as such', async () => {
  for (const [call, expected] of WRONG_PROGRAMS) assert.equal(await verdict(call()), expected, `${call}`);
});

// [the review's changes, the error code, or the result of a name nookview takes]
const PUBLISH_ERRORS = [
  [{ destination: `${root}/file` }, 'invalid-directory'],
  [{ destination: `${root}/fifo` }, 'invalid-directory'],
  [{ destination: `${root}/missing` }, 'invalid-directory'],
  // Closed as the review is made, so that no open can take its number first.
  [{ get source() { const fd = openSync(drafts, 'r'); closeSync(fd); return fd; } }, 'invalid-directory'],
  ...['a/b', '.', '..', '.a', '', 'é'.repeat(128), 'a\0b'].map((name) => [{ name }, 'invalid-name']),
  [{ name: `${'é'.repeat(127)}a` }, 'refused'],
];

test('publishing refuses what cannot work before it starts anything, with a code', async () => {
  for (const [changes, expected] of PUBLISH_ERRORS) {
    const started = spawned;
    assert.equal(await verdict(publish(changes)), expected, JSON.stringify(changes));
    assert.equal(spawned - started, expected.startsWith('invalid') ? 0 : 1, 'processes started');
  }
});

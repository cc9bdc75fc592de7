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
const root = await mkdtemp(`${tmpdir()}/nookview-misuse-`);
const [drafts, out, file] = [`${root}/drafts`, `${root}/out`, `${root}/file`];
mkdirSync(`${drafts}/a`, { recursive: true });
mkdirSync(out);
writeFileSync(file, 'x');
execFileSync('mkfifo', [`${root}/fifo`]);
const onFile = openSync(file, 'r');
const descriptors = readdirSync('/proc/self/fd').length;
const review = { source: drafts, destination: out, name: 'a', entry: await identify(`${drafts}/a`),
  destinationIdentity: await identify(out) };
after(() => {
  assert.deepEqual([readdirSync(drafts), readdirSync(out)], [['a'], []], 'nothing moved');
  assert.equal(readdirSync('/proc/self/fd').length, descriptors, 'descriptors left behind');
  return rm(root, { recursive: true });
});

// Every process the library starts goes through here.
let spawned = 0;
const spawn = ChildProcess.prototype.spawn;
ChildProcess.prototype.spawn = function (...args) { spawned += 1; return spawn.apply(this, args); };
const publish = (changes) => publishReview(nookview, { ...review, ...changes });
const standingIn = (script) => {
  process.env.STAND_IN = script;
  return standIn;
};

// [the call, given a running reader and watcher; how its answer begins (a result or outcome kind, an error's
// code, or its class and message); how many processes it starts]
const BAD_ARGUMENTS = [
  [() => startWatcher('tolvan-callwatch'), 'RangeError'],
  [() => startWatcher(callwatch, process.env), 'TypeError: startWatcher options: unexpected key "'],
  [() => openReader('nookview', root), 'RangeError'],
  [() => openReader(nookview, root, { window: NaN }), 'RangeError'],
  [() => openReader(nookview, root, { window: '16' }), 'TypeError'],
  [() => openReader(nookview, 42), 'TypeError'],
  [({ reader }) => reader.read(['file']), 'TypeError'],
  [({ reader }) => reader.close({ timeoutMs: 2 ** 31 }), 'RangeError'],
  [({ watcher }) => watcher.stop({ timeoutMs: -1 }), 'RangeError'],
  [({ watcher }) => [1, 2].map(() => watcher[Symbol.asyncIterator]()), 'TypeError: one event stream per watcher'],
  [() => publishReview('nookview', review), 'RangeError'],
  [() => publish({ force: true }), 'TypeError'],
  [() => publish({ source: -1 }), 'RangeError'],
  [() => publish({ entry: { ...review.entry, inode: 7 } }), 'TypeError'],
  [() => publish({ entry: { ...review.entry, device: '-1' } }), 'RangeError'],
];
const WRONG_PROGRAMS = [
  [() => startWatcher('/bin/true').then((watcher) => watcher.outcome()), 'unexpected', 1],
  [() => startWatcher(nookview).then((watcher) => watcher.outcome()), 'unexpected', 1],
  [() => openReader('/bin/true', root), 'unexpected-exit', 1],
  [() => openReader(standingIn('exit 64'), root), 'unexpected-exit', 1],
  [() => openReader(standingIn("printf '\\0\\0\\0\\377\\377\\377'"), root).then((r) => r.read('file')), 'protocol', 1],
  [() => publishReview('/bin/true', review), 'unexpected-exit', 1],
  // Programs that never answer, as nookview held by a network volume that no longer answers would.
  [() => openReader(standingIn('exec sleep 9'), root, { timeoutMs: 100 }), 'timeout', 1],
  [() => publishReview(standingIn('exec sleep 9'), review, { timeoutMs: 100 }), 'timeout', 1],
];
const PUBLISH_ERRORS = [
  ...[file, `${root}/fifo`, `${root}/gone`].map((path) => [() => publish({ destination: path }), 'invalid-directory']),
  // Closed just before the call, so that no open can take its number first.
  [() => { const fd = openSync(drafts, 'r'); closeSync(fd); return publish({ source: fd }); }, 'invalid-directory'],
  [() => publish({ source: onFile }), 'invalid-directory'],
  ...['a/b', '.', '..', '.a', '', 'é'.repeat(128), 'a\0b'].map((name) => [() => publish({ name }), 'invalid-name']),
  [() => publish({ name: `${'é'.repeat(127)}a` }), 'refused', 1],
];

test('misused, the library says what is wrong, and starts nothing it should not', { timeout: 20_000 }, async (t) => {
  const live = { reader: await openReader(nookview, root),
    watcher: await startWatcher(standIn, { env: { ...process.env, STAND_IN: 'read x' } }) };
  t.after(() => Promise.all([live.reader.close(), live.watcher.stop()]));
  for (const [call, expected, starts = 0] of [...BAD_ARGUMENTS, ...WRONG_PROGRAMS, ...PUBLISH_ERRORS]) {
    const started = spawned;
    const answer = await (async () => call(live))().then((value) => String(value.kind ?? value),
      (error) => error.code ?? `${error.name}: ${error.message}`);
    assert.ok(answer.startsWith(expected), `${call} gave ${answer}`);
    assert.equal(spawned - started, starts, `${call} started processes`);
  }
  assert.deepEqual(await live.reader.read('file'), { kind: 'file', data: Buffer.from('x') }, 'a bad close ended it');
});

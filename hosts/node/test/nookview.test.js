// The reader and publisher against the real nookview, on folders made here.
import assert from 'node:assert/strict';
import { closeSync, constants, openSync, readdirSync } from 'node:fs';
import { mkdir, mkdtemp, rm, symlink, writeFile } from 'node:fs/promises';
import { tmpdir } from 'node:os';
import { isDeepStrictEqual } from 'node:util';
import { after, test } from 'node:test';
import { identify, openReader, publishReview, unsigned64 } from '../src/index.js';

const { NOOKVIEW: nookview } = process.env;
const descriptors = readdirSync('/proc/self/fd').length;
const work = await mkdtemp(`${tmpdir()}/nookview-host-`);
const root = `${work}/root`;
after(() => rm(work, { recursive: true }));

// 200 files of 4 to 7168 bytes, so that replies of all sizes cross the pipes.
const content = (i) => Buffer.from(`${i};`.repeat(1 + i * 9));
await mkdir(root);
await Promise.all(Array.from({ length: 200 }, (_, i) => writeFile(`${root}/f${i}`, content(i))));
await writeFile(`${root}/big`, Buffer.alloc(9000, 'x'));
await writeFile(`${root}/empty`, '');
await symlink('f1', `${root}/link`);
const OTHERS = { big: 'out-of-range', empty: 'out-of-range', link: 'refused', missing: 'refused' };
const paths = Array.from({ length: 3000 }, (_, i) => (i % 7 < 3 ? Object.keys(OTHERS)[i % 4] : `f${i % 200}`));
const expected = (path) => (OTHERS[path] ? { kind: OTHERS[path] } : { kind: 'file', data: content(+path.slice(1)) });
// A session closed however the test ends: a live child would keep the test running.
const session = async (t) => {
  const reader = await openReader(nookview, root);
  t.after(() => reader.close());
  return reader;
};

test('thousands of pipelined reads each get the reply to their own path', async (t) => {
  const reader = await session(t);
  const results = await Promise.all(paths.map((path) => reader.read(path)));
  const wrong = paths.findIndex((path, i) => !isDeepStrictEqual(results[i], expected(path)));
  assert.equal(wrong, -1, `read ${wrong} of ${paths[wrong]}`);
  assert.equal(await reader.close(), 0);
});

test('paths that would end the session are rejected unsent', async (t) => {
  const reader = await session(t);
  for (const path of ['', 'a'.repeat(1024), 'f1\0']) await assert.rejects(reader.read(path), { code: 'invalid-path' });
  assert.deepEqual(await reader.read('a'.repeat(1023)), { kind: 'refused' });
  assert.deepEqual(await reader.read('f1'), expected('f1'));
  assert.equal(await reader.close(), 0);
});

// [how the session ends mid-stream, the exit status close() then reports]
for (const [how, status] of [['close', 0], ['SIGKILL', null]]) {
  test(`session ended mid-stream by ${how}: every unanswered read rejects`, async (t) => {
    const reader = await session(t);
    const reads = paths.map((path) => reader.read(path).then(() => 'read', (error) => error.code));
    await reads[10];
    const closed = how === 'close' ? reader.close() : process.kill(reader.pid, how);
    const outcomes = await Promise.all(reads);
    const answered = outcomes.indexOf('session-ended');
    assert.deepEqual(outcomes, paths.map((_, i) => (i < answered ? 'read' : 'session-ended')));
    await assert.rejects(reader.read('f1'), { code: 'session-ended' });
    assert.equal(await (how === 'close' ? closed : reader.close()), status);
  });
}

test('refused roots: with a failure reply, or without one', async () => {
  // [root, whether nookview replied before it exited 1]
  for (const [refused, replied] of [[`${root}/f1`, true], [`${root}/link`, true], ['/', false], ['f1', false]]) {
    await assert.rejects(openReader(nookview, refused), { code: 'root-refused', status: 1, replied });
  }
});

test('publishReview: the four statuses, from paths and descriptors', async (t) => {
  const [drafts, out, elsewhere] = [`${work}/drafts`, `${work}/out`, await mkdtemp('/dev/shm/nookview-host-')];
  t.after(() => rm(elsewhere, { recursive: true }));
  for (const dir of ['drafts/a', 'drafts/b', 'drafts/c', 'drafts/d', 'out/b']) await mkdir(`${work}/${dir}`, { recursive: true });
  const outFd = openSync(out, constants.O_RDONLY | constants.O_DIRECTORY);
  t.after(() => closeSync(outFd));
  // [name, destination, the entry whose numbers the host recorded, result]
  for (const [name, destination, reviewed, result] of [['a', outFd, 'a', 'published'], ['b', out, 'b', 'name-taken'],
    ['c', out, 'd', 'refused'], ['d', elsewhere, 'd', 'different-file-systems']]) {
    const review = { source: drafts, destination, name, entry: await identify(`${drafts}/${reviewed}`),
      destinationIdentity: await identify(destination === outFd ? out : destination) };
    assert.equal(await publishReview(nookview, review), result, name);
  }
  assert.deepEqual([readdirSync(drafts).sort(), readdirSync(out).sort()], [['b', 'c', 'd'], ['a', 'b']]);
});

test('numbers are exact unsigned 64-bit decimals, whatever their sign in Node', () => {
  assert.equal(unsigned64(-9223372036854775805n), '9223372036854775811');
  assert.equal(unsigned64(-1n), '18446744073709551615');
});

test('no descriptor is left behind', () => {
  assert.equal(readdirSync('/proc/self/fd').length, descriptors);
});

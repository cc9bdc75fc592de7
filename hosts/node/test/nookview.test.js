// The reader and publisher against the real nookview, on folders made here.
import assert from 'node:assert/strict';
import { closeSync, constants, openSync, readdirSync, statSync } from 'node:fs';
import { mkdir, mkdtemp, rm, symlink, writeFile } from 'node:fs/promises';
import { tmpdir } from 'node:os';
import { after, test } from 'node:test';
import { fileURLToPath } from 'node:url';
import { identify, openReader, publishReview, unsigned64 } from '../src/index.js';

const { NOOKVIEW: nookview } = process.env;
const descriptors = readdirSync('/proc/self/fd').length;
const root = await mkdtemp(`${tmpdir()}/nookview-host-`);
// Checked once every test is done, every session closed.
after(() => assert.equal(readdirSync('/proc/self/fd').length, descriptors, 'descriptors left behind'));
after(() => rm(root, { recursive: true }));

// 200 files of 4 to 7168 bytes, so that replies of all sizes cross the pipes, amid the other answers and the
// paths nookview would take as the end of the session: those are rejected unsent, and the session goes on.
const content = (i) => Buffer.from(`${i};`.repeat(1 + i * 9));
await Promise.all([writeFile(`${root}/big`, Buffer.alloc(9000, 'x')), writeFile(`${root}/empty`, ''),
  symlink('f1', `${root}/link`), ...Array.from({ length: 200 }, (_, i) => writeFile(`${root}/f${i}`, content(i)))]);
const OTHERS = { big: 'out-of-range', empty: 'out-of-range', link: 'refused', missing: 'refused',
  ['a'.repeat(1023)]: 'refused', ['a'.repeat(1024)]: 'invalid-path', '': 'invalid-path', 'f1\0': 'invalid-path' };
const paths = Array.from({ length: 3000 }, (_, i) => (i % 7 < 3 ? Object.keys(OTHERS)[i % 8] : `f${i % 200}`));
const expected = (path) => (OTHERS[path] ? { kind: OTHERS[path] } : { kind: 'file', data: content(+path.slice(1)) });

// [how the session ends mid-stream, the exit status close() then reports]
for (const [how, status] of [['close', 0], ['SIGKILL', null]]) {
  test(`pipelined reads get their own replies; once ended by ${how}, every read rejects`, async (t) => {
    const reader = await openReader(nookview, root);
    t.after(() => reader.close());
    const read = (path) => reader.read(path).catch((error) => ({ kind: error.code }));
    const results = await Promise.all(paths.map(read));
    paths.forEach((path, i) => assert.deepEqual(results[i], expected(path), `read ${i} of ${path}`));
    // A kept file holds on to twice its size at most (or to Buffer's pool), never to a whole chunk of replies.
    const files = results.filter(({ kind }) => kind === 'file').map(({ data }) => data);
    assert.ok(files.every((data) => data.buffer.byteLength <= Math.max(2 * data.length, Buffer.poolSize)));
    const reads = paths.map(() => read('f1'));
    await reads[10];
    how === 'close' ? reader.close() : process.kill(reader.pid, how);
    const ended = await Promise.all(reads);
    const answered = ended.findIndex(({ kind }) => kind === 'session-ended');
    ended.forEach((result, i) => assert.deepEqual(result, i < answered ? expected('f1') : { kind: 'session-ended' }));
    assert.deepEqual(await read('f1'), { kind: 'session-ended' });
    assert.equal(await reader.close(), status);
  });
}

test('at most `window` requests are in the program\'s hands while none is answered', async () => {
  // A stand-in that answers the handshake, then only keeps what it is sent.
  process.env.STAND_IN = `printf '\\0\\0\\0'; timeout 0.5 cat >${root}/sent`;
  const reader = await openReader(fileURLToPath(new URL('stand-in.sh', import.meta.url)), root, { window: 4 });
  const reads = Array.from({ length: 10 }, () => reader.read('f1').catch((error) => error.code));
  assert.deepEqual(await Promise.all(reads), Array(10).fill('session-ended'));
  assert.equal(statSync(`${root}/sent`).size, 2 + root.length + 4 * (2 + 'f1'.length));
});

test('refused roots: with a failure reply, or without one', async () => {
  // [root, whether nookview replied before it exited 1]
  for (const [refused, replied] of [[`${root}/f1`, true], [`${root}/link`, true], ['/', false], ['f1', false]])
    await assert.rejects(openReader(nookview, refused), { code: 'root-refused', status: 1, replied });
});

test('publishReview: the four statuses, from paths and a descriptor, seen on disk', async (t) => {
  const [drafts, out] = [`${root}/drafts`, `${root}/out`];
  for (const dir of ['a', 'b', 'c', 'd', '../out/b']) await mkdir(`${drafts}/${dir}`, { recursive: true });
  const outFd = openSync(out, constants.O_RDONLY | constants.O_DIRECTORY);
  t.after(() => closeSync(outFd));
  // [name, destination (/proc: another file system), the entry whose numbers the host recorded, result]
  for (const [name, destination, reviewed, result] of [['a', outFd, 'a', 'published'], ['b', out, 'b', 'name-taken'],
    ['c', out, 'd', 'refused'], ['d', '/proc', 'd', 'different-file-systems']]) {
    const review = { source: drafts, destination, name, entry: await identify(`${drafts}/${reviewed}`),
      destinationIdentity: await identify(destination === outFd ? out : destination) };
    assert.equal(await publishReview(nookview, review), result, name);
  }
  assert.deepEqual([readdirSync(drafts).sort(), readdirSync(out).sort()], [['b', 'c', 'd'], ['a', 'b']]);
});

test('numbers are exact unsigned 64-bit decimals, whatever their sign in Node', () => {
  assert.deepEqual([-9223372036854775805n, -1n].map(unsigned64), ['9223372036854775811', '18446744073709551615']);
});

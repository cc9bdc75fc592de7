// node bench/node_reader.mjs NOOKVIEW [--quick] [--page FILE]
//
// The Node.js library's reads beside fs.promises.readFile, in one process:
// 10,000 files of 1 to 8000 bytes in 50 folders, read whole by each host in
// turn, five times (odd rounds take the hosts in reverse order). Two hosts read in batches of 64, as a host indexing a
// folder bounds its open files: one through the library (one session), one
// through readFile; their ratio is the figure. A third starts every read
// through the library at once, as its README allows (the session keeps
// `window` of them in nookview's hands). Every result is compared with the
// file after the clock stops. Prints files per second (medians) and
// library ÷ readFile; with --page, rewrites the part of FILE between the
// node-reader-bench markers. --quick: a few files and one round, to prove
// that every step works.
import assert from 'node:assert/strict';
import { randomBytes } from 'node:crypto';
import { cpus, loadavg, tmpdir } from 'node:os';
import { resolve } from 'node:path';
import { mkdir, mkdtemp, readFile, rm, writeFile } from 'node:fs/promises';
import { openReader } from '../hosts/node/src/index.js';

const [given, ...options] = process.argv.slice(2);
const nookview = resolve(given); // the library takes absolute paths only
const quick = options.includes('--quick');
const page = options.includes('--page') ? options[options.indexOf('--page') + 1] : null;
const [count, rounds] = quick ? [200, 1] : [10000, 5];

const root = await mkdtemp(`${tmpdir()}/node-reader-bench-`);
// A fixed generator, so that every run reads files of the same sizes.
let seed = 1;
const size = () => 1 + ((seed = (Math.imul(seed, 1103515245) + 12345) >>> 0) >>> 8) % 8000;
const paths = Array.from({ length: count }, (_, i) => `d${i % 50}/f${i}`);
const contents = paths.map(() => randomBytes(size()));
await Promise.all(Array.from({ length: 50 }, (_, i) => mkdir(`${root}/d${i}`)));
for (let i = 0; i < count; i += 500) {
  await Promise.all(paths.slice(i, i + 500).map((path, j) => writeFile(`${root}/${path}`, contents[i + j])));
}

async function inBatches(read) {
  const results = [];
  for (let i = 0; i < count; i += 64) results.push(...(await Promise.all(paths.slice(i, i + 64).map(read))));
  return results;
}
async function session(readAll) {
  const reader = await openReader(nookview, root);
  const results = await readAll(reader);
  assert.equal(await reader.close(), 0);
  return results.map((result) => (result.kind === 'file' ? result.data : result.kind));
}
const hosts = {
  library: () => session((reader) => inBatches((path) => reader.read(path))),
  readFile: () => inBatches((path) => readFile(`${root}/${path}`)),
  'library, all at once': () => session((reader) => Promise.all(paths.map((path) => reader.read(path)))),
};

// Files per second, one figure per round.
const rates = Object.fromEntries(Object.keys(hosts).map((name) => [name, []]));
try {
  for (let round = 0; round < rounds; round++) {
    const order = Object.keys(hosts);
    for (const name of round % 2 ? order.reverse() : order) {
      const start = process.hrtime.bigint();
      const results = await hosts[name]();
      rates[name].push((count * 1e9) / Number(process.hrtime.bigint() - start));
      results.forEach((data, i) => assert.deepEqual(data, contents[i], `${name}: ${paths[i]}`));
    }
  }
} finally {
  await rm(root, { recursive: true });
}

const median = (list) => [...list].sort((a, b) => a - b)[Math.floor(list.length / 2)];
const [library, plain] = [median(rates.library), median(rates.readFile)];
const row = (name, label) =>
  `| ${label} | ${median(rates[name]).toFixed(0)} | ${rates[name].map(Math.round).join(', ')} |`;
const table = `| host | files per second (median) | every round |
|---|---|---|
${row('library', 'library, batches of 64 (one session)')}
${row('readFile', '`fs.promises.readFile`, batches of 64')}
${row('library, all at once', 'library, every read started at once')}
| **library ÷ readFile** (batches of 64) | **${(library / plain).toFixed(2)}** | |`;
console.log(table);
if (page) {
  const when = new Date().toISOString().slice(0, 16).replace('T', ' ');
  const region = `<!-- node-reader-bench:begin -->
Measured by \`bench/run.sh\` (\`node bench/node_reader.mjs build/bench/bin/nookview --page docs/performance.md\`)
on ${when} UTC with Node ${process.version} (${cpus().length} cores, load average
${loadavg().map((n) => n.toFixed(2)).join(' ')} at the end): ${count} files, medians of ${rounds} rounds.

${table}
<!-- node-reader-bench:end -->`;
  const text = await readFile(page, 'utf8');
  await writeFile(page, text.replace(/<!-- node-reader-bench:begin -->[^]*<!-- node-reader-bench:end -->/, () => region));
}

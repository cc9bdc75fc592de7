// The watcher's host side against the real program (a private PulseAudio
// server from callwatch/tests/audio_server.py) and, for lines and exits the
// real one cannot be made to give, stand-in.sh running a few lines of shell.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { createInterface } from 'node:readline';
import { test } from 'node:test';
import { fileURLToPath } from 'node:url';
import { startWatcher } from '../src/index.js';

const { TOLVAN_CALLWATCH: watcher, AUDIO_FIXTURE } = process.env;
const standIn = fileURLToPath(new URL('stand-in.sh', import.meta.url));
const outcome = (kind, status, message = '', more = {}) =>
  ({ kind, status, signal: null, message, openCandidates: [], ...more });
const unknown = (line) => ({ type: 'unknown', line });
const [ready, zoom, teams, teamsEnded] = [{ type: 'ready' }, { type: 'candidate-started', provider: 'zoom' },
  { type: 'candidate-started', provider: 'teams' }, { type: 'candidate-ended', provider: 'teams' }];
const UNREADABLE = 'Core Audio process activity could not be read.';

// [case, the stand-in's script, events, outcome, stop() timeout if the host stops it]
const RUNS = [
  ['usage', `exec "${watcher}" --watch --now`, [], outcome('usage', 64, 'Usage: tolvan-callwatch --watch')],
  ['no audio server', `PULSE_SERVER=unix:/nonexistent exec "${watcher}" --watch`, [],
    outcome('unavailable', 69, 'Core Audio process activity is unavailable on this Mac.')],
  ['unreadable, in a Zoom meeting', `printf '%s\\n' ${[ready, zoom, teams, teamsEnded].map((event) =>
    `'${JSON.stringify({ version: 1, ...event })}'`).join(' ')}; echo '${UNREADABLE}' >&2; exit 75`,
  [ready, zoom, teams, teamsEnded], outcome('unreadable', 75, UNREADABLE, { openCandidates: ['zoom'] })],
  ['75 without its message', 'exit 75', [], outcome('unexpected', 75)],
  ['output failed, after lines of other versions, types and members', `echo '{"version":1,"type":"ready"}'
    echo '{"version":2,"type":"ready"}'; echo '{"version":1,"type":"ready","at":1}'; echo null
    echo '{"provider":"teams","type":"candidate-ended","version":1}'; exit 1`,
    [ready, unknown('{"version":2,"type":"ready"}'), unknown('{"version":1,"type":"ready","at":1}'),
      unknown('null'), teamsEnded], outcome('output-failed', 1)],
  ['stopped, slow to leave', 'read x; sleep 0.3', [], outcome('stopped', 0), 1500],
  ['stopped, deaf', 'exec sleep 30', [], outcome('signal', null, '', { signal: 'SIGKILL' }), 300],
];

for (const [name, script, events, expected, timeoutMs] of RUNS) {
  test(`watcher ends: ${name}`, async () => {
    const running = await startWatcher(standIn, { env: { ...process.env, STAND_IN: script } });
    // The outcome first: the watcher reads its lines whether or not the host iterates.
    const ended = await (timeoutMs ? running.stop({ timeoutMs }) : running.outcome());
    const seen = [];
    for await (const event of running) seen.push(event);
    assert.deepEqual({ seen, outcome: ended }, { seen: events, outcome: expected });
  });
}

test('a simulated Zoom call starts a candidate; stop() lets the watcher go', async (t) => {
  const program = `import json, sys, audio_server as a
if a.PulseAudio.missing(): sys.exit(print("missing"))
with a.PulseAudio() as s:
    print(json.dumps(s.env), flush=True); sys.stdin.readline()
    s.application({"application.process.binary": "zoom"}); sys.stdin.read()`;
  const server = spawn('python3', ['-B', '-c', program], { cwd: AUDIO_FIXTURE, stdio: ['pipe', 'pipe', 'inherit'] });
  t.after(() => server.stdin.end());
  const said = createInterface({ input: server.stdout })[Symbol.asyncIterator]();
  const env = (await said.next()).value;
  if (env === 'missing') return t.skip('PulseAudio is not installed');
  const running = await startWatcher(watcher, { env: JSON.parse(env) });
  t.after(() => running.stop());
  const events = running[Symbol.asyncIterator]();
  assert.deepEqual((await events.next()).value, ready);
  server.stdin.write('call\n');
  assert.deepEqual((await events.next()).value, zoom);
  assert.deepEqual(await running.stop(), outcome('stopped', 0, '', { openCandidates: ['zoom'] }));
});

// The host's side of tolvan-callwatch: start it with its standard input as a
// lifeline, deliver its lines as typed events, stop it, and report how it
// ended as one outcome.
import { once } from 'node:events';
import { createInterface } from 'node:readline';
import { start, reap } from './child.js';

/** @typedef {'zoom' | 'teams'} Provider */

/**
 * One line of the watcher. A line of another version, type or provider, or
 * no JSON object at all, comes from a watcher this library was not written
 * for: it is delivered as `unknown`, exactly as written, and never guessed at.
 * @typedef {{ type: 'ready' }
 *   | { type: 'candidate-started' | 'candidate-ended', provider: Provider }
 *   | { type: 'unknown', line: string }} WatcherEvent
 */

/**
 * How the watcher ended. `message` is what it wrote on standard error (one of
 * its three fixed texts, without the line feed), or ''.
 * @typedef {'stopped' | 'output-failed' | 'usage' | 'unavailable' | 'unreadable'
 *   | 'signal' | 'unexpected'} OutcomeKind
 * @typedef {{ kind: OutcomeKind, status: number | null, signal: NodeJS.Signals | null,
 *   message: string }} WatcherOutcome
 */

/** @type {Record<number, OutcomeKind>} */
const OUTCOMES = { 0: 'stopped', 1: 'output-failed', 64: 'usage', 69: 'unavailable', 75: 'unreadable' };

/** @type {WatcherEvent[]} */
const KNOWN = [
  { type: 'ready' },
  { type: 'candidate-started', provider: 'zoom' },
  { type: 'candidate-ended', provider: 'zoom' },
  { type: 'candidate-started', provider: 'teams' },
  { type: 'candidate-ended', provider: 'teams' },
];
// Member order carries no meaning, so a line is known when its members,
// written in the order the watcher uses, give one of the five lines.
const EVENTS = new Map(KNOWN.map((event) => [JSON.stringify({ version: 1, ...event }), event]));

// The messages are one short line each; anything longer is cut, not hoarded.
const MESSAGE_LIMIT = 4096;

/**
 * The event one line of the watcher's output stands for.
 * @param {string} line
 * @returns {WatcherEvent}
 */
export function parseEvent(line) {
  try {
    const { version, type, provider, ...rest } = JSON.parse(line);
    const event = EVENTS.get(JSON.stringify({ version, type, provider }));
    if (event && Object.keys(rest).length === 0) return { ...event };
  } catch {
    // Not JSON, or not an object: unknown like any other strange line.
  }
  return { type: 'unknown', line };
}

/**
 * A running watcher. Iterate it (`for await`) for its events; the iteration
 * ends when the watcher's output does. Breaking out of the loop leaves the
 * watcher running: `stop()` lets it go.
 */
export class Watcher {
  #child;
  #exit;
  #lines;
  /** @type {Promise<WatcherOutcome>} */
  #outcome;

  /**
   * @param {import('node:child_process').ChildProcessWithoutNullStreams} child
   * @param {Promise<import('./child.js').Exit>} exit
   */
  constructor(child, exit) {
    this.#child = child;
    this.#exit = exit;
    // Created at once: an iterator made later would miss lines read before.
    this.#lines = createInterface({ input: child.stdout, crlfDelay: Infinity })[
      Symbol.asyncIterator
    ]();
    let message = '';
    child.stderr.setEncoding('utf8').on('data', (text) => {
      message = (message + text).slice(0, MESSAGE_LIMIT);
    });
    const stderrClosed = once(child.stderr, 'close');
    this.#outcome = Promise.all([exit, stderrClosed]).then(([{ status, signal }]) => ({
      kind: signal ? 'signal' : (OUTCOMES[status ?? -1] ?? 'unexpected'),
      status,
      signal,
      message: message.replace(/\n$/, ''),
    }));
  }

  /** The watcher's process id. */
  get pid() {
    return /** @type {number} */ (this.#child.pid);
  }

  /** @returns {AsyncGenerator<WatcherEvent, void, undefined>} */
  async *[Symbol.asyncIterator]() {
    for (;;) {
      // next() rather than for-await: leaving a for-await would close the
      // line reader, and the watcher's output would no longer be read.
      const { value, done } = await this.#lines.next();
      if (done) return;
      yield parseEvent(value);
    }
  }

  /**
   * Resolves with how the watcher ended, once it has and its message is read.
   * @returns {Promise<WatcherOutcome>}
   */
  outcome() {
    return this.#outcome;
  }

  /**
   * Lets the watcher go by closing its standard input; past `timeoutMs` kills
   * it. Resolves with the outcome; calling it again, or after the watcher
   * ended by itself, is harmless. A watcher stopped before its audio server
   * answered (up to about a second after start) still reports `unavailable`.
   * @param {{ timeoutMs?: number }} [options]
   * @returns {Promise<WatcherOutcome>}
   */
  async stop({ timeoutMs = 5000 } = {}) {
    this.#child.stdin.end();
    await reap(this.#child, this.#exit, timeoutMs);
    return this.#outcome;
  }
}

/**
 * Starts `executable` (the path of tolvan-callwatch; nothing is looked up)
 * with `--watch`, its standard input a pipe the returned Watcher holds.
 * Rejects when the executable cannot be started.
 * @param {string} executable
 * @param {{ env?: NodeJS.ProcessEnv }} [options] `env`: the watcher's environment,
 *   through which libpulse finds the audio server (default: this process's)
 * @returns {Promise<Watcher>}
 */
export async function startWatcher(executable, { env } = {}) {
  const { child, exit } = await start(executable, ['--watch'], { stdio: 'pipe', env });
  return new Watcher(/** @type {import('node:child_process').ChildProcessWithoutNullStreams} */ (child), exit);
}

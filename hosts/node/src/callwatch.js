// The host's side of tolvan-callwatch: start it with its standard input as a
// lifeline, deliver its lines as typed events, stop it, and report how it
// ended as one outcome.
import { once } from 'node:events';
import { createInterface } from 'node:readline';
import { checkExecutable, checkShape, checkTimeout } from './arguments.js';
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
 * How the watcher ended. A kind is given only when the exit matches what the
 * real watcher does for it; anything else is `unexpected`, typically the path
 * of another program:
 * - `stopped`: status 0 after `stop()` closed its standard input;
 * - `output-failed`: status 1 once it had written a line (its first is
 *   always `ready`);
 * - `usage`, `unavailable`, `unreadable`: 64, 69, 75 with their fixed message;
 * - `signal`: killed by `signal`.
 * `message` is what it wrote on standard error, without the final line feed,
 * or ''. `openCandidates` are the providers whose `candidate-started` no
 * `candidate-ended` followed before its output ended, in the order started:
 * the watcher that ended will never end them, so the host treats them as
 * ended.
 * @typedef {'stopped' | 'output-failed' | 'usage' | 'unavailable' | 'unreadable'
 *   | 'signal' | 'unexpected'} OutcomeKind
 * @typedef {{ kind: OutcomeKind, status: number | null, signal: NodeJS.Signals | null,
 *   message: string, openCandidates: Provider[] }} WatcherOutcome
 */

/** @type {Record<number, [OutcomeKind, string]>} the kinds that come with a message */
const MESSAGES = {
  64: ['usage', 'Usage: tolvan-callwatch --watch\n'],
  69: ['unavailable', 'Core Audio process activity is unavailable on this Mac.\n'],
  75: ['unreadable', 'Core Audio process activity could not be read.\n'],
};

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
 * The outcome kind of `exit`, given what the library saw of the watcher.
 * @param {import('./child.js').Exit} exit
 * @param {{ stopped: boolean, lines: number, message: string }} seen `stopped`:
 *   the library had closed its standard input when it exited
 * @returns {OutcomeKind}
 */
function kindOf({ status, signal }, { stopped, lines, message }) {
  if (signal) return 'signal';
  if (status === 0 && stopped) return 'stopped';
  // A real watcher's first line is `ready`, and with the library holding the
  // read end open that first write cannot fail.
  if (status === 1 && lines > 0) return 'output-failed';
  const [kind, text] = MESSAGES[status ?? -1] ?? [];
  return kind && message === text ? kind : 'unexpected';
}

/**
 * A running watcher. Its lines are read as they come, whether or not the
 * host iterates, so that the outcome never waits on the host. Iterate it
 * (`for await`) once for its events: a second iteration throws. The
 * iteration ends when the watcher's output does; breaking out of the loop
 * leaves the watcher running: `stop()` lets it go.
 */
export class Watcher {
  #child;
  #exit;
  /** @type {WatcherEvent[]} read, not yet taken by the iteration */
  #queue = [];
  #outputEnded = false;
  #iterated = false;
  #stopping = false;
  /** wakes the iteration when a line arrives or the output ends */
  #arrived = () => {};
  /** @type {Promise<WatcherOutcome>} */
  #outcome;

  /**
   * @param {import('node:child_process').ChildProcessWithoutNullStreams} child
   * @param {Promise<import('./child.js').Exit>} exit
   */
  constructor(child, exit) {
    this.#child = child;
    this.#exit = exit;
    let lines = 0;
    /** @type {Set<Provider>} */
    const open = new Set();
    const output = createInterface({ input: child.stdout, crlfDelay: Infinity });
    output.on('line', (line) => {
      const event = parseEvent(line);
      lines += 1;
      if (event.type === 'candidate-started') open.add(event.provider);
      if (event.type === 'candidate-ended') open.delete(event.provider);
      this.#queue.push(event);
      this.#arrived();
    });
    const outputEnded = once(output, 'close').then(() => {
      this.#outputEnded = true;
      this.#arrived();
    });
    let message = '';
    child.stderr.setEncoding('utf8').on('data', (text) => {
      message = (message + text).slice(0, MESSAGE_LIMIT);
    });
    let stopped = false;
    child.once('exit', () => {
      stopped = this.#stopping;
    });
    const stderrClosed = once(child.stderr, 'close');
    this.#outcome = Promise.all([exit, stderrClosed, outputEnded]).then(([{ status, signal }]) => ({
      kind: kindOf({ status, signal }, { stopped, lines, message }),
      status,
      signal,
      message: message.replace(/\n$/, ''),
      openCandidates: [...open],
    }));
  }

  /** The watcher's process id. */
  get pid() {
    return /** @type {number} */ (this.#child.pid);
  }

  /**
   * The watcher's events, once: one watcher has one event stream.
   * @returns {AsyncGenerator<WatcherEvent, void, undefined>}
   */
  [Symbol.asyncIterator]() {
    if (this.#iterated) throw new TypeError('one event stream per watcher: this one is already iterated');
    this.#iterated = true;
    return this.#events();
  }

  /** @returns {AsyncGenerator<WatcherEvent, void, undefined>} */
  async *#events() {
    for (;;) {
      const event = this.#queue.shift();
      if (event) yield event;
      else if (this.#outputEnded) return;
      else await new Promise((resolve) => (this.#arrived = () => resolve(undefined)));
    }
  }

  /**
   * Resolves with how the watcher ended, once it has and its output and
   * message are read.
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
   * Rejects (TypeError, RangeError) before doing anything when `timeoutMs`
   * is not a number from 0 to 2^31 - 1.
   * @param {{ timeoutMs?: number }} [options]
   * @returns {Promise<WatcherOutcome>}
   */
  async stop(options) {
    const timeoutMs = checkTimeout(options, 'stop');
    this.#stopping = true;
    this.#child.stdin.end();
    await reap(this.#child, this.#exit, timeoutMs);
    return this.#outcome;
  }
}

/**
 * Starts `executable` (the absolute path of tolvan-callwatch; nothing is
 * looked up) with `--watch`, its standard input a pipe the returned Watcher
 * holds. Rejects when the executable cannot be started (the system's error),
 * and, before starting anything, with a TypeError or RangeError for a path
 * that is not absolute or options of another shape.
 * @param {string} executable
 * @param {{ env?: NodeJS.ProcessEnv }} [options] `env`: the watcher's environment,
 *   through which libpulse finds the audio server (default: this process's)
 * @returns {Promise<Watcher>}
 */
export async function startWatcher(executable, options) {
  checkExecutable(executable);
  const { env } = checkShape(options, ['env'], 'startWatcher options');
  if (env !== undefined && (typeof env !== 'object' || env === null)) {
    throw new TypeError('env must be an object of environment variables');
  }
  const environment = /** @type {NodeJS.ProcessEnv | undefined} */ (env);
  const { child, exit } = await start(executable, ['--watch'], { stdio: 'pipe', env: environment });
  return new Watcher(/** @type {import('node:child_process').ChildProcessWithoutNullStreams} */ (child), exit);
}

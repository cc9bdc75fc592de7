// The host's side of nookview: reader mode's frames, handshake and pipelined
// requests, and publish mode's descriptors, numbers and exit statuses.
import { constants, fstatSync } from 'node:fs';
import { lstat, open, stat } from 'node:fs/promises';
import { join } from 'node:path';
import {
  checkExecutable, checkNumber, checkPathText, checkReview, checkShape, checkTimeout, checkTimeoutMs,
} from './arguments.js';
import { start, reap, within } from './child.js';

const MAX_PATH = 1023;
const MAX_FILE = 8000;

/**
 * What a read gave: the whole file (1 to 8000 bytes), a refusal (status 1),
 * or an acceptable file that is empty or over 8000 bytes (status 2).
 * @typedef {{ kind: 'file', data: Buffer } | { kind: 'refused' } | { kind: 'out-of-range' }} ReadResult
 */

/**
 * Why a call failed; hosts branch on `code`, never on the message.
 * - `invalid-path`: a request path empty, over 1023 bytes or containing a 0
 *   byte; never sent.
 * - `root-refused`: nookview exited 1 before its handshake, refusing the
 *   root; `replied` tells whether it answered with a failure reply first
 *   (false: the root text was malformed).
 * - `session-ended`: the program exited or the host closed the session.
 * - `protocol`: the output was not nookview's replies (a first reply other
 *   than the handshake or the failure reply, or bytes that are no reply).
 * - `unexpected-exit`: the program ended in a way nookview does not: before
 *   its handshake with another status than 1 or by a signal, in publish mode
 *   with no status of its own or with 0 though the reviewed entry is not in
 *   the destination. Typically the path of another program.
 * - `invalid-name`: a publish name nookview would refuse: empty, 256 bytes
 *   or more in UTF-8, beginning with a dot (`.` and `..` too), containing
 *   '/' or a 0 byte; nothing was started.
 * - `invalid-directory`: a publish source or destination that cannot be
 *   opened as a directory (missing, a file, a FIFO), or a descriptor that is
 *   closed or not open on a directory; nothing was started.
 * - `timeout`: the program gave no handshake, or did not finish publishing,
 *   within `timeoutMs`, and was killed (a root on a network volume that no
 *   longer answers holds its first look for ever; so does another program
 *   that waits). A publish killed while held in the file system may still
 *   complete its move: look before trying again.
 * `status` is the exit status where one is known, else null; `cause` keeps
 * the system's error behind an `invalid-directory`.
 * @typedef {'invalid-path' | 'root-refused' | 'session-ended' | 'protocol'
 *   | 'unexpected-exit' | 'invalid-name' | 'invalid-directory' | 'timeout'} NookviewErrorCode
 */
export class NookviewError extends Error {
  /**
   * @param {NookviewErrorCode} code
   * @param {string} message
   * @param {{ status?: number | null, replied?: boolean, cause?: unknown }} [details]
   */
  constructor(code, message, { status = null, replied = false, cause } = {}) {
    super(message, cause === undefined ? undefined : { cause });
    this.name = 'NookviewError';
    this.code = code;
    this.status = status;
    this.replied = replied;
  }
}

/**
 * The request frame for `path`; throws `invalid-path` for text that nookview
 * would take as the end of the session.
 * @param {string | Uint8Array} path
 */
function frame(path) {
  const text = Buffer.from(path);
  if (text.length < 1 || text.length > MAX_PATH || text.includes(0)) {
    throw new NookviewError('invalid-path', `not a request path: ${text.length} bytes`);
  }
  const bytes = Buffer.allocUnsafe(2 + text.length);
  bytes.writeUInt16BE(text.length, 0);
  text.copy(bytes, 2);
  return bytes;
}

/**
 * @typedef {{ status: number, data: Buffer }} Reply
 * @typedef {{ bytes: Buffer, resolve: (reply: Reply) => void, reject: (error: Error) => void }} Request
 */

/**
 * A reader-mode session. Reads may be started all at once: at most `window`
 * requests are in the program's hands at a time (it answers one after the
 * other), the rest wait here, and replies are taken as they come.
 *
 * Most of what a read costs the host is Node's work around each system call,
 * so the session makes few: the frames of a turn of the event loop go out in
 * one write, a full window is topped up only once half of it is answered, and
 * a reply read alone is handed over without a copy.
 */
export class Reader {
  #child;
  #exit;
  #window;
  /** @type {Request[]} not yet answered, in order, from `#first` on; the first `#sent` are in nookview's hands */
  #requests = [];
  #first = 0;
  #sent = 0;
  /** @type {Buffer[]} frames to write at the end of this turn */
  #outgoing = [];
  /** @type {Buffer[]} what has been read of the replies not yet whole */
  #parts = [];
  #partsLength = 0;
  /** how many bytes at the front of `#parts` the next step of parsing needs */
  #needed = 3;
  /** @type {NookviewError | null} */
  #ended = null;

  /**
   * @param {import('node:child_process').ChildProcess} child
   * @param {Promise<import('./child.js').Exit>} exit
   * @param {number} window
   */
  constructor(child, exit, window) {
    this.#child = child;
    this.#exit = exit;
    this.#window = window;
    const output = /** @type {import('node:stream').Readable} */ (child.stdout);
    output.on('data', (/** @type {Buffer} */ chunk) => this.#receive(chunk));
    // 'close', not 'end': a destroyed stream emits only 'close'.
    output.on('close', () => this.#end(new NookviewError('session-ended', 'nookview ended the session')));
  }

  /**
   * Starts `executable` (the absolute path of nookview; nothing is looked
   * up) on `root`, an absolute directory path. Resolves after the handshake.
   * Rejects with `root-refused` when nookview refuses the root (exit status
   * 1), `unexpected-exit` when the program ends otherwise before its
   * handshake, `protocol` when its first reply is neither the handshake nor
   * the failure reply, `invalid-path` (unsent) for root text that cannot be
   * sent, `timeout` when no answer came within `timeoutMs` (the program is
   * killed), the system's error when it cannot be started, and, before
   * starting anything, a TypeError or RangeError for arguments of the wrong
   * type or value (`window` must be an integer of at least 1).
   * @param {string} executable
   * @param {string | Uint8Array} root
   * @param {{ window?: number, timeoutMs?: number }} [options]
   * @returns {Promise<Reader>}
   */
  static async open(executable, root, options) {
    checkExecutable(executable);
    checkPathText(root, 'root');
    const { window = 64, timeoutMs = 10_000 } = checkShape(options, ['window', 'timeoutMs'], 'openReader options');
    checkNumber(window, 'window', 1, Number.MAX_SAFE_INTEGER, true);
    checkTimeoutMs(timeoutMs);
    const rootFrame = frame(root);
    const { child, exit } = await start(executable, [], { stdio: ['pipe', 'pipe', 'ignore'] });
    const reader = new Reader(child, exit, window);
    /** @type {Reply | NookviewError | null} */
    const reply = await within(reader.#send(rootFrame).catch((error) => error), timeoutMs);
    if (reply === null) {
      // Not waited for: a process held in the file system leaves only when it lets go.
      reader.#end(new NookviewError('session-ended', 'the host gave up on the session'));
      reader.#hangUp();
      child.kill('SIGKILL');
      throw new NookviewError('timeout', `no answer to the root within ${timeoutMs} ms: nookview was killed`);
    }
    if (!(reply instanceof Error) && reply.status === 0 && reply.data.length === 0) return reader;
    const status = await reader.close();
    // Otherwise the output ended before any reply.
    const replied = !(reply instanceof Error);
    if (replied ? reply.status !== 1 : reply.code === 'protocol') {
      throw new NookviewError('protocol', 'neither a handshake nor a failure reply: not nookview?', { status });
    }
    // nookview refuses a root only by exiting 1; anything else is another program.
    if (status !== 1) {
      const message = `ended with ${status} before its handshake: not nookview?`;
      throw new NookviewError('unexpected-exit', message, { status });
    }
    throw new NookviewError('root-refused', `root refused: ${root}`, { status, replied });
  }

  /** The program's process id. */
  get pid() {
    return /** @type {number} */ (this.#child.pid);
  }

  /**
   * Asks for the file at `path`, relative to the root. Rejects with a
   * TypeError, unsent, for a path that is neither a string nor a Uint8Array.
   * @param {string | Uint8Array} path
   * @returns {Promise<ReadResult>}
   */
  async read(path) {
    checkPathText(path, 'path');
    const { status, data } = await this.#send(frame(path));
    if (status === 1) return { kind: 'refused' };
    if (status === 2) return { kind: 'out-of-range' };
    return { kind: 'file', data };
  }

  /**
   * Ends the session: every read not yet answered rejects with
   * `session-ended`. Resolves with the exit status, or null when a signal
   * killed the program: this library's, only past `timeoutMs`, or anyone
   * else's. Rejects (TypeError, RangeError), ending nothing, when
   * `timeoutMs` is not a number from 0 to 2^31 - 1.
   * @param {{ timeoutMs?: number }} [options]
   * @returns {Promise<number | null>}
   */
  async close(options) {
    const timeoutMs = checkTimeout(options, 'close');
    this.#end(new NookviewError('session-ended', 'the host closed the session'));
    this.#hangUp();
    return (await reap(this.#child, this.#exit, timeoutMs)).status;
  }

  // End of input ends the session; replies still on their way have no one
  // to go to, and a closed output makes nookview's next write fail, which
  // ends it with status 0 too.
  #hangUp() {
    this.#child.stdin?.end();
    this.#child.stdout?.destroy();
  }

  /** @param {Buffer} bytes @returns {Promise<Reply>} */
  #send(bytes) {
    if (this.#ended) return Promise.reject(this.#ended);
    return new Promise((resolve, reject) => {
      this.#requests.push({ bytes, resolve, reject });
      this.#pump();
    });
  }

  // Fills the window while this turn's write is still to come, and otherwise
  // once no more than half of it is in nookview's hands: the frames of a
  // turn leave together, once its reads have been started.
  #pump() {
    if ((this.#sent > this.#window / 2 && !this.#outgoing.length) || this.#ended) return;
    const waiting = this.#requests.length - this.#first - this.#sent;
    const count = Math.min(waiting, this.#window - this.#sent);
    if (count <= 0) return;
    if (!this.#outgoing.length) queueMicrotask(() => this.#flush());
    for (let i = this.#first + this.#sent; i < this.#first + this.#sent + count; i++) {
      this.#outgoing.push(this.#requests[i].bytes);
    }
    this.#sent += count;
  }

  #flush() {
    const frames = this.#outgoing;
    this.#outgoing = [];
    if (!this.#ended) this.#child.stdin?.write(frames.length === 1 ? frames[0] : Buffer.concat(frames));
  }

  /** @param {Buffer} chunk */
  #receive(chunk) {
    this.#parts.push(chunk);
    this.#partsLength += chunk.length;
    // A reply that arrives in many pieces is joined once, when it is whole.
    if (this.#partsLength < this.#needed) return;
    const bytes = this.#parts.length === 1 ? chunk : Buffer.concat(this.#parts, this.#partsLength);
    let at = 0;
    for (;;) {
      if (bytes.length - at < 3) {
        this.#needed = 3;
        break;
      }
      const status = bytes[at];
      const length = bytes.readUInt16BE(at + 1);
      if (!this.#sent || status > 2 || length > MAX_FILE || (status !== 0 && length)) {
        const header = bytes.subarray(at, at + 3).toString('hex');
        this.#end(new NookviewError('protocol', `not a reply: ${header}`));
        this.#hangUp();
        return;
      }
      if (bytes.length - at < 3 + length) {
        this.#needed = 3 + length;
        break;
      }
      this.#answer({ status, data: kept(bytes.subarray(at + 3, at + 3 + length)) });
      at += 3 + length;
    }
    this.#parts = at < bytes.length ? [bytes.subarray(at)] : [];
    this.#partsLength = bytes.length - at;
    this.#pump();
  }

  /** @param {Reply} reply */
  #answer(reply) {
    const request = this.#requests[this.#first];
    this.#first += 1;
    this.#sent -= 1;
    // Answered requests are dropped in bulk, not one at a time.
    if (this.#first >= 1024 && this.#first * 2 >= this.#requests.length) {
      this.#requests = this.#requests.slice(this.#first);
      this.#first = 0;
    }
    request.resolve(reply);
  }

  /** @param {NookviewError} error */
  #end(error) {
    if (this.#ended) return;
    this.#ended = error;
    const unanswered = this.#requests.slice(this.#first);
    this.#requests = [];
    this.#first = this.#sent = 0;
    this.#parts = [];
    for (const request of unanswered) request.reject(error);
  }
}

/**
 * `data`, or a copy of it when it is less than half of the memory it sits in:
 * a kept file then holds on to at most twice its own size (a small copy, to a
 * slice of Buffer's shared pool), never to a whole chunk of replies. A reply
 * read alone, the usual case, is not copied: Node sizes each chunk to what
 * one read gave.
 * @param {Buffer} data
 */
function kept(data) {
  return data.length * 2 >= data.buffer.byteLength ? data : Buffer.from(data);
}

/**
 * Same as `Reader.open`.
 * @param {string} executable
 * @param {string | Uint8Array} root
 * @param {{ window?: number }} [options]
 */
export function openReader(executable, root, options) {
  return Reader.open(executable, root, options);
}

/**
 * A device or inode number as nookview takes it: exact unsigned 64-bit
 * decimal. Node's bigint stats are signed, so a number of 2^63 or more (an
 * overlayfs inode with xino=on; a negative Darwin st_dev) reads negative.
 * @param {bigint} number
 */
export function unsigned64(number) {
  return BigInt.asUintN(64, number).toString();
}

/**
 * A directory's identity, as recorded when the host reviews it.
 * @typedef {{ device: string, inode: string }} Identity
 */

/**
 * The device and inode numbers of `path` (symbolic links followed), as
 * publishReview takes them.
 * @param {string} path
 * @returns {Promise<Identity>}
 */
export async function identify(path) {
  const stats = await stat(path, { bigint: true });
  return { device: unsigned64(stats.dev), inode: unsigned64(stats.ino) };
}

/**
 * What publishing did. `different-file-systems` (status 2) is also what the
 * kernel answers when it cannot rename the entry across the layers of a
 * stacked file system (an overlayfs directory from a lower layer).
 * @typedef {'published' | 'refused' | 'different-file-systems' | 'name-taken'} PublishResult
 */
/** @type {PublishResult[]} indexed by exit status */
const PUBLISHED = ['published', 'refused', 'different-file-systems', 'name-taken'];

/**
 * Why nookview would refuse `name` as the entry's name, or null: it takes 1
 * to 255 bytes without '/' that do not begin with a dot, and a 0 byte cannot
 * be passed to it at all.
 * @param {string} name
 */
function nameFault(name) {
  const bytes = Buffer.byteLength(name);
  if (bytes === 0 || bytes > 255) return `${bytes} bytes, not 1 to 255`;
  if (name.startsWith('.')) return 'it begins with a dot';
  if (/[/\0]/.test(name)) return "it contains '/' or a 0 byte";
  return null;
}

/**
 * @param {string | number} directory
 * @param {unknown} [cause]
 */
function invalidDirectory(directory, cause) {
  const what = typeof directory === 'number' ? `descriptor ${directory}` : JSON.stringify(directory);
  return new NookviewError('invalid-directory', `not a directory: ${what}`, { cause });
}

/**
 * The descriptor nookview gets for `directory`: a path is opened for the run
 * (and added to `opened`), a descriptor is checked with fstat.
 * @param {string | number} directory
 * @param {import('node:fs/promises').FileHandle[]} opened
 */
async function directoryDescriptor(directory, opened) {
  if (typeof directory === 'number') {
    let stats;
    try {
      stats = fstatSync(directory);
    } catch (error) {
      throw invalidDirectory(directory, error);
    }
    if (!stats.isDirectory()) throw invalidDirectory(directory);
    return directory;
  }
  try {
    // O_DIRECTORY refuses anything else, and O_NONBLOCK keeps the open of a
    // FIFO found at the path from waiting for a writer.
    opened.push(await open(directory, constants.O_RDONLY | constants.O_DIRECTORY | constants.O_NONBLOCK));
  } catch (error) {
    throw invalidDirectory(directory, error);
  }
  return opened[opened.length - 1].fd;
}

/**
 * Whether `path`, not followed if it is a link, is the directory `entry`.
 * @param {string} path
 * @param {Identity} entry
 */
async function isEntry(path, entry) {
  const stats = await lstat(path, { bigint: true }).catch(() => null);
  return !!stats?.isDirectory() && unsigned64(stats.dev) === BigInt(entry.device).toString() &&
    unsigned64(stats.ino) === BigInt(entry.inode).toString();
}

// Only Linux derives a path from a descriptor (its /proc/self/fd links lead
// into the directory); elsewhere a destination descriptor cannot be checked.
const descriptorPaths = () => stat('/proc/self/fd').then((stats) => stats.isDirectory(), () => false);

/**
 * Moves the directory `name` from `source` into `destination` (paths, or
 * descriptors open on directories), only if it and the destination still
 * have the identities the host recorded when it reviewed them: never
 * identities taken now, or the check would mean nothing. `published` only
 * when, after nookview's status 0, the reviewed entry stands under `name` in
 * the destination (looked up through `/proc/self/fd` for a descriptor).
 * Rejects with a NookviewError: `invalid-name` and `invalid-directory` before
 * anything starts, `unexpected-exit` for a program that ended in a way
 * nookview does not; and, before anything starts, with a TypeError or
 * RangeError for arguments of the wrong type or value, among them a
 * destination descriptor where no path leads through one (macOS: pass the
 * destination as a path). `timeout`: not finished within `timeoutMs`, and
 * killed.
 * @param {string} executable the absolute path of nookview
 * @param {{ source: string | number, destination: string | number, name: string,
 *   entry: Identity, destinationIdentity: Identity }} review
 * @param {{ timeoutMs?: number }} [options]
 * @returns {Promise<PublishResult>}
 */
export async function publishReview(executable, review, options) {
  checkExecutable(executable);
  checkReview(review);
  const { timeoutMs = 10_000 } = checkShape(options, ['timeoutMs'], 'publishReview options');
  checkTimeoutMs(timeoutMs);
  const { source, destination, name, entry, destinationIdentity: target } = review;
  if (typeof destination === 'number' && !(await descriptorPaths())) {
    throw new TypeError('a destination descriptor cannot be checked on this system: pass the destination as a path');
  }
  const fault = nameFault(name);
  if (fault) throw new NookviewError('invalid-name', `nookview would refuse ${JSON.stringify(name)}: ${fault}`);
  /** @type {import('node:fs/promises').FileHandle[]} */
  const opened = [];
  try {
    const fds = [await directoryDescriptor(source, opened), await directoryDescriptor(destination, opened)];
    const args = ['--publish-review', name, entry.device, entry.inode, target.device, target.inode];
    const { child, exit } = await start(executable, args, { stdio: ['ignore', 'ignore', 'ignore', ...fds] });
    const ended = await within(exit, timeoutMs);
    if (!ended) {
      child.kill('SIGKILL');
      throw new NookviewError('timeout', `not done within ${timeoutMs} ms: nookview was killed; look before trying again`);
    }
    const { status } = ended;
    const result = PUBLISHED[status ?? -1];
    if (!result) throw new NookviewError('unexpected-exit', `nookview ended with ${status}`, { status });
    const arrived = typeof destination === 'number' ? `/proc/self/fd/${destination}/${name}` : join(destination, name);
    if (result === 'published' && !(await isEntry(arrived, entry))) {
      const message = 'exited 0, but the reviewed entry is not in the destination: not nookview?';
      throw new NookviewError('unexpected-exit', message, { status });
    }
    return result;
  } finally {
    await Promise.all(opened.map((handle) => handle.close()));
  }
}

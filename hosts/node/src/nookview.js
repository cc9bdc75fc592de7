// The host's side of nookview: reader mode's frames, handshake and pipelined
// requests, and publish mode's descriptors, numbers and exit statuses.
import { constants } from 'node:fs';
import { open, stat } from 'node:fs/promises';
import { start, reap } from './child.js';

const MAX_PATH = 1023;
const MAX_FILE = 8000;

/**
 * What a read gave: the whole file (1 to 8000 bytes), a refusal (status 1),
 * or an acceptable file that is empty or over 8000 bytes (status 2).
 * @typedef {{ kind: 'file', data: Buffer } | { kind: 'refused' } | { kind: 'out-of-range' }} ReadResult
 */

/**
 * Why a call failed; hosts branch on `code`, never on the message.
 * - `invalid-path`: empty, over 1023 bytes or containing a 0 byte; never sent.
 * - `root-refused`: the root was refused; `replied` tells whether nookview
 *   answered with a failure reply (false: it exited without one).
 * - `session-ended`: the program exited or the host closed the session.
 * - `protocol`: the output was not nookview's replies.
 * - `unexpected-exit`: publish mode ended with no status of its own.
 * `status` is the exit status where one is known, else null.
 * @typedef {'invalid-path' | 'root-refused' | 'session-ended' | 'protocol'
 *   | 'unexpected-exit'} NookviewErrorCode
 */
export class NookviewError extends Error {
  /**
   * @param {NookviewErrorCode} code
   * @param {string} message
   * @param {{ status?: number | null, replied?: boolean }} [details]
   */
  constructor(code, message, { status = null, replied = false } = {}) {
    super(message);
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
 */
export class Reader {
  #child;
  #exit;
  #window;
  /** @type {Request[]} not yet sent */
  #queue = [];
  /** @type {Request[]} sent, in order, awaiting their replies */
  #pending = [];
  /** @type {Buffer} replies read but not yet whole */
  #buffer = Buffer.alloc(0);
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
    this.#window = Math.max(1, window);
    const output = /** @type {import('node:stream').Readable} */ (child.stdout);
    output.on('data', (/** @type {Buffer} */ chunk) => this.#receive(chunk));
    // 'close', not 'end': a destroyed stream emits only 'close'.
    output.on('close', () => this.#end(new NookviewError('session-ended', 'nookview ended the session')));
  }

  /**
   * Starts `executable` (the path of nookview; nothing is looked up) on
   * `root`, an absolute directory path. Resolves after the handshake; rejects
   * with `root-refused` (or `invalid-path`, unsent) otherwise.
   * @param {string} executable
   * @param {string | Uint8Array} root
   * @param {{ window?: number }} [options]
   * @returns {Promise<Reader>}
   */
  static async open(executable, root, { window = 16 } = {}) {
    const rootFrame = frame(root);
    const { child, exit } = await start(executable, [], { stdio: ['pipe', 'pipe', 'ignore'] });
    const reader = new Reader(child, exit, window);
    const reply = await reader.#send(rootFrame).catch(() => null);
    if (reply?.status === 0 && reply.data.length === 0) return reader;
    const status = await reader.close();
    if (reply && reply.status !== 1) throw new NookviewError('protocol', 'not a handshake', { status });
    throw new NookviewError('root-refused', `root refused: ${root}`, { status, replied: !!reply });
  }

  /** The program's process id. */
  get pid() {
    return /** @type {number} */ (this.#child.pid);
  }

  /**
   * Asks for the file at `path`, relative to the root.
   * @param {string | Uint8Array} path
   * @returns {Promise<ReadResult>}
   */
  async read(path) {
    const { status, data } = await this.#send(frame(path));
    if (status === 1) return { kind: 'refused' };
    if (status === 2) return { kind: 'out-of-range' };
    return { kind: 'file', data };
  }

  /**
   * Ends the session: every read not yet answered rejects with
   * `session-ended`. Resolves with the exit status (null if killed), killing
   * the program only if it has not ended after `timeoutMs`.
   * @param {{ timeoutMs?: number }} [options]
   * @returns {Promise<number | null>}
   */
  async close({ timeoutMs = 5000 } = {}) {
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
      this.#queue.push({ bytes, resolve, reject });
      this.#pump();
    });
  }

  #pump() {
    while (this.#pending.length < this.#window && this.#queue.length > 0) {
      const request = /** @type {Request} */ (this.#queue.shift());
      this.#pending.push(request);
      this.#child.stdin?.write(request.bytes);
    }
  }

  /** @param {Buffer} chunk */
  #receive(chunk) {
    this.#buffer = this.#buffer.length ? Buffer.concat([this.#buffer, chunk]) : chunk;
    while (this.#buffer.length >= 3 && !this.#ended) {
      const status = this.#buffer[0];
      const length = this.#buffer.readUInt16BE(1);
      if (!this.#pending.length || status > 2 || length > MAX_FILE || (status !== 0 && length)) {
        const header = this.#buffer.subarray(0, 3).toString('hex');
        this.#end(new NookviewError('protocol', `not a reply: ${header}`));
        this.#hangUp();
        return;
      }
      if (this.#buffer.length < 3 + length) break;
      // A copy, so that a kept file does not hold on to the whole chunk.
      const data = Buffer.from(this.#buffer.subarray(3, 3 + length));
      this.#buffer = this.#buffer.subarray(3 + length);
      this.#pending.shift()?.resolve({ status, data });
    }
    this.#pump();
  }

  /** @param {NookviewError} error */
  #end(error) {
    if (this.#ended) return;
    this.#ended = error;
    for (const request of [...this.#pending, ...this.#queue]) request.reject(error);
    this.#pending = [];
    this.#queue = [];
  }
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

/** @typedef {'published' | 'refused' | 'different-file-systems' | 'name-taken'} PublishResult */
/** @type {PublishResult[]} indexed by exit status */
const PUBLISHED = ['published', 'refused', 'different-file-systems', 'name-taken'];

/**
 * Moves the directory `name` from `source` into `destination` (paths, or
 * descriptors open on directories), only if it and the destination still
 * have the identities the host recorded when it reviewed them: never
 * identities taken now, or the check would mean nothing.
 * @param {string} executable the path of nookview
 * @param {{ source: string | number, destination: string | number, name: string,
 *   entry: Identity, destinationIdentity: Identity }} review
 * @returns {Promise<PublishResult>}
 */
export async function publishReview(executable, review) {
  const { entry, destinationIdentity: target } = review;
  /** @type {import('node:fs/promises').FileHandle[]} */
  const opened = [];
  /** @param {string | number} directory */
  const descriptor = async (directory) => {
    if (typeof directory === 'number') return directory;
    // O_DIRECTORY: a FIFO found at the path would block a read-only open.
    opened.push(await open(directory, constants.O_RDONLY | constants.O_DIRECTORY));
    return opened[opened.length - 1].fd;
  };
  try {
    const fds = [await descriptor(review.source), await descriptor(review.destination)];
    const args = ['--publish-review', review.name, entry.device, entry.inode, target.device, target.inode];
    const { exit } = await start(executable, args, { stdio: ['ignore', 'ignore', 'ignore', ...fds] });
    const { status } = await exit;
    const result = PUBLISHED[status ?? -1];
    if (!result) throw new NookviewError('unexpected-exit', `nookview ended with ${status}`, { status });
    return result;
  } finally {
    await Promise.all(opened.map((handle) => handle.close()));
  }
}

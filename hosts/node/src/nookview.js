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
  static async open(executable, root, { window = 64 } = {}) {
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

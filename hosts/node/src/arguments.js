// What the library takes from a host, checked at the call: a wrong argument
// fails at once and names itself, before any process starts or any file is
// opened, instead of turning into a hang or a misleading outcome later. A
// wrong type is a TypeError, a wrong value a RangeError.
import { isAbsolute } from 'node:path';

// setTimeout takes at most this many milliseconds; past it Node fires at
// once, which would kill a child that was given all the time in the world.
const MAX_TIMEOUT_MS = 2 ** 31 - 1;
const MAX_DESCRIPTOR = 2 ** 31 - 1;
const MAX_UNSIGNED64 = 2n ** 64n - 1n;

/** @param {unknown} value */
function describe(value) {
  if (value === null) return 'null';
  if (Array.isArray(value)) return 'an array';
  return typeof value === 'object' ? `an object of class ${value.constructor?.name}` : typeof value;
}

/**
 * Throws unless `executable` is an absolute path: nothing is looked up in
 * `PATH`, so a bare name would otherwise mean whatever `PATH` finds.
 * @param {unknown} executable
 * @returns {asserts executable is string}
 */
export function checkExecutable(executable) {
  if (typeof executable !== 'string') {
    throw new TypeError(`the executable must be a path string, not ${describe(executable)}`);
  }
  if (!isAbsolute(executable) || executable.includes('\0')) {
    const text = JSON.stringify(executable);
    throw new RangeError(`the executable must be an absolute path, as nothing is looked up in PATH: ${text}`);
  }
}

/**
 * Returns `value` when it is a plain object with no key but `keys` (and
 * `{}` for undefined when `optional`); throws a TypeError naming the first
 * unexpected key otherwise, so that a misplaced object (`process.env` for
 * `{ env }`) is not silently ignored.
 * @param {unknown} value
 * @param {string[]} keys
 * @param {string} what how the error names the object
 * @param {boolean} [optional]
 * @returns {Record<string, unknown>}
 */
export function checkShape(value, keys, what, optional = true) {
  if (value === undefined && optional) return {};
  if (typeof value !== 'object' || value === null || Array.isArray(value)) {
    throw new TypeError(`${what} must be an object, not ${describe(value)}`);
  }
  const unexpected = Object.keys(value).find((key) => !keys.includes(key));
  if (unexpected !== undefined) {
    throw new TypeError(`${what}: unexpected key ${JSON.stringify(unexpected)} (it takes ${keys.join(', ')})`);
  }
  // Inherited members would be read too, though no key shows them.
  const prototype = Object.getPrototypeOf(value);
  if (prototype !== Object.prototype && prototype !== null) {
    throw new TypeError(`${what} must be a plain object, not ${describe(value)}`);
  }
  return /** @type {Record<string, unknown>} */ (value);
}

/**
 * Throws unless `value` is a number from `min` to `max`, and an integer when
 * `integer` is set. NaN and the infinities are wrong values.
 * @param {unknown} value
 * @param {string} name
 * @param {number} min
 * @param {number} max
 * @param {boolean} [integer]
 * @returns {asserts value is number}
 */
export function checkNumber(value, name, min, max, integer = false) {
  if (typeof value !== 'number') throw new TypeError(`${name} must be a number, not ${describe(value)}`);
  if (!(value >= min && value <= max) || (integer && !Number.isInteger(value))) {
    throw new RangeError(`${name} must be ${integer ? 'an integer' : 'a number'} from ${min} to ${max}, not ${value}`);
  }
}

/**
 * `timeoutMs` of `close` and `stop`: the default when undefined.
 * @param {unknown} options
 * @param {string} what
 */
export function checkTimeout(options, what) {
  const { timeoutMs = 5000 } = checkShape(options, ['timeoutMs'], `${what} options`);
  checkTimeoutMs(timeoutMs);
  return timeoutMs;
}

/**
 * @param {unknown} timeoutMs
 * @returns {asserts timeoutMs is number}
 */
export function checkTimeoutMs(timeoutMs) {
  checkNumber(timeoutMs, 'timeoutMs', 0, MAX_TIMEOUT_MS);
}

/**
 * Throws a TypeError unless `path` is text nookview can be sent.
 * @param {unknown} path
 * @param {string} name
 * @returns {asserts path is string | Uint8Array}
 */
export function checkPathText(path, name) {
  if (typeof path !== 'string' && !(path instanceof Uint8Array)) {
    throw new TypeError(`${name} must be a string or a Uint8Array, not ${describe(path)}`);
  }
}

/**
 * A directory for publishing: a path, or a descriptor open on it.
 * @param {unknown} directory
 * @param {string} name
 * @returns {asserts directory is string | number}
 */
function checkDirectory(directory, name) {
  if (typeof directory === 'number') checkNumber(directory, `${name} descriptor`, 0, MAX_DESCRIPTOR, true);
  else if (typeof directory !== 'string') {
    throw new TypeError(`${name} must be a path string or a descriptor, not ${describe(directory)}`);
  }
}

/**
 * @param {unknown} identity
 * @param {string} name
 */
function checkIdentity(identity, name) {
  const numbers = checkShape(identity, ['device', 'inode'], name, false);
  for (const key of ['device', 'inode']) {
    const text = numbers[key];
    if (typeof text !== 'string') throw new TypeError(`${name}.${key} must be a decimal string, not ${describe(text)}`);
    // A number nookview can never match is a mistake, not a refusal.
    if (!/^[0-9]+$/.test(text) || BigInt(text) > MAX_UNSIGNED64) {
      throw new RangeError(`${name}.${key} must be an unsigned 64-bit decimal number: ${JSON.stringify(text)}`);
    }
  }
}

/**
 * Checks the review object of publishReview: every member present, of its
 * type, and no other.
 * @param {unknown} review
 */
export function checkReview(review) {
  const keys = ['source', 'destination', 'name', 'entry', 'destinationIdentity'];
  const { source, destination, name, entry, destinationIdentity } = checkShape(review, keys, 'the review', false);
  checkDirectory(source, 'source');
  checkDirectory(destination, 'destination');
  if (typeof name !== 'string') throw new TypeError(`name must be a string, not ${describe(name)}`);
  checkIdentity(entry, 'entry');
  checkIdentity(destinationIdentity, 'destinationIdentity');
}

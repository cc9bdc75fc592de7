// What hosts of both programs need of a child process: a start that fails
// loudly when the executable cannot run, its exit observed from the first
// moment (so it is never missed), and a bounded wait that kills only past
// its timeout.
import { spawn } from 'node:child_process';
import { once } from 'node:events';

/**
 * How a child ended: its exit status, or the signal that killed it.
 * @typedef {{ status: number | null, signal: NodeJS.Signals | null }} Exit
 */

/**
 * Starts `executable` with `args`. Resolves once the process runs; rejects
 * with the system's error (ENOENT, EACCES) when it cannot be started.
 * @param {string} executable
 * @param {string[]} args
 * @param {import('node:child_process').SpawnOptions} options
 * @returns {Promise<{ child: import('node:child_process').ChildProcess, exit: Promise<Exit> }>}
 */
export async function start(executable, args, options) {
  const child = spawn(executable, args, options);
  /** @type {Promise<Exit>} */
  const exit = new Promise((resolve) => {
    child.once('exit', (status, signal) => resolve({ status, signal }));
  });
  // Writing to a program that has gone fails (EPIPE); its exit is what tells
  // the host, so the write's error must not become an uncaught exception.
  child.stdin?.on('error', () => {});
  await once(child, 'spawn');
  return { child, exit };
}

/**
 * Waits for `exit`; once `timeoutMs` has passed, kills the child with SIGKILL
 * and waits for that. Never kills a child that ends in time.
 * @param {import('node:child_process').ChildProcess} child
 * @param {Promise<Exit>} exit
 * @param {number} timeoutMs
 * @returns {Promise<Exit>}
 */
export async function reap(child, exit, timeoutMs) {
  const first = await within(exit, timeoutMs);
  if (first) return first;
  child.kill('SIGKILL');
  return exit;
}

/**
 * What `promise` resolves with, or null once `timeoutMs` has passed first.
 * @template T
 * @param {Promise<T>} promise
 * @param {number} timeoutMs
 * @returns {Promise<T | null>}
 */
export async function within(promise, timeoutMs) {
  /** @type {NodeJS.Timeout | undefined} */
  let timer;
  const late = new Promise((resolve) => {
    timer = setTimeout(resolve, timeoutMs, null);
  });
  try {
    return await Promise.race([promise, late]);
  } finally {
    clearTimeout(timer);
  }
}

#!/usr/bin/env node
// A minimal host for tolvan-callwatch, written with the project's Node.js
// library (hosts/node; an application imports 'tolvan-helpers' instead).
//
//     callwatch_host.mjs [--since EPOCH-SECONDS] PATH-OF-TOLVAN-CALLWATCH
//
// Starts the watcher and prints every event as it arrives, with the time
// since the start (or since the given moment of the system clock, so that a
// caller can stamp its own messages on the same clock). When this program's
// own standard input ends (or on Ctrl-C) it lets the watcher go, and reports
// how the watcher ended. A line it does not know makes it let the watcher go
// at once: it comes from a watcher this host was not written for. Exit
// status: 0 when the watcher was let go after known lines only, 1 otherwise.
import { startWatcher } from '../hosts/node/src/index.js';

const args = process.argv.slice(2);
const began = args[0] === '--since' ? Number(args.splice(0, 2)[1]) * 1000 : Date.now();
if (args.length !== 1) {
  console.error('usage: callwatch_host.mjs [--since EPOCH-SECONDS] PATH-OF-TOLVAN-CALLWATCH');
  process.exit(2);
}
const say = (text) => console.log(`${((Date.now() - began) / 1000).toFixed(2).padStart(6)} s  ${text}`);

const watcher = await startWatcher(args[0]);
process.stdin.on('end', () => watcher.stop()).resume();
process.once('SIGINT', () => watcher.stop());

let unknown = false;
for await (const event of watcher) {
  if (event.type === 'unknown') {
    say(`${JSON.stringify(event.line)}  (unknown: letting the watcher go)`);
    unknown = true;
    break;
  }
  say(event.type === 'ready' ? 'ready: the watcher is sampling' : `${event.type}: ${event.provider}`);
}
const { kind, status, signal, message } = await watcher.stop();
say(`watcher left: ${kind} (${signal ?? `status ${status}`})${message ? `: ${message}` : ''}`);
process.stdin.destroy();
process.exitCode = kind === 'stopped' && !unknown ? 0 : 1;

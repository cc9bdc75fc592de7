// tolvan-helpers: hosts for tolvan-callwatch and nookview, given the paths
// of the two executables.
// The declarations name Node's types (Buffer, NodeJS, node:child_process);
// kept in types/index.d.ts, this brings them in for a consumer whose
// compiler does not load @types on its own (TypeScript 7 loads none).
/// <reference types="node" preserve="true" />
export * from './callwatch.js';
export * from './nookview.js';

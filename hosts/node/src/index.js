// tolvan-helpers: hosts for tolvan-callwatch and nookview, given the paths
// of the two executables.
export * from './callwatch.js';
export * from './nookview.js';

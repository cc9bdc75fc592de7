// Keeps the watcher's standard streams to their documented use even though
// libraries it loads may open descriptors or write diagnostics.
#pragma once

// Gives each of descriptors 0, 1 and 2 that is closed a stand-in, so that no
// descriptor opened later can land on one and be taken for a standard
// stream: 0 reads end of file at once (the parent is already gone), 1 is
// read-only so every event write fails as on a closed descriptor, 2 discards.
void reserveStandardDescriptors();

// Moves the real standard error to a private close-on-exec descriptor and
// points descriptor 2 at /dev/null, so that only what is written to the
// returned descriptor reaches the parent's standard error. Call before any
// library that may log is used. Returns -1 when no private copy could be
// made; descriptor 2 is then left as it was.
int isolateStandardError();

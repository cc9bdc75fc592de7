// The watcher's standard streams: kept to their documented use even though
// the audio library it loads may open descriptors or write diagnostics, and
// the one way anything is written to them.
#pragma once

#include <string_view>

// Gives each of descriptors 0, 1 and 2 that is closed a stand-in, so that no
// descriptor opened later can land on one and be taken for a standard
// stream: 0 reads end of file at once (the parent is already gone), 1 is
// read-only so every event write fails as on a closed descriptor, 2 discards.
void reserveStandardDescriptors();

// Moves the real standard error to a private close-on-exec descriptor and
// points descriptor 2 at /dev/null, so that only what is written to the
// returned descriptor reaches the parent's standard error. Call before any
// library that may log is used. Returns 2 when no private copy could be
// made; descriptor 2 is then left as it was.
int isolateStandardError();

// Writes all of `bytes` to `fd`, continuing after short writes and repeating
// interrupted ones. False on any error or a write that makes no progress.
bool writeAll(int fd, std::string_view bytes);

// The watch command: checks the command line and the platform, then samples
// once a second on one thread until the parent lets go. The process ends only
// by exit, with one of these statuses:
//   0   standard input became readable, reached end of file or was closed
//   1   an event line could not be written (no message)
//   64  "Usage: tolvan-callwatch --watch"
//   69  "Core Audio process activity is unavailable on this Mac."
//   75  "Core Audio process activity could not be read." (fifth missed sample)
// Each message is written to `messages` followed by a line feed.
#pragma once

#include <span>

#include "audio_sampler.h"

// `arguments` are those after the program name; they are checked before the
// sampler is asked anything.
[[noreturn]] void watchCommand(std::span<char* const> arguments, AudioSampler& sampler,
                               int messages);

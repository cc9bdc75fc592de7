// The one thing the watcher tells its parent: an activity event, written as
// one JSON object per line on standard output.
//
// The five lines it can write, each followed by one line feed (0x0A):
//   {"version":1,"type":"ready"}
//   {"version":1,"type":"candidate-started","provider":"zoom"}
//   {"version":1,"type":"candidate-ended","provider":"zoom"}
//   {"version":1,"type":"candidate-started","provider":"teams"}
//   {"version":1,"type":"candidate-ended","provider":"teams"}
#pragma once

#include <optional>
#include <string>

#include "meeting_provider.h"

class MeetingActivityEvent {
 public:
  enum class Kind { ready, candidateStarted, candidateEnded };

  explicit MeetingActivityEvent(Kind type, std::optional<MeetingProvider> provider = std::nullopt)
      : type_(type), provider_(provider) {}

  // The wire form: compact JSON with the members version (always 1), type
  // and, only when a provider is present, provider, in that order, then one
  // line feed.
  std::string line() const;

 private:
  Kind type_;
  std::optional<MeetingProvider> provider_;
};

// Writes the event's line to standard output, unbuffered, before returning.
// If the line cannot be built or written completely the process ends at once
// with status 1 and no message.
void emit(const MeetingActivityEvent& event);

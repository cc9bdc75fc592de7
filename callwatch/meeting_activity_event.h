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

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "meeting_provider.h"

class MeetingActivityEvent {
 public:
  enum class Kind { ready, candidateStarted, candidateEnded };

  explicit MeetingActivityEvent(Kind type, std::optional<MeetingProvider> provider = std::nullopt)
      : type_(type), provider_(provider) {}

  std::int64_t version() const { return 1; }
  Kind type() const { return type_; }
  std::optional<MeetingProvider> provider() const { return provider_; }

  // The wire form: compact JSON with the members version, type and (only when
  // a provider is present) provider, in that order, then one line feed.
  std::string line() const;

  friend bool operator==(const MeetingActivityEvent&, const MeetingActivityEvent&) = default;

 private:
  Kind type_;
  std::optional<MeetingProvider> provider_;
};

// "ready", "candidate-started" or "candidate-ended".
std::string_view rawValue(MeetingActivityEvent::Kind kind);

// The kind whose raw value is exactly `text` (case-sensitive).
std::optional<MeetingActivityEvent::Kind> kindFromRawValue(std::string_view text);

// Writes all of `bytes` to `fd`, continuing after short writes and repeating
// interrupted ones. False on any error or a write that makes no progress.
bool writeAll(int fd, std::string_view bytes);

// Writes the event's line to standard output, unbuffered, before returning.
// If the line cannot be built or written completely the process ends at once
// with status 1 and no message.
void emit(const MeetingActivityEvent& event);

// One sampled audio process of a recognised meeting application.
#pragma once

#include <optional>
#include <vector>

#include "meeting_provider.h"

class AudioProcessActivity {
 public:
  // `input` and `output`: true running, false not running, nullopt when
  // reading the value failed. An unreadable value is never taken as false.
  AudioProcessActivity(MeetingProvider provider, std::optional<bool> input,
                       std::optional<bool> output)
      : provider_(provider), input_(input), output_(output) {}

  MeetingProvider provider() const { return provider_; }
  std::optional<bool> input() const { return input_; }
  std::optional<bool> output() const { return output_; }

 private:
  MeetingProvider provider_;
  std::optional<bool> input_;
  std::optional<bool> output_;
};

// One tick's sample in the system's process order: nullopt when sampling
// failed; an empty list when no process of a known provider was found.
using AudioSample = std::optional<std::vector<AudioProcessActivity>>;

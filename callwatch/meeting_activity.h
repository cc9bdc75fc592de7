// Debounces each provider's per-second audio observations into candidate
// meetings: three consecutive active samples start one, eight consecutive
// inactive samples end it. It counts calls and keeps no clock; the caller's
// once-a-second rhythm turns the counts into durations.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "audio_process_activity.h"
#include "meeting_activity_event.h"

class MeetingActivity {
 public:
  static constexpr std::int64_t startThreshold = 3;
  static constexpr std::int64_t endThreshold = 8;

  // One time step for every provider. Returns zero to two events, at most one
  // per provider, in provider order; only candidateStarted and candidateEnded,
  // always with their provider. An absent sample is an undetermined
  // observation for every provider: it restarts both counts and flips nothing.
  std::vector<MeetingActivityEvent> observe(const AudioSample& sample);

 private:
  struct ProviderActivity {
    bool active = false;
    // Consecutive observations up to the latest that contradicted `active`.
    std::int64_t contrarySamples = 0;
  };

  // Indexed by provider.
  std::array<ProviderActivity, allMeetingProviders.size()> activity{};
};

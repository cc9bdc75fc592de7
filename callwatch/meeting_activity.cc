#include "meeting_activity.h"

namespace {

// Three-valued evidence: nullopt is "undetermined", never a false.
using Evidence = std::optional<bool>;

// Three-valued OR: any true decides; otherwise any unknown leaves it unknown.
// No values at all is false.
template <typename Read>
Evidence anyRunning(const std::vector<AudioProcessActivity>& processes, MeetingProvider provider,
                    Read read) {
  Evidence summary = false;
  for (const AudioProcessActivity& process : processes) {
    if (process.provider() != provider) continue;
    Evidence value = read(process);
    if (value == true) return true;
    if (!value) summary = std::nullopt;
  }
  return summary;
}

// Three-valued AND: any false decides; otherwise any unknown leaves it unknown.
Evidence bothRunning(Evidence input, Evidence output) {
  if (input == false || output == false) return false;
  if (!input || !output) return std::nullopt;
  return true;
}

// Active when some process of the provider runs input and some (possibly
// another) runs output; a present sample without the provider is inactive.
Evidence observation(const AudioSample& sample, MeetingProvider provider) {
  if (!sample) return std::nullopt;
  return bothRunning(anyRunning(*sample, provider, [](auto& p) { return p.input(); }),
                     anyRunning(*sample, provider, [](auto& p) { return p.output(); }));
}

}  // namespace

std::vector<MeetingActivityEvent> MeetingActivity::observe(const AudioSample& sample) {
  std::vector<MeetingActivityEvent> events;
  for (MeetingProvider provider : allMeetingProviders) {
    Evidence seen = observation(sample, provider);
    ProviderActivity& state = activity[static_cast<std::size_t>(provider)];
    if (!seen || *seen == state.active) {
      state.contrarySamples = 0;
      continue;
    }
    state.contrarySamples += 1;
    if (state.contrarySamples != (state.active ? endThreshold : startThreshold)) continue;
    state.active = *seen;
    state.contrarySamples = 0;
    events.emplace_back(state.active ? MeetingActivityEvent::Kind::candidateStarted
                                     : MeetingActivityEvent::Kind::candidateEnded,
                        provider);
  }
  return events;
}

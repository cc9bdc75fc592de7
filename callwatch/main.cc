// tolvan-callwatch: tells its parent, as JSON lines on standard output, when
// a candidate Zoom or Teams meeting starts or ends. See watch.h for the
// command line, exit statuses and messages.
#include <cstddef>
#include <memory>
#include <span>

#include "audio_sampler.h"
#include "standard_streams.h"
#include "watch.h"

int main(int argc, char** argv) {
  reserveStandardDescriptors();
  int messages = isolateStandardError();
  std::unique_ptr<AudioSampler> sampler = makeSystemAudioSampler();
  std::span<char* const> command(argv, static_cast<std::size_t>(argc));
  watchCommand(command.subspan(argc > 0 ? 1 : 0), *sampler, messages);
}

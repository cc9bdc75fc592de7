// tolvan-callwatch: tells its parent, as JSON lines on standard output, when
// a candidate Zoom or Teams meeting starts or ends. See watch.h for the
// command line, exit statuses and messages.
#include <span>

#include "audio_hardware.h"
#include "core_audio_activity.h"
#include "standard_streams.h"
#include "watch.h"

int main(int argc, char** argv) {
  reserveStandardDescriptors();
  int messages = isolateStandardError();
  if (messages >= 0) sendMessagesTo(messages);

  std::span<const char* const> arguments;
  if (argc > 1)
    arguments = {const_cast<const char* const*>(argv) + 1, static_cast<std::size_t>(argc - 1)};
  watchCommand(arguments, {[] { return CoreAudioActivity::isSupported(systemAudioHardware()); },
                           [] { return CoreAudioActivity::sample(systemAudioHardware()); }});
}

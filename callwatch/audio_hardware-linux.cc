// On Linux the process objects come from the PulseAudio protocol, which both
// PulseAudio and PipeWire (through pipewire-pulse) serve.
#include <chrono>

#include "audio_hardware.h"
#include "pulse_client-linux.h"
#include "sound_server_audio_hardware.h"

namespace {

// Start-up may wait a little for the server; a tick must never stall the
// once-a-second rhythm, even when the server hangs.
constexpr std::chrono::milliseconds connectBudget{1000};
constexpr std::chrono::milliseconds snapshotBudget{300};

}  // namespace

AudioHardware& systemAudioHardware() {
  static PulseClient* client = new PulseClient();
  static AudioHardware* hardware =
      new SoundServerAudioHardware([] { return client->connect(connectBudget); },
                                   [] { return client->snapshot(snapshotBudget); });
  return *hardware;
}

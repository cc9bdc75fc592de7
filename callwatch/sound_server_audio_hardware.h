// The audio hardware interface answered from a sound server's clients (see
// audio_clients.h), for systems without Core Audio. The process-list size
// question takes a fresh snapshot of the server; the list and the per-process
// questions that follow are answered from that snapshot, so one sample sees
// one consistent state. Process objects are numbered from 2 in snapshot
// order; a handle outside the latest snapshot answers audioBadObjectError.
#pragma once

#include <functional>
#include <optional>
#include <vector>

#include "audio_clients.h"
#include "audio_hardware.h"

class SoundServerAudioHardware : public AudioHardware {
 public:
  // `connect` says whether the server can be reached; `snapshot` reads it
  // once, nullopt when it cannot. Each must bound its own wait.
  using Connect = std::function<bool()>;
  using Snapshot = std::function<std::optional<AudioClientsSnapshot>()>;

  SoundServerAudioHardware(Connect connect, Snapshot snapshot)
      : connect_(std::move(connect)), snapshot_(std::move(snapshot)) {}

  bool hasProperty(AudioObjectId object, const AudioPropertyAddress& address) override;
  AudioStatus propertyDataSize(AudioObjectId object, const AudioPropertyAddress& address,
                               std::uint32_t& size) override;
  AudioStatus propertyData(AudioObjectId object, const AudioPropertyAddress& address,
                           std::uint32_t& size, void* data) override;
  AudioStatus stringPropertyData(AudioObjectId object, const AudioPropertyAddress& address,
                                 std::optional<std::string>& text) override;

 private:
  const AudioClientProcess* process(AudioObjectId object) const;

  Connect connect_;
  Snapshot snapshot_;
  std::vector<AudioClientProcess> processes_;
};

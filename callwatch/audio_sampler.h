// Which processes of the recognised meeting applications are using audio,
// read from the system's audio service once per call. One implementation per
// system, chosen by the build: audio_sampler-macos.cc reads Core Audio's
// per-process audio objects; audio_sampler-linux.cc reads the clients and
// streams of a PulseAudio server (PipeWire's pipewire-pulse included).
#pragma once

#include <memory>

#include "audio_process_activity.h"

class AudioSampler {
 public:
  virtual ~AudioSampler() = default;

  // Whether this system can be sampled at all. Asked once, at start-up,
  // before any sample; may wait up to a second. On macOS it first has Core
  // Audio deliver its notifications on a thread of its own.
  virtual bool isSupported() = 0;

  // The processes of known providers, in the system's order; nullopt when
  // the reading failed. A value that cannot be read is nullopt in its
  // record. Returns well within a second, and never fails in another way.
  virtual AudioSample sample() = 0;
};

// The running system's sampler; it touches no audio service until asked. On
// Linux this also takes from the whole process, for good, the right to
// create, change or remove files (see audio_sampler-linux.cc).
std::unique_ptr<AudioSampler> makeSystemAudioSampler();

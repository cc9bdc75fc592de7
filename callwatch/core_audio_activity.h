// One snapshot of which processes of the recognised meeting applications are
// using audio, read from the per-process audio objects of the system.
#pragma once

#include "audio_hardware.h"
#include "audio_process_activity.h"

class CoreAudioActivity {
 public:
  CoreAudioActivity() = delete;

  // Whether the system object offers the process-object list. Asks nothing
  // else.
  static bool isSupported(AudioHardware& hardware);

  // The processes of known providers in the system's process order; nullopt
  // when the list, or a bundle identifier other than one of a vanished
  // process, cannot be read. A value that cannot be read is nullopt in its
  // record. Keeps nothing between calls and never fails in any other way.
  static AudioSample sample(AudioHardware& hardware);
};

// What a PulseAudio server (or PipeWire's pipewire-pulse) says about its
// clients and their streams, and how the watcher finds the processes of
// meeting applications in it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "audio_process_activity.h"

// One client connection with the properties that identify its application;
// a property the client record lacks is nullopt.
struct AudioClient {
  std::uint32_t index = 0;
  std::optional<std::string> processId;  // application.process.id
  std::optional<std::string> binary;     // application.process.binary
  std::optional<std::string> name;       // application.name
  // The Flatpak application id: pipewire.access.portal.app_id, which
  // PipeWire sets itself for a sandboxed client, else application.flatpak.id.
  std::optional<std::string> appId;
};

// A playback stream (sink input) or recording stream (source output).
struct AudioStream {
  std::uint32_t client = 0;
  bool corked = false;
};

struct AudioClientsSnapshot {
  std::vector<AudioClient> clients;
  std::vector<AudioStream> playback;
  std::vector<AudioStream> recording;
};

// One record per process of a meeting application, in the order in which the
// server lists the first client of each. Clients are one process when they agree on
// application.process.id and on every property an application is recognised
// by: sandboxed applications (Flatpak, any PID namespace) can share a process
// id, never all of these by accident. A client without a process id is a
// process of its own. A client is Zoom when its binary is "zoom", its
// application name "ZOOM VoiceEngine" or its Flatpak id "us.zoom.Zoom"; Teams
// when its binary is "teams-for-linux" or "teams", or its Flatpak id
// "com.github.IsmaelMartinez.teams_for_linux" (exact text). A process runs
// input (output) when it has an uncorked recording (playback) stream.
std::vector<AudioProcessActivity> meetingProcesses(const AudioClientsSnapshot& snapshot);

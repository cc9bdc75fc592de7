// What a sound server such as PulseAudio or PipeWire tells about its clients
// and their streams, and how the watcher turns that into the per-process
// audio objects the sampler reads: one process per operating-system process
// id, identified by the bundle identifier its application would have on
// macOS, running input or output when it has an uncorked stream.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One client connection of the server, with the identity properties it
// carries; a property the client record lacks is nullopt.
struct AudioClient {
  std::uint32_t index = 0;
  std::optional<std::string> processId;  // application.process.id
  std::optional<std::string> binary;     // application.process.binary
  std::optional<std::string> name;       // application.name
  // The Flatpak application id: pipewire.access.portal.app_id, which the
  // PipeWire server sets itself for sandboxed clients, else
  // application.flatpak.id as a client may set it.
  std::optional<std::string> flatpakId;
};

// A playback stream (sink input) or recording stream (source output).
struct AudioStream {
  std::uint32_t client = 0;
  bool corked = false;
};

// One consistent view of the server. `ownClient` is the watcher's own
// connection, which is never reported.
struct AudioClientsSnapshot {
  std::uint32_t ownClient = 0;
  std::vector<AudioClient> clients;
  std::vector<AudioStream> playback;
  std::vector<AudioStream> recording;
};

struct AudioClientProcess {
  std::optional<std::string> bundleID;
  bool input = false;
  bool output = false;
};

// The macOS bundle identifier of a known meeting application when the client
// is one of its Linux builds, from a fixed table of exact names: binary
// "zoom", application name "ZOOM VoiceEngine" or Flatpak id "us.zoom.Zoom"
// are "us.zoom.xos"; binary "teams-for-linux" or Flatpak id
// "com.github.IsmaelMartinez.teams_for_linux" are "com.microsoft.teams2";
// binary "teams" is "com.microsoft.teams". nullopt for anything else.
std::optional<std::string> aliasedBundleID(const AudioClient& client);

// The alias when there is one, else the client's own identifier: its Flatpak
// id, else its binary, else its application name; nullopt without any.
std::optional<std::string> bundleIDOf(const AudioClient& client);

// The processes behind the snapshot's clients, ordered by the lowest client
// index of each. Clients sharing an application.process.id form one process;
// a client without one is a process of its own. A process takes the first
// alias among its clients in index order, else its first client's own
// identifier. Streams of unknown clients count for nobody.
std::vector<AudioClientProcess> clientProcesses(const AudioClientsSnapshot& snapshot);

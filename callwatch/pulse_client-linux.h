// A PulseAudio client connection (also served by PipeWire's pulse server)
// that reads the server's clients and streams with a bounded wait. It runs
// libpulse's non-threaded main loop on the caller's thread, only while a
// call is in progress, so nothing happens between calls and no thread is
// started.
#pragma once

#include <chrono>
#include <optional>

#include "audio_clients.h"

struct pa_context;
struct pa_mainloop;

class PulseClient {
 public:
  PulseClient();
  ~PulseClient();
  PulseClient(const PulseClient&) = delete;
  PulseClient& operator=(const PulseClient&) = delete;

  // Whether a connection is ready within `budget`: the current one while it
  // is healthy, else a new one to the server libpulse would normally use
  // (PULSE_SERVER, client.conf, the user's runtime directory). It never
  // starts a server.
  bool connect(std::chrono::milliseconds budget);

  // One fresh view of the server's clients, playback and recording streams,
  // connecting first if needed, all within `budget`. nullopt on a failure or
  // a timeout; the connection is then dropped, for a later call to replace.
  std::optional<AudioClientsSnapshot> snapshot(std::chrono::milliseconds budget);

 private:
  using Clock = std::chrono::steady_clock;

  bool connectBy(Clock::time_point deadline);
  template <typename Done>
  bool runUntil(Clock::time_point deadline, Done done);
  bool ready() const;
  void disconnect();

  pa_mainloop* loop_;
  pa_context* context_ = nullptr;
};

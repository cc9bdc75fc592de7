#include "pulse_client-linux.h"

#include <pulse/context.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>
#include <pulse/operation.h>
#include <pulse/proplist.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <string>

namespace {

std::optional<std::string> property(const pa_proplist* properties, const char* key) {
  const char* value = properties ? pa_proplist_gets(properties, key) : nullptr;
  if (!value) return std::nullopt;
  return std::string(value);
}

// What the three list queries of one snapshot gather. `pending` counts the
// lists not yet complete; a list that ends in error marks the whole failed.
struct Gathering {
  AudioClientsSnapshot snapshot;
  int pending = 3;
  bool failed = false;

  // True when this callback ends a list.
  bool ended(int eol) {
    if (eol == 0) return false;
    if (eol < 0) failed = true;
    --pending;
    return true;
  }
};

void addClient(pa_context*, const pa_client_info* info, int eol, void* userdata) {
  auto& gathering = *static_cast<Gathering*>(userdata);
  if (gathering.ended(eol) || !info) return;
  std::optional<std::string> flatpakId = property(info->proplist, "pipewire.access.portal.app_id");
  if (!flatpakId) flatpakId = property(info->proplist, "application.flatpak.id");
  gathering.snapshot.clients.push_back(
      {info->index, property(info->proplist, PA_PROP_APPLICATION_PROCESS_ID),
       property(info->proplist, PA_PROP_APPLICATION_PROCESS_BINARY),
       property(info->proplist, PA_PROP_APPLICATION_NAME), flatpakId});
}

void addPlayback(pa_context*, const pa_sink_input_info* info, int eol, void* userdata) {
  auto& gathering = *static_cast<Gathering*>(userdata);
  if (gathering.ended(eol) || !info || info->client == PA_INVALID_INDEX) return;
  gathering.snapshot.playback.push_back({info->client, info->corked != 0});
}

void addRecording(pa_context*, const pa_source_output_info* info, int eol, void* userdata) {
  auto& gathering = *static_cast<Gathering*>(userdata);
  if (gathering.ended(eol) || !info || info->client == PA_INVALID_INDEX) return;
  gathering.snapshot.recording.push_back({info->client, info->corked != 0});
}

std::string underHome(const char* relative) {
  const char* home = std::getenv("HOME");
  return home && *home ? std::string(home) + relative : std::string();
}

bool readable(const std::string& path) {
  return !path.empty() && access(path.c_str(), R_OK) == 0;
}

// Whether libpulse would find an authentication cookie on disk. When it finds
// none it creates one, with its folder, in the user's configuration directory;
// the watcher writes no files.
bool cookieOnDisk() {
  if (std::getenv("PULSE_COOKIE")) return true;  // the library's own choice
  const char* config = std::getenv("XDG_CONFIG_HOME");
  std::string configured = config && *config ? std::string(config) + "/pulse/cookie"
                                             : underHome("/.config/pulse/cookie");
  return readable(configured) || readable(underHome("/.pulse-cookie"));
}

// Without a cookie on disk the library would make up a random one and store
// it, though no server can know that cookie. An anonymous in-memory file of
// the cookie's length stands in for it: the library reads it instead and
// stores nothing, and the server decides on the client's credentials, as it
// would have. The library reads the file when it connects, so the stand-in
// stays open for the life of the process, like the rest of the watcher.
void avoidCreatingCookie(pa_context* context) {
  static const std::string standIn = [] {
    if (cookieOnDisk()) return std::string();
    int fd = memfd_create("pulse-cookie", MFD_CLOEXEC);
    static const char blank[256] = {};  // the native protocol's cookie length
    if (fd < 0 || write(fd, blank, sizeof blank) != static_cast<ssize_t>(sizeof blank)) {
      if (fd >= 0) close(fd);
      return std::string();
    }
    return "/proc/self/fd/" + std::to_string(fd);
  }();
  if (!standIn.empty()) pa_context_load_cookie_from_file(context, standIn.c_str());
}

}  // namespace

PulseClient::PulseClient() : loop_(pa_mainloop_new()) {}

PulseClient::~PulseClient() {
  disconnect();
  if (loop_) pa_mainloop_free(loop_);
}

bool PulseClient::ready() const {
  return context_ && pa_context_get_state(context_) == PA_CONTEXT_READY;
}

void PulseClient::disconnect() {
  if (!context_) return;
  pa_context_disconnect(context_);
  pa_context_unref(context_);
  context_ = nullptr;
}

// Runs the loop until `done()` holds, never past `deadline`: the only waits
// are the poll timeouts given here, so a server that stops answering cannot
// hold the caller longer.
template <typename Done>
bool PulseClient::runUntil(Clock::time_point deadline, Done done) {
  while (!done()) {
    Clock::time_point now = Clock::now();
    if (now >= deadline) return false;
    auto wait = std::chrono::ceil<std::chrono::microseconds>(deadline - now).count();
    if (pa_mainloop_prepare(loop_, static_cast<int>(std::min<long long>(wait, 1'000'000))) < 0 ||
        pa_mainloop_poll(loop_) < 0 || pa_mainloop_dispatch(loop_) < 0) {
      return false;
    }
  }
  return true;
}

bool PulseClient::connectBy(Clock::time_point deadline) {
  if (ready()) return true;
  disconnect();
  if (!loop_) return false;
  context_ = pa_context_new(pa_mainloop_get_api(loop_), "tolvan-callwatch");
  if (!context_) return false;
  avoidCreatingCookie(context_);
  // A watcher must never bring a sound server to life, so no autospawn.
  auto settled = [this] { return ready() || !PA_CONTEXT_IS_GOOD(pa_context_get_state(context_)); };
  if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
      !runUntil(deadline, settled) || !ready()) {
    disconnect();
    return false;
  }
  return true;
}

bool PulseClient::connect(std::chrono::milliseconds budget) {
  return connectBy(Clock::now() + budget);
}

std::optional<AudioClientsSnapshot> PulseClient::snapshot(std::chrono::milliseconds budget) {
  Clock::time_point deadline = Clock::now() + budget;
  if (!connectBy(deadline)) return std::nullopt;

  Gathering gathering;
  gathering.snapshot.ownClient = pa_context_get_index(context_);
  std::array<pa_operation*, 3> operations = {
      pa_context_get_client_info_list(context_, addClient, &gathering),
      pa_context_get_sink_input_info_list(context_, addPlayback, &gathering),
      pa_context_get_source_output_info_list(context_, addRecording, &gathering),
  };
  bool complete =
      std::none_of(operations.begin(), operations.end(), [](pa_operation* op) { return !op; }) &&
      runUntil(deadline, [&] { return gathering.pending == 0 || !ready(); }) &&
      gathering.pending == 0 && !gathering.failed;
  // Unanswered queries must not call back into `gathering` once it is gone.
  for (pa_operation* operation : operations) {
    if (!operation) continue;
    if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) pa_operation_cancel(operation);
    pa_operation_unref(operation);
  }
  if (!complete) {
    disconnect();
    return std::nullopt;
  }
  return std::move(gathering.snapshot);
}

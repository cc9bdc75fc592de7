// On Linux the sampler is a client of the sound server through libpulse: it
// speaks the PulseAudio protocol, which PulseAudio and PipeWire (through
// pipewire-pulse) both serve. It runs libpulse's non-threaded main loop on
// the caller's thread, only while a call is waiting for the server, so
// nothing happens between calls and no thread is started.
#include <linux/landlock.h>
#include <pulse/context.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>
#include <pulse/operation.h>
#include <pulse/proplist.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>

#include "audio_clients-linux.h"
#include "audio_sampler.h"

namespace {

using Clock = std::chrono::steady_clock;

// Start-up may wait a little for the server; a tick must never stall the
// once-a-second rhythm, even when the server hangs.
constexpr std::chrono::milliseconds connectBudget{1000};
constexpr std::chrono::milliseconds sampleBudget{300};

// While it works out where a server might be, libpulse creates the user's
// runtime directory (without XDG_RUNTIME_DIR: a directory in /tmp and a link
// to it under ~/.config/pulse), and on connecting it makes up and stores a
// cookie when it finds none. The watcher writes no files, so before libpulse
// runs the process gives up, for good, the right to create, write, rename or
// remove any file; libpulse then finds nothing where it would have created
// something, as on a first run. A kernel without Landlock (before 5.13, or
// with it disabled) is left as it is.
void forbidFileChanges() {
  long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  if (abi < 1) return;
  landlock_ruleset_attr ruleset = {};
  ruleset.handled_access_fs = LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_REMOVE_DIR |
                              LANDLOCK_ACCESS_FS_REMOVE_FILE | LANDLOCK_ACCESS_FS_MAKE_CHAR |
                              LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG |
                              LANDLOCK_ACCESS_FS_MAKE_SOCK | LANDLOCK_ACCESS_FS_MAKE_FIFO |
                              LANDLOCK_ACCESS_FS_MAKE_BLOCK | LANDLOCK_ACCESS_FS_MAKE_SYM;
  if (abi >= 2) ruleset.handled_access_fs |= LANDLOCK_ACCESS_FS_REFER;
  if (abi >= 3) ruleset.handled_access_fs |= 1ULL << 14;  // LANDLOCK_ACCESS_FS_TRUNCATE
  int fd = static_cast<int>(syscall(SYS_landlock_create_ruleset, &ruleset, sizeof ruleset, 0));
  if (fd < 0) return;
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0) syscall(SYS_landlock_restrict_self, fd, 0);
  close(fd);
}

std::optional<std::string> property(const pa_proplist* properties, const char* key) {
  const char* value = properties ? pa_proplist_gets(properties, key) : nullptr;
  if (!value) return std::nullopt;
  return std::string(value);
}

// What the three list queries of one snapshot gather. `pending` counts the
// lists not yet complete; a list that ends in error fails the whole.
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
  std::optional<std::string> appId = property(info->proplist, "pipewire.access.portal.app_id");
  if (!appId) appId = property(info->proplist, "application.flatpak.id");
  gathering.snapshot.clients.push_back(
      {info->index, property(info->proplist, PA_PROP_APPLICATION_PROCESS_ID),
       property(info->proplist, PA_PROP_APPLICATION_PROCESS_BINARY),
       property(info->proplist, PA_PROP_APPLICATION_NAME), appId});
}

void addPlayback(pa_context*, const pa_sink_input_info* info, int eol, void* userdata) {
  auto& gathering = *static_cast<Gathering*>(userdata);
  if (gathering.ended(eol) || !info) return;
  gathering.snapshot.playback.push_back({info->client, info->corked != 0});
}

void addRecording(pa_context*, const pa_source_output_info* info, int eol, void* userdata) {
  auto& gathering = *static_cast<Gathering*>(userdata);
  if (gathering.ended(eol) || !info) return;
  gathering.snapshot.recording.push_back({info->client, info->corked != 0});
}

class PulseSampler final : public AudioSampler {
 public:
  PulseSampler() : loop_(pa_mainloop_new()) {}
  ~PulseSampler() override {
    disconnect();
    if (loop_) pa_mainloop_free(loop_);
  }
  PulseSampler(const PulseSampler&) = delete;
  PulseSampler& operator=(const PulseSampler&) = delete;

  bool isSupported() override { return connectBy(Clock::now() + connectBudget); }

  AudioSample sample() override {
    std::optional<AudioClientsSnapshot> snapshot = takeSnapshot(Clock::now() + sampleBudget);
    if (!snapshot) return std::nullopt;
    return meetingProcesses(*snapshot);
  }

 private:
  bool ready() const { return context_ && pa_context_get_state(context_) == PA_CONTEXT_READY; }

  void disconnect() {
    if (!context_) return;
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    context_ = nullptr;
  }

  // Runs the loop until `done()` holds, never past `deadline`: the only waits
  // are the poll timeouts given here, so a server that stops answering cannot
  // hold the caller longer.
  template <typename Done>
  bool runUntil(Clock::time_point deadline, Done done) {
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

  // Keeps a healthy connection; otherwise opens a new one (a context connects
  // only once) to the server libpulse finds, and never starts a server.
  bool connectBy(Clock::time_point deadline) {
    if (ready()) return true;
    disconnect();
    if (!loop_) return false;
    context_ = pa_context_new(pa_mainloop_get_api(loop_), "tolvan-callwatch");
    if (!context_) return false;
    auto settled = [this] {
      return ready() || !PA_CONTEXT_IS_GOOD(pa_context_get_state(context_));
    };
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
        !runUntil(deadline, settled) || !ready()) {
      disconnect();
      return false;
    }
    return true;
  }

  // The clients, playback and recording streams as one fresh view, or
  // nullopt; a failed view drops the connection for the next call to renew.
  std::optional<AudioClientsSnapshot> takeSnapshot(Clock::time_point deadline) {
    if (!connectBy(deadline)) return std::nullopt;
    Gathering gathering;
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

  pa_mainloop* loop_;
  pa_context* context_ = nullptr;
};

}  // namespace

std::unique_ptr<AudioSampler> makeSystemAudioSampler() {
  forbidFileChanges();
  return std::make_unique<PulseSampler>();
}

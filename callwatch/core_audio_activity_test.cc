#include "core_audio_activity.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

// What one 'piri' or 'piro' question answers.
struct Running {
  AudioStatus status = 0;
  std::uint32_t written = 4;
  std::uint32_t value = 0;
};

struct ScriptedProcess {
  AudioObjectId id;
  AudioStatus bundleStatus = 0;
  std::optional<std::string> bundleID;
  Running input;
  Running output;
};

// What the system object answers. Unset sizes follow the listed processes.
struct ScriptedList {
  AudioStatus sizeStatus = 0;
  std::optional<std::uint32_t> size;
  AudioStatus listStatus = 0;
  std::optional<std::uint32_t> written;
};

std::string fourCC(std::uint32_t code) {
  std::string text;
  for (int shift = 24; shift >= 0; shift -= 8) text += static_cast<char>((code >> shift) & 0xFF);
  return text;
}

// Answers exactly as scripted and logs every question as "<call> <selector>
// <object>", so tests can see which questions were asked and in what order.
class ScriptedHardware : public AudioHardware {
 public:
  ScriptedHardware(ScriptedList list, std::vector<ScriptedProcess> processes)
      : list_(list), processes_(std::move(processes)) {}

  bool hasProcessList = true;
  std::vector<std::string> calls;

  bool hasProperty(AudioObjectId object, const AudioPropertyAddress& address) override {
    log("has", object, address);
    return hasProcessList && object == audioSystemObject &&
           address.selector == audioProcessObjectList;
  }

  AudioStatus propertyDataSize(AudioObjectId object, const AudioPropertyAddress& address,
                               std::uint32_t& size) override {
    log("size", object, address);
    if (list_.sizeStatus != 0) return list_.sizeStatus;
    size = list_.size.value_or(listedBytes());
    return 0;
  }

  AudioStatus propertyData(AudioObjectId object, const AudioPropertyAddress& address,
                           std::uint32_t& size, void* data) override {
    log("data", object, address);
    if (object == audioSystemObject) return answerList(size, data);
    const ScriptedProcess* process = find(object);
    if (!process) return audioBadObjectError;
    const Running& running =
        address.selector == audioProcessIsRunningInput ? process->input : process->output;
    if (running.status != 0) return running.status;
    std::memcpy(data, &running.value, std::min<std::uint32_t>(size, sizeof running.value));
    size = running.written;
    return 0;
  }

  AudioStatus stringPropertyData(AudioObjectId object, const AudioPropertyAddress& address,
                                 std::optional<std::string>& text) override {
    log("string", object, address);
    const ScriptedProcess* process = find(object);
    if (!process) return audioBadObjectError;
    if (process->bundleStatus != 0) return process->bundleStatus;
    text = process->bundleID;
    return 0;
  }

 private:
  std::uint32_t listedBytes() const {
    return static_cast<std::uint32_t>(processes_.size() * sizeof(AudioObjectId));
  }

  // Never writes past the caller's capacity, even when told to claim more.
  AudioStatus answerList(std::uint32_t& size, void* data) {
    if (list_.listStatus != 0) return list_.listStatus;
    std::vector<AudioObjectId> ids;
    for (const ScriptedProcess& process : processes_) ids.push_back(process.id);
    std::uint32_t claimed = list_.written.value_or(listedBytes());
    std::memcpy(data, ids.data(), std::min({size, claimed, listedBytes()}));
    size = claimed;
    return 0;
  }

  const ScriptedProcess* find(AudioObjectId object) const {
    for (const ScriptedProcess& process : processes_) {
      if (process.id == object) return &process;
    }
    return nullptr;
  }

  void log(const char* call, AudioObjectId object, const AudioPropertyAddress& address) {
    std::string entry =
        std::string(call) + " " + fourCC(address.selector) + " " + std::to_string(object);
    if (address.scope != audioScopeGlobal || address.element != audioElementMain) {
      entry += " (not global/main)";
    }
    calls.push_back(entry);
  }

  ScriptedList list_;
  std::vector<ScriptedProcess> processes_;
};

std::string describe(std::optional<bool> value) {
  if (!value) return "?";
  return *value ? "1" : "0";
}

// "none", or one "provider input output" per record, e.g. "zoom 1 ?".
std::string describe(const AudioSample& sample) {
  if (!sample) return "none";
  std::string text = "[";
  for (const AudioProcessActivity& record : *sample) {
    if (text.size() > 1) text += ", ";
    text += std::string(rawValue(record.provider())) + " " + describe(record.input()) + " " +
            describe(record.output());
  }
  return text + "]";
}

std::string joined(const std::vector<std::string>& calls) {
  std::string text;
  for (const std::string& call : calls) text += (text.empty() ? "" : "; ") + call;
  return text;
}

constexpr AudioStatus unspecifiedError = 0x77686174;  // 'what'
constexpr Running on{0, 4, 1};
constexpr Running off{0, 4, 0};

Running failed(AudioStatus status) {
  return {status, 4, 0};
}

ScriptedList sizeFails() {
  return {unspecifiedError, std::nullopt, 0, std::nullopt};
}
ScriptedList listFails() {
  return {0, std::nullopt, unspecifiedError, std::nullopt};
}
ScriptedList sized(std::uint32_t size, std::uint32_t written) {
  return {0, size, 0, written};
}

ScriptedProcess app(AudioObjectId id, std::optional<std::string> bundleID, Running input = on,
                    Running output = on) {
  return {id, 0, std::move(bundleID), input, output};
}
ScriptedProcess unidentified(AudioObjectId id, AudioStatus status) {
  return {id, status, std::nullopt, on, on};
}
ScriptedProcess zoom(AudioObjectId id, Running input = on, Running output = on) {
  return app(id, "us.zoom.xos", input, output);
}
ScriptedProcess teams(AudioObjectId id, Running input = on, Running output = on) {
  return app(id, "com.microsoft.teams2", input, output);
}
ScriptedProcess other(AudioObjectId id) {
  return app(id, "com.apple.Music");
}

struct SampleCase {
  const char* name;
  ScriptedList list;
  std::vector<ScriptedProcess> processes;
  std::string sample;
  std::string calls;  // empty: not checked
};

TEST(CoreAudioActivity, SampleFollowsEveryRowOfTheFailureTable) {
  const SampleCase cases[] = {
      {"size query fails", sizeFails(), {zoom(10)}, "none", "size prs# 1"},
      {"size not a whole number of handles", sized(6, 6), {zoom(10)}, "none", "size prs# 1"},
      {"no processes: list never fetched", ScriptedList(), {}, "[]", "size prs# 1"},
      {"list query fails", listFails(), {zoom(10)}, "none", "size prs# 1; data prs# 1"},
      {"written size not a whole number of handles",
       sized(8, 6),
       {zoom(10), zoom(11)},
       "none",
       "size prs# 1; data prs# 1"},
      {"written size exceeds the buffer",
       sized(4, 8),
       {zoom(10), zoom(11)},
       "none",
       "size prs# 1; data prs# 1"},
      {"list shrank: only written handles examined",
       sized(12, 4),
       {zoom(10), zoom(11), zoom(12)},
       "[zoom 1 1]",
       "size prs# 1; data prs# 1; string pbid 10; data piri 10; data piro 10"},
      {"list written empty", sized(8, 0), {zoom(10), zoom(11)}, "[]", "size prs# 1; data prs# 1"},
      {"vanished process skipped, the rest reported",
       ScriptedList(),
       {zoom(10), unidentified(11, audioBadObjectError), teams(12)},
       "[zoom 1 1, teams 1 1]",
       ""},
      {"other identifier failure on the last process drops everything",
       ScriptedList(),
       {zoom(10), teams(11), other(12), zoom(13), unidentified(14, unspecifiedError)},
       "none",
       ""},
      {"null identifier skipped",
       ScriptedList(),
       {app(10, std::nullopt), zoom(11)},
       "[zoom 1 1]",
       "size prs# 1; data prs# 1; string pbid 10; string pbid 11; data piri 11; data piro 11"},
      {"unknown application costs one question",
       ScriptedList(),
       {other(10), app(11, ""), app(12, "us.zoom")},
       "[]",
       "size prs# 1; data prs# 1; string pbid 10; string pbid 11; string pbid 12"},
      {"input unreadable, output still asked",
       ScriptedList(),
       {zoom(10, failed(unspecifiedError), off)},
       "[zoom ? 0]",
       "size prs# 1; data prs# 1; string pbid 10; data piri 10; data piro 10"},
      {"odd written sizes make values unknown",
       ScriptedList(),
       {zoom(10, {0, 2, 1}, {0, 8, 1}), teams(11, off, failed(audioBadObjectError))},
       "[zoom ? ?, teams 0 ?]",
       ""},
      {"any non-zero value is running",
       ScriptedList(),
       {teams(10, {0, 4, 2}, {0, 4, 0x80000000})},
       "[teams 1 1]",
       ""},
      {"records follow list order, one per process",
       ScriptedList(),
       {zoom(10, on, off), teams(11), other(12), zoom(13, off, on), zoom(14, off, off),
        app(15, "US.ZOOM.XOS.Helper", off, on)},
       "[zoom 1 0, teams 1 1, zoom 0 1, zoom 0 0, zoom 0 1]",
       ""},
  };
  for (const SampleCase& c : cases) {
    ScriptedHardware hardware(c.list, c.processes);
    EXPECT_EQ(describe(CoreAudioActivity::sample(hardware)), c.sample) << c.name;
    if (!c.calls.empty()) {
      EXPECT_EQ(joined(hardware.calls), c.calls) << c.name;
    }
    for (const std::string& call : hardware.calls) {
      EXPECT_EQ(call.find("not global"), std::string::npos) << c.name << ": " << call;
    }
  }
}

TEST(CoreAudioActivity, KeepsNothingBetweenSamples) {
  ScriptedHardware hardware(ScriptedList(), {zoom(10, on, off)});
  EXPECT_EQ(describe(CoreAudioActivity::sample(hardware)), "[zoom 1 0]");
  EXPECT_EQ(describe(CoreAudioActivity::sample(hardware)), "[zoom 1 0]");
  EXPECT_EQ(hardware.calls.size(), 10u);
}

TEST(CoreAudioActivity, SupportIsTheProcessListPropertyOnly) {
  for (bool offered : {true, false}) {
    ScriptedHardware hardware({}, {});
    hardware.hasProcessList = offered;
    EXPECT_EQ(CoreAudioActivity::isSupported(hardware), offered);
    EXPECT_EQ(joined(hardware.calls), "has prs# 1");
  }
}

}  // namespace

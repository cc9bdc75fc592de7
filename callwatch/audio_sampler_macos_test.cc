// The Core Audio sampler of audio_sampler-macos.cc against a scripted
// system: the hardware property calls and the Core Foundation string calls
// it makes are defined here, so that every answer, status and size can be
// chosen. Like Core Audio, it answers only the questions Apple's headers
// define, so a wrong address or buffer size in the sampler shows as a wrong
// sample.
#include <CoreAudio/CoreAudio.h>
#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "audio_sampler.h"

struct __CFString {
  std::string text;
};

namespace {

struct Answer {
  OSStatus status = 0;
  UInt32 value = 0;
  UInt32 size = 4;  // written back
};

// Process objects are numbered from 100 in list order.
struct Process {
  const char* bundleID = nullptr;  // nullptr: a null string reference
  Answer input = {};
  Answer output = {};
  OSStatus bundleStatus = 0;
};

struct System {
  std::vector<Process> processes{};
  bool supported = true;  // whether the system has a process list
  OSStatus sizeStatus = 0;
  std::optional<UInt32> size{};  // announced; else 4 bytes per process
  OSStatus listStatus = 0;
  std::optional<UInt32> written{};  // by the list query; else what fits
  int liveStrings = 0;
  std::string calls{};  // the questions asked, as "has size prs# pbid"
};

System* script;

// The exact size of the property asked, if Apple's headers define it for
// this object at this address (global scope, main element, no qualifier);
// else nullopt, which Core Audio refuses. Records the question as "has",
// "size" or the selector read.
std::optional<UInt32> exactSize(const char* call, AudioObjectID id,
                                const AudioObjectPropertyAddress* address, UInt32 qualifierSize = 0,
                                const void* qualifier = nullptr) {
  UInt32 asked = address->mSelector;
  std::string read = {char(asked >> 24), char(asked >> 16), char(asked >> 8), char(asked)};
  script->calls += (script->calls.empty() ? "" : " ") + (call ? call : read);
  bool global = !qualifierSize && !qualifier &&
                address->mScope == kAudioObjectPropertyScopeGlobal &&
                address->mElement == kAudioObjectPropertyElementMain;
  if (id == kAudioObjectSystemObject) {
    return global && asked == kAudioHardwarePropertyProcessObjectList ? script->size : std::nullopt;
  }
  if (global && asked == kAudioProcessPropertyBundleID) return sizeof(CFStringRef);
  bool flag =
      asked == kAudioProcessPropertyIsRunningInput || asked == kAudioProcessPropertyIsRunningOutput;
  return global && flag ? std::optional<UInt32>(sizeof(UInt32)) : std::nullopt;
}

}  // namespace

extern "C" {

Boolean AudioObjectHasProperty(AudioObjectID id, const AudioObjectPropertyAddress* address) {
  return exactSize("has", id, address) && script->supported;
}

OSStatus AudioObjectGetPropertyDataSize(AudioObjectID id, const AudioObjectPropertyAddress* address,
                                        UInt32 qualifierSize, const void* qualifier, UInt32* size) {
  std::optional<UInt32> exact = exactSize("size", id, address, qualifierSize, qualifier);
  if (exact) *size = *exact;
  return exact ? script->sizeStatus : kAudioHardwareUnknownPropertyError;
}

OSStatus AudioObjectGetPropertyData(AudioObjectID object, const AudioObjectPropertyAddress* address,
                                    UInt32 qualifierSize, const void* qualifier, UInt32* size,
                                    void* data) {
  std::optional<UInt32> exact = exactSize(nullptr, object, address, qualifierSize, qualifier);
  if (!exact || *size != *exact) {
    return exact ? kAudioHardwareBadPropertySizeError : kAudioHardwareUnknownPropertyError;
  }
  if (object == kAudioObjectSystemObject) {
    UInt32 fits = std::min<UInt32>(*size, static_cast<UInt32>(4 * script->processes.size()));
    for (UInt32 i = 0; i < fits / 4; ++i) static_cast<AudioObjectID*>(data)[i] = 100 + i;
    *size = script->written.value_or(fits);
    return script->listStatus;
  }
  const Process& process = script->processes.at(object - 100);
  if (address->mSelector == kAudioProcessPropertyBundleID) {
    if (process.bundleStatus != 0) return process.bundleStatus;
    *static_cast<CFStringRef*>(data) =
        process.bundleID ? new __CFString{process.bundleID} : nullptr;
    script->liveStrings += process.bundleID != nullptr;
    return 0;
  }
  const Answer& answer =
      address->mSelector == kAudioProcessPropertyIsRunningInput ? process.input : process.output;
  if (answer.status == 0) *static_cast<UInt32*>(data) = answer.value;
  *size = answer.size;
  return answer.status;
}

CFIndex CFStringGetLength(CFStringRef text) {
  return static_cast<CFIndex>(text->text.size());
}

CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding) {
  return 3 * length;
}

Boolean CFStringGetCString(CFStringRef text, char* buffer, CFIndex size, CFStringEncoding) {
  if (static_cast<CFIndex>(text->text.size()) >= size) return false;
  std::copy(text->text.c_str(), text->text.c_str() + text->text.size() + 1, buffer);
  return true;
}

void CFRelease(CFTypeRef object) {
  delete static_cast<const __CFString*>(object);
  script->liveStrings -= 1;
}

}  // extern "C"

namespace {

// As at start-up, "unsupported" or else one sample as "zoom:tf teams:n1":
// provider, then input and output as t (running), f (not running) or n
// (unread); "none" for an absent sample. `calls`, if given, are the questions
// the sample must ask.
std::string sampleOf(System& system, const char* calls) {
  script = &system;
  system.size = system.size.value_or(static_cast<UInt32>(4 * system.processes.size()));
  std::unique_ptr<AudioSampler> sampler = makeSystemAudioSampler();
  if (!sampler->isSupported()) return "unsupported";
  AudioSample sample = sampler->sample();
  EXPECT_EQ(system.liveStrings, 0) << "string references not released exactly once";
  EXPECT_TRUE(!calls || system.calls == calls) << "asked " << system.calls << ", not " << calls;
  if (!sample) return "none";
  auto state = [](std::optional<bool> v) { return v ? (*v ? "t" : "f") : "n"; };
  std::string seen;
  for (const AudioProcessActivity& r : *sample) {
    seen += std::string(seen.empty() ? "" : " ") + std::string(rawValue(r.provider())) + ":" +
            state(r.input()) + state(r.output());
  }
  return seen;
}

const Answer on = {0, 1, 4};

TEST(CoreAudioSampler, ReadsEachProcessAndFailsAsAWholeOnlyWhereItMust) {
  const Process zoom = {"us.zoom.xos", on, on};
  const Process teams = {"com.microsoft.teams2", on, {}};
  const Process other = {"com.apple.Music", on, on};
  struct Row {
    System system;
    const char* sample;
    const char* calls = nullptr;  // checked where the row is about them
  } table[] = {
      {{.processes = {zoom, other, teams}}, "zoom:tt teams:tf"},
      {{.processes = {zoom}, .supported = false}, "unsupported"},
      // No processes: an empty sample, and the empty list is never read. An
      // application not recognised costs its identifier alone.
      {{}, "", "has size"},
      {{.processes = {other}}, "", "has size prs# pbid"},
      // The list fails, or its size is no whole number of objects.
      {{.processes = {zoom}, .sizeStatus = 1}, "none"},
      {{.processes = {zoom}, .size = 6}, "none"},
      {{.processes = {zoom}, .listStatus = 1}, "none"},
      {{.processes = {zoom, zoom}, .written = 6}, "none"},
      {{.processes = {zoom, zoom}, .size = 4, .written = 8}, "none"},
      // Fewer bytes written than announced: only those objects count.
      {{.processes = {zoom, teams}, .written = 4}, "zoom:tt"},
      {{.processes = {zoom}, .written = 0}, ""},
      // A vanished process is skipped; any other identity failure, even on
      // the last process, fails the whole sample.
      {{.processes = {{"us.zoom.xos", on, on, kAudioHardwareBadObjectError}, teams}}, "teams:tf"},
      {{.processes = {zoom, teams, {"us.zoom.xos", on, on, 1}}}, "none"},
      {{.processes = {{.bundleID = nullptr}, teams}}, "teams:tf"},
      // An unreadable value is none, never false, and output is still read;
      // any non-zero value runs.
      {{.processes = {{"us.zoom.xos", {.status = 1}}}}, "zoom:nf", "has size prs# pbid piri piro"},
      {{.processes = {{"us.zoom.xos", {.value = 1, .size = 2}, {.value = 2}}}}, "zoom:nt"},
      {{.processes = {zoom, teams, zoom, other, zoom}}, "zoom:tt teams:tf zoom:tt zoom:tt"},
  };
  for (Row& r : table) EXPECT_EQ(sampleOf(r.system, r.calls), r.sample) << "row " << &r - table;
}

}  // namespace

// The Core Audio sampler of audio_sampler-macos.cc against a scripted
// system: the hardware property calls and the Core Foundation string calls
// it makes are defined here, so that every answer, status and size can be
// chosen. Like Core Audio, it answers only the questions and accepts only the
// write Apple's headers define, so a wrong address or buffer size in the
// sampler shows as a wrong sample or a refused call.
#include <CoreAudio/CoreAudio.h>
#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "audio_sampler.h"

struct __CFString : std::string {};

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
  std::optional<UInt32> written{};  // by the list query; else all announced
  int liveStrings = 0;
  std::string calls{};  // the calls made, as "set has size prs# pbid"
};

System* script;

// The exact size of the property asked, if Apple's headers define it for
// this object at this address (global scope, main element, no qualifier);
// else nullopt, which Core Audio refuses. Records the question as `call`
// or, for a read, as the selector.
std::optional<UInt32> exactSize(std::string call, AudioObjectID id,
                                const AudioObjectPropertyAddress* address, bool qualified = false) {
  UInt32 asked = address->mSelector;
  if (call.empty()) call = {char(asked >> 24), char(asked >> 16), char(asked >> 8), char(asked)};
  script->calls += (script->calls.empty() ? "" : " ") + call;
  if (qualified || address->mScope != kAudioObjectPropertyScopeGlobal) return std::nullopt;
  if (address->mElement != kAudioObjectPropertyElementMain) return std::nullopt;
  if (id == kAudioObjectSystemObject) {
    return asked == kAudioHardwarePropertyProcessObjectList ? script->size : std::nullopt;
  }
  if (asked == kAudioProcessPropertyBundleID) return sizeof(CFStringRef);
  bool flag =
      asked == kAudioProcessPropertyIsRunningInput || asked == kAudioProcessPropertyIsRunningOutput;
  return flag ? std::optional<UInt32>(sizeof(UInt32)) : std::nullopt;
}

// As at start-up, "unsupported" or else one sample as "zoom:tf teams:n1":
// provider, then input and output as t (running), f (not running) or n
// (unread); "none" for an absent sample. With `calls`, followed by " | " and
// the questions asked.
std::string sampleOf(System& system, bool calls) {
  script = &system;
  system.size = system.size.value_or(static_cast<UInt32>(4 * system.processes.size()));
  std::unique_ptr<AudioSampler> sampler = makeSystemAudioSampler();
  if (!sampler->isSupported()) return "unsupported";
  AudioSample sample = sampler->sample();
  EXPECT_EQ(system.liveStrings, 0) << "string references not released exactly once";
  std::string asked = calls ? " | " + system.calls : "";
  if (!sample) return "none" + asked;
  auto state = [](std::optional<bool> v) { return v ? (*v ? "t" : "f") : "n"; };
  std::string seen;
  for (const AudioProcessActivity& r : *sample)
    seen += " " + std::string(rawValue(r.provider())) + ":" + state(r.input()) + state(r.output());
  return seen.substr(seen.empty() ? 0 : 1) + asked;
}

const Answer on = {0, 1, 4};

}  // namespace

// Defined with the C linkage that their declarations give them.
Boolean AudioObjectHasProperty(AudioObjectID id, const AudioObjectPropertyAddress* address) {
  return exactSize("has", id, address) && script->supported;
}

OSStatus AudioObjectGetPropertyDataSize(AudioObjectID id, const AudioObjectPropertyAddress* address,
                                        UInt32 qualifierSize, const void* qualifier, UInt32* size) {
  std::optional<UInt32> exact = exactSize("size", id, address, qualifierSize || qualifier);
  *size = exact.value_or(*size);
  return exact ? script->sizeStatus : kAudioHardwareUnknownPropertyError;
}

OSStatus AudioObjectGetPropertyData(AudioObjectID object, const AudioObjectPropertyAddress* address,
                                    UInt32 qualifierSize, const void* qualifier, UInt32* size,
                                    void* data) {
  std::optional<UInt32> exact = exactSize("", object, address, qualifierSize || qualifier);
  if (!exact) return kAudioHardwareUnknownPropertyError;
  if (*size != *exact) return kAudioHardwareBadPropertySizeError;
  if (object == kAudioObjectSystemObject) {
    for (UInt32 i = 0; i < *size / 4; ++i) static_cast<AudioObjectID*>(data)[i] = 100 + i;
    *size = script->written.value_or(*size);
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

// The one write Core Audio is asked to make, "set": no run loop for its
// notifications. Like any write Apple's headers do not define, one to another
// object or address, of another size or value, is refused, as "set?".
OSStatus AudioObjectSetPropertyData(AudioObjectID id, const AudioObjectPropertyAddress* address,
                                    UInt32 qualifierSize, const void* qualifier, UInt32 size,
                                    const void* data) {
  bool exact =
      id == kAudioObjectSystemObject && address->mSelector == kAudioHardwarePropertyRunLoop &&
      address->mScope == kAudioObjectPropertyScopeGlobal &&
      address->mElement == kAudioObjectPropertyElementMain && !qualifierSize && !qualifier &&
      size == sizeof(CFRunLoopRef) && data && !*static_cast<const CFRunLoopRef*>(data);
  script->calls += (script->calls.empty() ? "" : " ") + std::string(exact ? "set" : "set?");
  return exact ? 0 : kAudioHardwareUnknownPropertyError;
}

CFIndex CFStringGetLength(CFStringRef text) {
  return static_cast<CFIndex>(text->size());
}

CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding) {
  return 3 * length;
}

Boolean CFStringGetCString(CFStringRef text, char* buffer, CFIndex size, CFStringEncoding) {
  return std::snprintf(buffer, static_cast<std::size_t>(size), "%s", text->c_str()) < size;
}

void CFRelease(CFTypeRef object) {
  delete static_cast<const __CFString*>(object);
  script->liveStrings -= 1;
}

TEST(CoreAudioSampler, ReadsEachProcessAndFailsAsAWholeOnlyWhereItMust) {
  const Process zoom = {"us.zoom.xos", on, on};
  const Process teams = {"com.microsoft.teams2", on, {}};
  const Process other = {"com.apple.Music", on, on};
  // Each row: a system and its sample, with the calls made where the row is
  // about them: first, once, the notification thread ("set"), then questions.
  std::pair<System, std::string> table[] = {
      {{.processes = {zoom, teams, zoom, other, zoom}}, "zoom:tt teams:tf zoom:tt zoom:tt"},
      {{.supported = false}, "unsupported"},
      // No processes: an empty sample, and the empty list is never read. An
      // application not recognised costs its identifier alone.
      {{}, " | set has size"},
      {{.processes = {other}}, " | set has size prs# pbid"},
      // The list fails, or its size is no whole number of objects.
      {{.processes = {zoom}, .sizeStatus = 1}, "none"},
      {{.processes = {zoom}, .size = 6, .written = 4}, "none"},
      {{.processes = {zoom}, .listStatus = 1}, "none"},
      {{.processes = {zoom, zoom}, .written = 6}, "none"},
      {{.processes = {zoom, zoom}, .size = 4, .written = 8}, "none"},
      // Fewer bytes written than announced: only those objects count.
      {{.processes = {zoom, teams}, .written = 4}, "zoom:tt"},
      // A vanished process or a null identifier is skipped; any other
      // identity failure, even on the last process, fails the whole sample.
      {{.processes = {{.bundleStatus = kAudioHardwareBadObjectError}, {}, teams}}, "teams:tf"},
      {{.processes = {zoom, teams, {.bundleStatus = 1}}}, "none"},
      // An unreadable value is none, never false, and output is still read;
      // any non-zero value runs.
      {{.processes = {{"us.zoom.xos", {.status = 1}}}},
       "zoom:nf | set has size prs# pbid piri piro"},
      {{.processes = {{"us.zoom.xos", {.value = 1, .size = 2}, {.value = 2}}}}, "zoom:nt"},
  };
  for (auto& row : table) {
    bool calls = row.second.find('|') != std::string::npos;
    EXPECT_EQ(sampleOf(row.first, calls), row.second) << "row " << &row - table;
  }
}

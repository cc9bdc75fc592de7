// The Core Audio sampler of audio_sampler-macos.cc against a scripted
// system: the hardware property calls and the Core Foundation string calls
// it makes are defined here, so that every answer, status and size can be
// chosen.
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
  OSStatus sizeStatus = 0;
  std::optional<UInt32> size{};  // announced; else 4 bytes per process
  OSStatus listStatus = 0;
  std::optional<UInt32> written{};  // by the list query; else what fits
  int liveStrings = 0;
};

System* script;

}  // namespace

extern "C" {

Boolean AudioObjectHasProperty(AudioObjectID, const AudioObjectPropertyAddress*) {
  return true;  // asked only at start-up, which is not tested here
}

OSStatus AudioObjectGetPropertyDataSize(AudioObjectID, const AudioObjectPropertyAddress*, UInt32,
                                        const void*, UInt32* size) {
  *size = script->size.value_or(static_cast<UInt32>(4 * script->processes.size()));
  return script->sizeStatus;
}

OSStatus AudioObjectGetPropertyData(AudioObjectID object, const AudioObjectPropertyAddress* address,
                                    UInt32, const void*, UInt32* size, void* data) {
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

// The sample as "zoom:tf teams:n1": provider, then input and output as t
// (running), f (not running) or n (unread); "none" for an absent sample.
std::string sampleOf(System& system) {
  script = &system;
  AudioSample sample = makeSystemAudioSampler()->sample();
  EXPECT_EQ(system.liveStrings, 0) << "string references not released exactly once";
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
  } table[] = {
      {{.processes = {zoom, other, teams}}, "zoom:tt teams:tf"},
      // No processes: an empty sample.
      {{}, ""},
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
      // An unreadable value is none, never false; any non-zero value runs.
      {{.processes = {{"US.Zoom.XOS.helper", {.status = 1}, {.value = 0}}}}, "zoom:nf"},
      {{.processes = {{"us.zoom.xos", {.value = 1, .size = 2}, {.value = 2}}}}, "zoom:nt"},
      {{.processes = {zoom, teams, zoom, other, zoom}}, "zoom:tt teams:tf zoom:tt zoom:tt"},
  };
  for (Row& row : table) EXPECT_EQ(sampleOf(row.system), row.sample) << "row " << &row - table;
}

}  // namespace

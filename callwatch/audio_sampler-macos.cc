// On macOS the sampler reads Core Audio's per-process audio objects (macOS
// 14.2 and later) through the hardware property interface, every property
// with global scope, the main element and no qualifier. The one property it
// writes is the run loop of Core Audio's notifications, once, before the
// first question.
#include <CoreAudio/CoreAudio.h>
#include <CoreFoundation/CoreFoundation.h>

#include <optional>
#include <string>
#include <vector>

#include "audio_sampler.h"

namespace {

AudioObjectPropertyAddress globalAddress(AudioObjectPropertySelector selector) {
  return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

// Has Core Audio handle its notifications on a thread of its own, since this
// process never runs its main run loop. AudioHardwareDeprecated.h (macOS 14.2
// SDK), kAudioHardwarePropertyRunLoop: "In 10.6 and later, the HAL will use
// the process's run loop (as defined by CFRunLoopGetMain()) for this task."
// and "If the value for this property is set to NULL, the HAL will return to
// its pre-10.6 behavior of creating and managing its own thread for
// notifications." Its status is ignored: the questions that follow decide
// whether the system can be sampled.
void useOwnNotificationThread() {
  AudioObjectPropertyAddress runLoop = globalAddress(kAudioHardwarePropertyRunLoop);
  CFRunLoopRef none = nullptr;
  AudioObjectSetPropertyData(kAudioObjectSystemObject, &runLoop, 0, nullptr, sizeof none, &none);
}

// The system's process objects in its own order. A size that is no whole
// number of handles means the answer cannot be trusted, so it fails the list.
std::optional<std::vector<AudioObjectID>> processObjects() {
  AudioObjectPropertyAddress list = globalAddress(kAudioHardwarePropertyProcessObjectList);
  UInt32 size = 0;
  if (AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &list, 0, nullptr, &size) != 0) {
    return std::nullopt;
  }
  if (size % sizeof(AudioObjectID) != 0) return std::nullopt;
  if (size == 0) return std::vector<AudioObjectID>{};

  std::vector<AudioObjectID> objects(size / sizeof(AudioObjectID), 0);
  UInt32 written = size;
  if (AudioObjectGetPropertyData(kAudioObjectSystemObject, &list, 0, nullptr, &written,
                                 objects.data()) != 0) {
    return std::nullopt;
  }
  if (written % sizeof(AudioObjectID) != 0 || written > size) return std::nullopt;
  // The list may have shrunk between the two questions.
  objects.resize(written / sizeof(AudioObjectID));
  return objects;
}

// The string as UTF-8; empty if it cannot be converted, which no known
// application identifier matches.
std::string utf8(CFStringRef text) {
  CFIndex capacity =
      CFStringGetMaximumSizeForEncoding(CFStringGetLength(text), kCFStringEncodingUTF8);
  if (capacity == kCFNotFound) return {};
  std::vector<char> buffer(static_cast<std::size_t>(capacity) + 1);
  if (!CFStringGetCString(text, buffer.data(), capacity + 1, kCFStringEncodingUTF8)) return {};
  return std::string(buffer.data());
}

// A process that vanished since the list was read answers "bad object"; it
// is simply gone, while any other failure leaves the whole sample in doubt.
enum class Identity { provider, skip, fail };

Identity identify(AudioObjectID process, std::optional<MeetingProvider>& provider) {
  AudioObjectPropertyAddress address = globalAddress(kAudioProcessPropertyBundleID);
  CFStringRef bundleID = nullptr;
  UInt32 size = sizeof bundleID;
  OSStatus status = AudioObjectGetPropertyData(process, &address, 0, nullptr, &size, &bundleID);
  if (status == kAudioHardwareBadObjectError) return Identity::skip;
  if (status != 0) return Identity::fail;
  if (!bundleID) return Identity::skip;
  // The reference is ours: release it before the text is classified.
  std::string text = utf8(bundleID);
  CFRelease(bundleID);
  provider = meetingProviderFromBundleID(text);
  return provider ? Identity::provider : Identity::skip;
}

std::optional<bool> isRunning(AudioObjectID process, AudioObjectPropertySelector selector) {
  AudioObjectPropertyAddress address = globalAddress(selector);
  UInt32 value = 0;
  UInt32 size = sizeof value;
  if (AudioObjectGetPropertyData(process, &address, 0, nullptr, &size, &value) != 0) {
    return std::nullopt;
  }
  if (size != sizeof value) return std::nullopt;
  return value != 0;
}

// Keeps nothing between calls: every sample asks for the process list afresh.
class CoreAudioSampler final : public AudioSampler {
 public:
  bool isSupported() override {
    useOwnNotificationThread();
    AudioObjectPropertyAddress list = globalAddress(kAudioHardwarePropertyProcessObjectList);
    return AudioObjectHasProperty(kAudioObjectSystemObject, &list) != 0;
  }

  AudioSample sample() override {
    std::optional<std::vector<AudioObjectID>> processes = processObjects();
    if (!processes) return std::nullopt;
    std::vector<AudioProcessActivity> records;
    for (AudioObjectID process : *processes) {
      std::optional<MeetingProvider> provider;
      Identity identity = identify(process, provider);
      if (identity == Identity::fail) return std::nullopt;
      if (identity == Identity::skip) continue;
      std::optional<bool> input = isRunning(process, kAudioProcessPropertyIsRunningInput);
      std::optional<bool> output = isRunning(process, kAudioProcessPropertyIsRunningOutput);
      records.emplace_back(*provider, input, output);
    }
    return records;
  }
};

}  // namespace

std::unique_ptr<AudioSampler> makeSystemAudioSampler() {
  return std::make_unique<CoreAudioSampler>();
}

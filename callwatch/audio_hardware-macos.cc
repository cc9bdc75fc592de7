// On macOS the process objects are Core Audio's own (macOS 14.2 and later):
// every question goes straight to the hardware property interface of the
// system, with no qualifier.
#include <CoreAudio/CoreAudio.h>
#include <CoreFoundation/CoreFoundation.h>

#include <string>
#include <vector>

#include "audio_hardware.h"

namespace {

static_assert(audioSystemObject == kAudioObjectSystemObject);
static_assert(audioScopeGlobal == kAudioObjectPropertyScopeGlobal);
static_assert(audioElementMain == kAudioObjectPropertyElementMain);
static_assert(audioProcessObjectList == kAudioHardwarePropertyProcessObjectList);
static_assert(audioProcessBundleID == kAudioProcessPropertyBundleID);
static_assert(audioProcessIsRunningInput == kAudioProcessPropertyIsRunningInput);
static_assert(audioProcessIsRunningOutput == kAudioProcessPropertyIsRunningOutput);
static_assert(audioBadObjectError == kAudioHardwareBadObjectError);

AudioObjectPropertyAddress coreAudioAddress(const AudioPropertyAddress& address) {
  return {address.selector, address.scope, address.element};
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

class CoreAudioHardware : public AudioHardware {
 public:
  bool hasProperty(AudioObjectId object, const AudioPropertyAddress& address) override {
    AudioObjectPropertyAddress property = coreAudioAddress(address);
    return AudioObjectHasProperty(object, &property) != 0;
  }

  AudioStatus propertyDataSize(AudioObjectId object, const AudioPropertyAddress& address,
                               std::uint32_t& size) override {
    AudioObjectPropertyAddress property = coreAudioAddress(address);
    UInt32 bytes = size;
    OSStatus status = AudioObjectGetPropertyDataSize(object, &property, 0, nullptr, &bytes);
    size = bytes;
    return status;
  }

  AudioStatus propertyData(AudioObjectId object, const AudioPropertyAddress& address,
                           std::uint32_t& size, void* data) override {
    AudioObjectPropertyAddress property = coreAudioAddress(address);
    UInt32 bytes = size;
    OSStatus status = AudioObjectGetPropertyData(object, &property, 0, nullptr, &bytes, data);
    size = bytes;
    return status;
  }

  // The reference is ours once the call succeeds: convert, then release it
  // before anything else can happen.
  AudioStatus stringPropertyData(AudioObjectId object, const AudioPropertyAddress& address,
                                 std::optional<std::string>& text) override {
    AudioObjectPropertyAddress property = coreAudioAddress(address);
    CFStringRef reference = nullptr;
    UInt32 bytes = sizeof reference;
    OSStatus status = AudioObjectGetPropertyData(object, &property, 0, nullptr, &bytes, &reference);
    if (status == 0) text.reset();
    if (reference) {
      if (status == 0) text = utf8(reference);
      CFRelease(reference);
    }
    return status;
  }
};

}  // namespace

AudioHardware& systemAudioHardware() {
  static AudioHardware* hardware = new CoreAudioHardware();
  return *hardware;
}

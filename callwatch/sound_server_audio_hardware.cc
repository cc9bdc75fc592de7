#include "sound_server_audio_hardware.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr AudioObjectId firstProcessObject = 2;
// Core Audio's statuses for a property the object lacks, for a buffer of the
// wrong size, and for a failure without a more precise cause.
constexpr AudioStatus unknownPropertyError = 0x77686F3F;  // 'who?'
constexpr AudioStatus badPropertySizeError = 0x2173697A;  // '!siz'
constexpr AudioStatus unspecifiedError = 0x77686174;      // 'what'

bool isGlobalMain(const AudioPropertyAddress& address) {
  return address.scope == audioScopeGlobal && address.element == audioElementMain;
}

bool isProcessList(AudioObjectId object, const AudioPropertyAddress& address) {
  return object == audioSystemObject && address.selector == audioProcessObjectList &&
         isGlobalMain(address);
}

bool isProcessProperty(const AudioPropertyAddress& address) {
  return isGlobalMain(address) && (address.selector == audioProcessBundleID ||
                                   address.selector == audioProcessIsRunningInput ||
                                   address.selector == audioProcessIsRunningOutput);
}

}  // namespace

const AudioClientProcess* SoundServerAudioHardware::process(AudioObjectId object) const {
  if (object < firstProcessObject || object - firstProcessObject >= processes_.size()) {
    return nullptr;
  }
  return &processes_[object - firstProcessObject];
}

bool SoundServerAudioHardware::hasProperty(AudioObjectId object,
                                           const AudioPropertyAddress& address) {
  if (isProcessList(object, address)) return connect_();
  return process(object) && isProcessProperty(address);
}

AudioStatus SoundServerAudioHardware::propertyDataSize(AudioObjectId object,
                                                       const AudioPropertyAddress& address,
                                                       std::uint32_t& size) {
  if (!isProcessList(object, address)) {
    return process(object) || object == audioSystemObject ? unknownPropertyError
                                                          : audioBadObjectError;
  }
  std::optional<AudioClientsSnapshot> snapshot = snapshot_();
  processes_ = snapshot ? clientProcesses(*snapshot) : std::vector<AudioClientProcess>{};
  if (!snapshot) return unspecifiedError;
  size = static_cast<std::uint32_t>(processes_.size() * sizeof(AudioObjectId));
  return 0;
}

AudioStatus SoundServerAudioHardware::propertyData(AudioObjectId object,
                                                   const AudioPropertyAddress& address,
                                                   std::uint32_t& size, void* data) {
  if (isProcessList(object, address)) {
    std::size_t count = std::min<std::size_t>(size / sizeof(AudioObjectId), processes_.size());
    for (std::size_t i = 0; i < count; ++i) {
      auto handle = static_cast<AudioObjectId>(firstProcessObject + i);
      std::memcpy(static_cast<char*>(data) + i * sizeof handle, &handle, sizeof handle);
    }
    size = static_cast<std::uint32_t>(count * sizeof(AudioObjectId));
    return 0;
  }
  const AudioClientProcess* found = process(object);
  if (!found) return object == audioSystemObject ? unknownPropertyError : audioBadObjectError;
  bool input = address.selector == audioProcessIsRunningInput;
  if (!isGlobalMain(address) || (!input && address.selector != audioProcessIsRunningOutput)) {
    return unknownPropertyError;
  }
  std::uint32_t running = (input ? found->input : found->output) ? 1 : 0;
  if (size < sizeof running) return badPropertySizeError;
  std::memcpy(data, &running, sizeof running);
  size = sizeof running;
  return 0;
}

AudioStatus SoundServerAudioHardware::stringPropertyData(AudioObjectId object,
                                                         const AudioPropertyAddress& address,
                                                         std::optional<std::string>& text) {
  const AudioClientProcess* found = process(object);
  if (!found) return object == audioSystemObject ? unknownPropertyError : audioBadObjectError;
  if (!isGlobalMain(address) || address.selector != audioProcessBundleID) {
    return unknownPropertyError;
  }
  text = found->bundleID;
  return 0;
}

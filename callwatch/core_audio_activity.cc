#include "core_audio_activity.h"

#include <string>
#include <vector>

namespace {

constexpr AudioPropertyAddress globalAddress(std::uint32_t selector) {
  return {selector, audioScopeGlobal, audioElementMain};
}

// The system's process objects in its own order. A size that is no whole
// number of handles means the answer cannot be trusted, so it fails the list.
std::optional<std::vector<AudioObjectId>> processObjects(AudioHardware& hardware) {
  constexpr AudioPropertyAddress list = globalAddress(audioProcessObjectList);
  std::uint32_t size = 0;
  if (hardware.propertyDataSize(audioSystemObject, list, size) != 0) return std::nullopt;
  if (size % sizeof(AudioObjectId) != 0) return std::nullopt;
  if (size == 0) return std::vector<AudioObjectId>{};

  std::vector<AudioObjectId> objects(size / sizeof(AudioObjectId), 0);
  std::uint32_t written = size;
  if (hardware.propertyData(audioSystemObject, list, written, objects.data()) != 0) {
    return std::nullopt;
  }
  if (written % sizeof(AudioObjectId) != 0 || written > size) return std::nullopt;
  // The list may have shrunk between the two questions.
  objects.resize(written / sizeof(AudioObjectId));
  return objects;
}

// A process that vanished since the list was read answers "bad object"; it
// is simply gone, while any other failure leaves the whole sample in doubt.
enum class Identity { provider, skip, fail };

Identity identify(AudioHardware& hardware, AudioObjectId process,
                  std::optional<MeetingProvider>& provider) {
  std::optional<std::string> bundleID;
  AudioStatus status =
      hardware.stringPropertyData(process, globalAddress(audioProcessBundleID), bundleID);
  if (status == audioBadObjectError) return Identity::skip;
  if (status != 0) return Identity::fail;
  if (!bundleID) return Identity::skip;
  provider = meetingProviderFromBundleID(*bundleID);
  return provider ? Identity::provider : Identity::skip;
}

std::optional<bool> isRunning(AudioHardware& hardware, AudioObjectId process,
                              std::uint32_t selector) {
  std::uint32_t value = 0;
  std::uint32_t size = sizeof value;
  if (hardware.propertyData(process, globalAddress(selector), size, &value) != 0) {
    return std::nullopt;
  }
  if (size != sizeof value) return std::nullopt;
  return value != 0;
}

}  // namespace

bool CoreAudioActivity::isSupported(AudioHardware& hardware) {
  return hardware.hasProperty(audioSystemObject, globalAddress(audioProcessObjectList));
}

AudioSample CoreAudioActivity::sample(AudioHardware& hardware) {
  std::optional<std::vector<AudioObjectId>> processes = processObjects(hardware);
  if (!processes) return std::nullopt;

  std::vector<AudioProcessActivity> records;
  for (AudioObjectId process : *processes) {
    std::optional<MeetingProvider> provider;
    Identity identity = identify(hardware, process, provider);
    if (identity == Identity::fail) return std::nullopt;
    if (identity == Identity::skip) continue;
    std::optional<bool> input = isRunning(hardware, process, audioProcessIsRunningInput);
    std::optional<bool> output = isRunning(hardware, process, audioProcessIsRunningOutput);
    records.emplace_back(*provider, input, output);
  }
  return records;
}

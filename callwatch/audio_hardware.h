// The narrow slice of the Core Audio hardware property interface that the
// sampler needs: three calls on audio objects addressed by property, each
// answering with a status. macOS provides it directly; other systems provide
// an equivalent built from their own sound server.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// An audio object handle, an OSStatus-style result (0 is success) and a
// property address, laid out as Core Audio lays them out.
using AudioObjectId = std::uint32_t;
using AudioStatus = std::int32_t;

struct AudioPropertyAddress {
  std::uint32_t selector;
  std::uint32_t scope;
  std::uint32_t element;
};

// The fixed values the sampler uses. Selectors and statuses are four-character
// codes, written here as the big-endian number Core Audio uses.
inline constexpr AudioObjectId audioSystemObject = 1;
inline constexpr std::uint32_t audioScopeGlobal = 0x676C6F62;  // 'glob'
inline constexpr std::uint32_t audioElementMain = 0;
inline constexpr std::uint32_t audioProcessObjectList = 0x70727323;       // 'prs#'
inline constexpr std::uint32_t audioProcessBundleID = 0x70626964;         // 'pbid'
inline constexpr std::uint32_t audioProcessIsRunningInput = 0x70697269;   // 'piri'
inline constexpr std::uint32_t audioProcessIsRunningOutput = 0x7069726F;  // 'piro'
// The object handle does not name an audio object (any more).
inline constexpr AudioStatus audioBadObjectError = 0x216F626A;  // '!obj'

class AudioHardware {
 public:
  virtual ~AudioHardware() = default;

  // Whether `object` has a property at `address` (AudioObjectHasProperty).
  virtual bool hasProperty(AudioObjectId object, const AudioPropertyAddress& address) = 0;

  // On status 0, `size` holds the current byte size of the property's value
  // (AudioObjectGetPropertyDataSize, no qualifier).
  virtual AudioStatus propertyDataSize(AudioObjectId object, const AudioPropertyAddress& address,
                                       std::uint32_t& size) = 0;

  // On entry `size` is the capacity of `data` in bytes; on status 0 `data`
  // holds the value and `size` the number of bytes written
  // (AudioObjectGetPropertyData, no qualifier).
  virtual AudioStatus propertyData(AudioObjectId object, const AudioPropertyAddress& address,
                                   std::uint32_t& size, void* data) = 0;

  // For a property whose value is a string reference the caller owns
  // (AudioObjectGetPropertyData with room for one reference): on status 0
  // `text` holds the string as UTF-8, or nullopt when the reference was null.
  // The reference itself is released before this returns.
  virtual AudioStatus stringPropertyData(AudioObjectId object, const AudioPropertyAddress& address,
                                         std::optional<std::string>& text) = 0;
};

// The running system's audio hardware, created on first use and kept for the
// life of the process. Defined once per platform.
AudioHardware& systemAudioHardware();

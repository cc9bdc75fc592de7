// Declarations only, for running the macOS sampler on Linux; see
// ../README.md. Types and values as Apple documents them (AudioHardware.h,
// AudioHardwareBase.h, macOS 14.2 SDK; kAudioHardwarePropertyRunLoop from
// AudioHardwareDeprecated.h, which AudioHardware.h includes); C++ only.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

typedef UInt32 AudioObjectID;
typedef UInt32 AudioObjectPropertySelector;
typedef UInt32 AudioObjectPropertyScope;
typedef UInt32 AudioObjectPropertyElement;

struct AudioObjectPropertyAddress {
  AudioObjectPropertySelector mSelector;
  AudioObjectPropertyScope mScope;
  AudioObjectPropertyElement mElement;
};

enum : AudioObjectID { kAudioObjectSystemObject = 1 };
enum : AudioObjectPropertyScope { kAudioObjectPropertyScopeGlobal = 0x676C6F62 };  // 'glob'
enum : AudioObjectPropertyElement { kAudioObjectPropertyElementMain = 0 };
enum : AudioObjectPropertySelector {
  kAudioHardwarePropertyProcessObjectList = 0x70727323,  // 'prs#'
  kAudioProcessPropertyBundleID = 0x70626964,            // 'pbid'
  kAudioProcessPropertyIsRunningInput = 0x70697269,      // 'piri'
  kAudioProcessPropertyIsRunningOutput = 0x7069726F,     // 'piro'
  kAudioHardwarePropertyRunLoop = 0x726E6C70,            // 'rnlp'
};
enum : OSStatus {
  kAudioHardwareUnknownPropertyError = 0x77686F3F,  // 'who?'
  kAudioHardwareBadPropertySizeError = 0x2173697A,  // '!siz'
  kAudioHardwareBadObjectError = 0x216F626A,        // '!obj'
};

extern "C" Boolean AudioObjectHasProperty(AudioObjectID, const AudioObjectPropertyAddress*);
extern "C" OSStatus AudioObjectGetPropertyDataSize(AudioObjectID, const AudioObjectPropertyAddress*,
                                                   UInt32, const void*, UInt32* outDataSize);
extern "C" OSStatus AudioObjectGetPropertyData(AudioObjectID, const AudioObjectPropertyAddress*,
                                               UInt32, const void*, UInt32* ioDataSize, void*);
extern "C" OSStatus AudioObjectSetPropertyData(AudioObjectID, const AudioObjectPropertyAddress*,
                                               UInt32, const void*, UInt32 inDataSize,
                                               const void* inData);

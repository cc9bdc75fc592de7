// Declarations only, for running the macOS sampler on Linux; see
// ../README.md. Types and values as Apple documents them (AudioHardware.h,
// AudioHardwareBase.h, macOS 14.2 SDK).
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef UInt32 AudioObjectID;
typedef UInt32 AudioObjectPropertySelector;
typedef UInt32 AudioObjectPropertyScope;
typedef UInt32 AudioObjectPropertyElement;

struct AudioObjectPropertyAddress {
  AudioObjectPropertySelector mSelector;
  AudioObjectPropertyScope mScope;
  AudioObjectPropertyElement mElement;
};
typedef struct AudioObjectPropertyAddress AudioObjectPropertyAddress;

enum : AudioObjectID { kAudioObjectSystemObject = 1 };
enum : AudioObjectPropertyScope { kAudioObjectPropertyScopeGlobal = 0x676C6F62 };  // 'glob'
enum : AudioObjectPropertyElement { kAudioObjectPropertyElementMain = 0 };
enum : AudioObjectPropertySelector {
  kAudioHardwarePropertyProcessObjectList = 0x70727323,  // 'prs#'
  kAudioProcessPropertyBundleID = 0x70626964,            // 'pbid'
  kAudioProcessPropertyIsRunningInput = 0x70697269,      // 'piri'
  kAudioProcessPropertyIsRunningOutput = 0x7069726F,     // 'piro'
};
enum : OSStatus { kAudioHardwareBadObjectError = 0x216F626A };  // '!obj'

Boolean AudioObjectHasProperty(AudioObjectID inObjectID,
                               const AudioObjectPropertyAddress* inAddress);
OSStatus AudioObjectGetPropertyDataSize(AudioObjectID inObjectID,
                                        const AudioObjectPropertyAddress* inAddress,
                                        UInt32 inQualifierDataSize, const void* inQualifierData,
                                        UInt32* outDataSize);
OSStatus AudioObjectGetPropertyData(AudioObjectID inObjectID,
                                    const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* inQualifierData,
                                    UInt32* ioDataSize, void* outData);

#ifdef __cplusplus
}
#endif

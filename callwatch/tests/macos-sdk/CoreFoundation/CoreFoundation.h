// Declarations only, for running the macOS sampler on Linux; see
// ../README.md. Types and values as Apple documents them for 64-bit macOS.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

typedef unsigned char Boolean;
typedef unsigned int UInt32;
typedef signed int SInt32;
typedef SInt32 OSStatus;
typedef signed long CFIndex;
typedef const void* CFTypeRef;
typedef const struct __CFString* CFStringRef;
typedef UInt32 CFStringEncoding;

enum { kCFNotFound = -1 };
enum { kCFStringEncodingUTF8 = 0x08000100 };

CFIndex CFStringGetLength(CFStringRef theString);
CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding);
Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize,
                           CFStringEncoding encoding);
void CFRelease(CFTypeRef cf);

#ifdef __cplusplus
}
#endif

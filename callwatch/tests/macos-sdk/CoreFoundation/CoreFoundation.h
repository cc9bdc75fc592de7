// Declarations only, for running the macOS sampler on Linux; see
// ../README.md. Types and values as Apple documents them for 64-bit macOS
// (MacTypes.h, CFBase.h, CFString.h; CFRunLoopRef from CFRunLoop.h; macOS
// 14.2 SDK); C++ only.
#pragma once

typedef unsigned char Boolean;
typedef unsigned int UInt32;
typedef signed int OSStatus;
typedef signed long CFIndex;
typedef const void* CFTypeRef;
typedef const struct __CFString* CFStringRef;
typedef struct __CFRunLoop* CFRunLoopRef;
typedef UInt32 CFStringEncoding;

enum { kCFNotFound = -1 };
enum { kCFStringEncodingUTF8 = 0x08000100 };

extern "C" CFIndex CFStringGetLength(CFStringRef);
extern "C" CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding);
extern "C" Boolean CFStringGetCString(CFStringRef, char*, CFIndex bufferSize, CFStringEncoding);
extern "C" void CFRelease(CFTypeRef);

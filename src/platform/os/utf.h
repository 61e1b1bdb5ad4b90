// UTF-8 <-> UTF-16 conversion at the operating-system boundary.
//
// Both directions replace invalid input by U+FFFD, one per maximal ill-formed
// subsequence, as the Windows converters do. Pass out = nullptr to learn the
// size needed; otherwise out must have room for that many units. No zero
// terminator is written.
#ifndef PV_PLATFORM_OS_UTF_H
#define PV_PLATFORM_OS_UTF_H

#include <cstddef>

// Returns the number of UTF-16 units for n bytes of in.
size_t koUtf8ToUtf16(const char* in, size_t n, char16_t* out);
// Returns the number of UTF-8 bytes for n units of in.
size_t koUtf16ToUtf8(const char16_t* in, size_t n, char* out);

#endif  // PV_PLATFORM_OS_UTF_H

// Random identifiers in the RFC 4122 text form.
//
// No state: safe from any thread. Nothing here logs; callers do.
#ifndef PV_PLATFORM_OS_UUID_H
#define PV_PLATFORM_OS_UUID_H

#include <string>

// out = a new version-4 UUID from the kernel's random source, as 36
// lower-case characters ("xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxx"). 1, or 0
// (out untouched) when no random bytes could be had.
int koCreateUuidText(std::string& out);

#endif  // PV_PLATFORM_OS_UUID_H

// The pages and the page script that the library carries. Their sources are
// the files in res/, compiled in as they stand; the loader's resource lookup
// (platform/os/module.h) hands them out, so a host reads them as
// "res://IEPostvane.dll/<id>" and the library its own script the same way.
#ifndef PV_IEEXT_RESOURCES_H
#define PV_IEEXT_RESOURCES_H

#include <cstddef>

#include "ieext/ieextension.h"

constexpr const char kHtmlResource[] = "HTML";
constexpr const char kScriptResource[] = "SCRIPT";
enum : int {
  kStartPageId = 103,       // HTML: hosted when the bar is made
  kPageScriptId = 203,      // SCRIPT: put into the web-mail page
  kNotRunningPageId = 226,  // HTML: shown while the program does not run
};
// The name under which the library is loaded and its resources are found.
constexpr const char kLibraryName[] = "IEPostvane.dll";

// The loader's lookup: 1 with the bytes of (type, id), else 0.
PV_EXPORT int PvFindResource(const char* type, int id, const void** data, size_t* size);

#endif  // PV_IEEXT_RESOURCES_H

// pvregsvr: registers or unregisters an in-process server library by calling
// its DllRegisterServer or DllUnregisterServer entry.
//
//   pvregsvr [/u] [/s] <library> [runasadmin]
//
// Options in any order and letter case; "runasadmin" (added by callers that
// start it elevated) changes nothing. Without /s the outcome is written to
// standard error. Exit codes: 0 done, 1 bad arguments, 2 the registry cannot
// be written, 3 the library cannot be loaded, 4 it lacks the entry point,
// 5 the entry point answered a failure.
#include <errno.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <string>

#include "core/kplatform.h"
#include "platform/desktop/registry/registry.h"
#include "platform/os/com.h"
#include "platform/os/module.h"

namespace {

enum Exit { kDone = 0, kBadArguments = 1, kNoRegistry = 2, kLoadFailed = 3, kNoEntry = 4, kCallFailed = 5 };

bool gSilent = false;

int Finish(int code, const char* format, ...) {
  if (!gSilent) {
    va_list args;
    va_start(args, format);
    fputs("pvregsvr: ", stderr);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
  }
  return code;
}

// Both hives, opened for writing: a registration either finds them usable
// or does not start, so it is never left half written.
int CheckRegistry() {
  for (koHKey hive : {kRegLocalMachine, kRegCurrentUser}) {
    koHKey root = nullptr;
    long rc = koRegOpenKey(hive, nullptr, kRegReadWrite, &root);
    koRegCloseKey(root);
    if (rc != kRegOk) {
      koString file;
      koRegHiveFile(hive, file);
      return Finish(kNoRegistry, "the registry %s cannot be written: %s", file.GetString(),
                    koRegErrorText(rc));
    }
  }
  return kDone;
}

}  // namespace

int main(int argc, char** argv) {
#ifndef PV_TEST_REDIRECTS
  koDropRedirects();
#endif
  bool unregister = false;
  const char* library = nullptr;
  bool bad = false;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (strcasecmp(a, "/s") == 0)
      gSilent = true;
    else if (strcasecmp(a, "/u") == 0)
      unregister = true;
    else if (strcasecmp(a, "runasadmin") == 0)
      continue;
    else if (a[0] == '/' && a[1] != 0 && a[2] == 0)
      bad = true;  // an option this program does not know
    else if (library == nullptr && a[0] != 0)
      library = a;
    else
      bad = true;
  }
  if (bad || library == nullptr)
    return Finish(kBadArguments, "usage: pvregsvr [/u] [/s] <library> [runasadmin]");

  // The library registers the path it was loaded from: a full one.
  char full[PATH_MAX];
  if (realpath(library, full) == nullptr)
    return Finish(kLoadFailed, "cannot load %s: %s", library, strerror(errno));
  int checked = CheckRegistry();
  if (checked != kDone) return checked;

  koModule module;
  if (!module.Load(full)) return Finish(kLoadFailed, "cannot load %s: %s", full, module.Error().c_str());
  const char* entry = unregister ? kDllUnregisterServer : kDllRegisterServer;
  koDllEntryFn call = reinterpret_cast<koDllEntryFn>(module.Symbol(entry));
  if (call == nullptr) return Finish(kNoEntry, "%s was loaded but has no entry point %s", full, entry);
  HRESULT hr = call();
  if (FAILED(hr))
    return Finish(kCallFailed, "%s in %s failed: 0x%08X", entry, full, static_cast<unsigned>(hr));
  return Finish(kDone, "%s in %s succeeded", entry, full);
}

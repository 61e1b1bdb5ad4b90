// The browser library's application object and its exported entry points.
//
// The library exports only the four server entry points and the loader's
// start and end entries (platform/os/module.h); everything else, its own
// copies of the core library included, is hidden, so nothing of it mixes
// with the program that loads it. No logger is installed here: gLog stays
// null in the library and its failure paths log nothing.
#ifndef PV_IEEXT_IEEXTENSION_H
#define PV_IEEXT_IEEXTENSION_H

#include "core/kstring.h"
#include "platform/os/com.h"

#define PV_EXPORT extern "C" __attribute__((visibility("default")))

class CIEExtensionApp {
 public:
  // 0 inside the desktop's shell (a host whose path holds "explorer.exe"),
  // else the COM module is set up with the object map and the type library: 1.
  int InitInstance();
  void ExitInstance();
};

PV_EXPORT int PvModuleAttach();
PV_EXPORT void PvModuleDetach();
PV_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID iid, void** out);
PV_EXPORT HRESULT DllCanUnloadNow();
PV_EXPORT HRESULT DllRegisterServer();
PV_EXPORT HRESULT DllUnregisterServer();

#endif  // PV_IEEXT_IEEXTENSION_H

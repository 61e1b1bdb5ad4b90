// A library for the registration program's tests: it has no registration
// entry, and its removal entry refuses.
#include "platform/os/com.h"

extern "C" __attribute__((visibility("default"))) HRESULT DllUnregisterServer() {
  return E_ACCESSDENIED;
}

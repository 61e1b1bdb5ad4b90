// The component-categories manager over the registry: a class implements a
// category when the classes root holds "CLSID\{class}\Implemented
// Categories\{category}" (an empty key).
//
// One static object per process; its reference count never ends it. Safe
// from any thread as far as the registry's handles are (each call opens its own).
#ifndef PV_PLATFORM_DESKTOP_REGISTRY_CATREGISTER_H
#define PV_PLATFORM_DESKTOP_REGISTRY_CATREGISTER_H

#include "platform/os/com.h"

// *out = the manager (one reference, for the caller to release). S_OK, or
// E_POINTER for a null out.
HRESULT koGetCategoryRegister(ICatRegister** out);

#endif  // PV_PLATFORM_DESKTOP_REGISTRY_CATREGISTER_H

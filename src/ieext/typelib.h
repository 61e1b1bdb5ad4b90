// The type library's facts, compiled into the library: what registration
// records and what the dual interfaces answer for names.
#ifndef PV_IEEXT_TYPELIB_H
#define PV_IEEXT_TYPELIB_H

#include "platform/os/com.h"

struct TypeLibMethod {
  const char* name;
  DISPID id;
};

struct TypeLibInterface {
  const char* name;
  IID iid;
  const TypeLibMethod* methods;
  int method_count;
};

struct TypeLibClass {
  const char* name;
  const char* help;
  CLSID clsid;
  const TypeLibInterface* default_interface;
};

struct TypeLibFacts {
  const char* name;
  GUID libid;
  int major;
  int minor;
  const char* help;
  const TypeLibInterface* interfaces;
  int interface_count;
  const TypeLibClass* classes;
  int class_count;
};

extern const TypeLibFacts kIEExtensionTypeLib;

#endif  // PV_IEEXT_TYPELIB_H

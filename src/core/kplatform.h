// The OS floor's text answers (user folders, the program's path, new UUIDs)
// as koString, for the core and the layers above it. Each keeps the floor's
// contract: 1, or 0 with out untouched.
#ifndef PV_CORE_KPLATFORM_H
#define PV_CORE_KPLATFORM_H

#include "core/kstring.h"
#include "platform/os/folders.h"
#include "platform/os/uuid.h"

int koGetUserFolder(koUserFolder which, koString& out);
int koGetTempFolder(koString& out);
int koGetExePath(koString& out);
int koCreateUuidText(koString& out);
int koChromeUserDataFolder(int browser, koString& out);

#endif  // PV_CORE_KPLATFORM_H

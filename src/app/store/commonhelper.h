// Shared module-progress operations and the automatic proxy lookup.
//
// The SQL functions work on the caller's connection and thread and open no
// transaction. 1 for success, 0 for a failure logged through gLog with the
// SQL text. GetProxySettingsAuto keeps no state (each call makes and frees
// its own libproxy factory), so any thread may call it.
#ifndef PV_APP_STORE_COMMONHELPER_H
#define PV_APP_STORE_COMMONHELPER_H

#include <cstdint>

#include "core/kstring.h"

class koSQLite;

// The module's progress counters.
int UpdateModuleIndexingValues(koSQLite* db, int total, int processed, int accountId, int moduleId);
// from, to (OUT): the module's walked UID range; both 0 when the row is missing.
int GetModuleUidRanges(koSQLite* db, int accountId, int moduleId, int64_t* from, int64_t* to);

// Asks the system's proxy configuration (through libproxy) for the proxy of
// `url`. found (OUT) is 1 and proxy (OUT) holds the first answer that is not
// "direct://"; otherwise found is 0 and the caller connects directly. A
// failed lookup is logged and also leaves found 0.
void GetProxySettingsAuto(const char* url, int* found, koString& proxy);

#endif  // PV_APP_STORE_COMMONHELPER_H

// The lower UID boundary of a module row: the UID below which the IMAP
// indexer does not go, because older mails lie before the account's
// download period.
//
// Free functions over the caller's connection and thread; none opens a
// transaction. 1 for success, 0 for a failure logged through gLog with the
// SQL text.
#ifndef PV_APP_STORE_DOWNLOADPERIODMGR_H
#define PV_APP_STORE_DOWNLOADPERIODMGR_H

#include <cstdint>

class koSQLite;

// uid (OUT): written only when the module row exists.
int GetLowerBoundaryMailuid(koSQLite* db, int accountId, int moduleId, int64_t* uid);
int SetLowerBoundaryMailuid(koSQLite* db, int accountId, int moduleId, int64_t uid);
// Sets the module's indexing status and clears its boundary, so that the
// next pass indexes down to the (new) download period again.
int UpdateModule(koSQLite* db, int accountId, int moduleId, int indexingStatus);

#endif  // PV_APP_STORE_DOWNLOADPERIODMGR_H

// The summary database's schema: creation of every table and index, the
// version row, and the step-by-step upgrade of files written by older
// versions of the program.
//
// Free functions over a connection the caller opened (SQLiteMgr) and closes;
// they borrow it and keep nothing. Any thread may call them with its own
// connection. Failures are logged through gLog with code -1 and the failed
// statement or step; every function answers 1 for success and 0 for failure.
//
// Start order: the account list runs MigrateSqliteSchema while it loads,
// and only afterwards does the service manager run CreateSummarySchema, whose
// statements only add what is missing.
#ifndef PV_APP_STORE_SUMMARYSCHEMA_H
#define PV_APP_STORE_SUMMARYSCHEMA_H

#include "core/kstring.h"

class koSQLite;

// Row ids of table [module]: the mail download and the attachment extraction.
const int kMailModule = 3;
const int kAttachmentModule = 6;

// The version this program writes: description "1.2", major "1", minor "2".
extern const char* const kSchemaMajorVersion;
extern const char* const kSchemaMinorVersion;

// Runs every creation statement in order (tables and indexes, the version
// row, then the two full-text tables when they are missing), stopping at the
// first failure. Running it on a complete file changes nothing.
int CreateSummarySchema(koSQLite* db);

// Brings an older file to the program's version. 1 when the file is at the
// program's version, was brought to it, or has no [schema_version] table
// (nothing is touched then); 0 on failure or for a file of a newer version
// ("Version mismatch!", the file is left as it was). Steps already applied
// when a later one fails stay applied; running them again is harmless.
int MigrateSqliteSchema(koSQLite* db);

// A version text "major.minor" read as a decimal number whatever the
// process locale; an empty or unreadable text is 0.
double ParseSchemaVersion(const char* text);

// The building blocks of the two procedures above.
int CreateSchemaVersionTable(koSQLite* db);
int InternalSetSchemaVersion(koSQLite* db);
int InternalTruncateSchemaVersion(koSQLite* db);
// version (OUT): "major.minor" of the stored row; left empty when there is
// no row, which still succeeds. A NULL column fails.
int InternalGetCurrentSchemaVersion(koSQLite* db, koString& version);
// Every account's next contact download becomes a full one.
int InternalResetContactModifiedTime(koSQLite* db);
// Gives every account that has a mail-module row (3) an attachment-module
// row (6) with the same progress, inside a transaction of its own.
int InternalMigrateAttachmentModule(koSQLite* db);
// The tables [account] and [account_status] alone, for an add that comes
// before the full schema was ever made.
int CreateAccountTables(koSQLite* db);

#endif  // PV_APP_STORE_SUMMARYSCHEMA_H

#include "app/store/summaryschema.h"

#include <charconv>

#include "core/klog.h"
#include "core/ksqlite.h"
#include "core/sqlitemgr.h"

const char* const kSchemaMajorVersion = "1";
const char* const kSchemaMinorVersion = "2";

namespace {

const char* const kSchemaDescription = "1.2";

// Index of the [account] and [account_status] statements in kCreateStatements.
const int kCreateAccountIndex = 3;
const int kCreateAccountStatusIndex = 4;

// Tables and indexes in the order they are created. The misspelt column
// types (INTEGET, INTERGER) are kept: files written by every version must
// carry identical schema text.
const char* const kCreateStatements[] = {
    "CREATE TABLE IF NOT EXISTS [schema_version] ([id] INTEGER NOT NULL UNIQUE,[description] "
    "TEXT,[major_version] TEXT,[minor_version] TEXT,PRIMARY KEY ([major_version], "
    "[minor_version]))",
    "CREATE TABLE IF NOT EXISTS [preferences] ([name] TEXT,[value] TEXT,PRIMARY KEY ([name]))",
    "CREATE TABLE IF NOT EXISTS [proxy] ([name] TEXT,[value] TEXT,PRIMARY KEY ([name]))",
    "CREATE TABLE IF NOT EXISTS [account]([id] INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,[email] "
    "TEXT NOT NULL UNIQUE,[password] TEXT NOT NULL,[download_since] INTEGER DEFAULT 0, "
    "[download_all] INTEGER DEFAULT 0,[mail_download_type] INTEGER DEFAULT 1)",
    "CREATE TABLE IF NOT EXISTS [account_status]([account_id] INTEGER PRIMARY KEY AUTOINCREMENT "
    "NOT NULL,[contact_updated_time] INTEGER DEFAULT 0, [mail_updated_time] INTEGER DEFAULT 0, "
    "[last_contact_modified_time] TEXT DEFAULT NULL,CONSTRAINT [fk_account_status_account_id] "
    "FOREIGN KEY ([account_id]) REFERENCES [account]([id]))",
    "CREATE TABLE IF NOT EXISTS [module]([id] INTEGER NOT NULL,[account_id] INTEGER NOT NULL, "
    "[last_processed_uid_from] INTEGER NOT NULL DEFAULT 0,[processed_uid_from] INTEGER NOT NULL "
    "DEFAULT 0,[last_processed_uid_to] INTEGER NOT NULL DEFAULT 0,[processed_uid_to] INTEGER NOT "
    "NULL DEFAULT 0,[total_msgs] INTEGER NOT NULL DEFAULT 0,[processed_msgs] INTEGER NOT NULL "
    "DEFAULT 0,[indexing_status] INTEGER DEFAULT 0 ,[lower_uid_boundary] INTEGER DEFAULT 0 "
    ",[description] TEXT NOT NULL DEFAULT '',PRIMARY KEY ([id], [account_id]),CONSTRAINT "
    "[fk_module_account_id] FOREIGN KEY ([account_id]) REFERENCES [account]([id]))",
    "CREATE TABLE IF NOT EXISTS [email_address]([id] INTEGER PRIMARY KEY AUTOINCREMENT NOT "
    "NULL,[account_id] INTEGET NOT NULL, [address] TEXT NOT NULL)",
    "CREATE TABLE IF NOT EXISTS [mail_email_link]([id] INTEGER PRIMARY KEY AUTOINCREMENT NOT "
    "NULL,[mail_id] INTEGER NOT NULL,[email_address_id] INTEGER NOT NULL, CONSTRAINT "
    "[fk_mail_email_mail_id] FOREIGN KEY ([mail_id]) REFERENCES [mail]([id]), CONSTRAINT "
    "[fk_mail_email_email_id] FOREIGN KEY ([email_address_id]) REFERENCES [email_address]([id]))",
    "CREATE  TABLE IF NOT EXISTS [analytics_email] ( [email_address_id] INTEGER NOT NULL PRIMARY "
    "KEY, [total_sent] INTEGER DEFAULT 0, [total_received] INTEGER DEFAULT 0, [recv_first_mail_id] "
    "INTEGER DEFAULT 0, [recv_last_mail_id] INTEGER DEFAULT 0, [sent_first_mail_id] INTEGER "
    "DEFAULT 0, [sent_last_mail_id] INTEGER DEFAULT 0, CONSTRAINT [fk_analytics_email_email_id] "
    "FOREIGN KEY ([email_address_id]) REFERENCES [email_address]([id]))",
    "CREATE INDEX IF NOT EXISTS [inx_email_address] ON [email_address]([address] ASC)",
    "CREATE UNIQUE INDEX IF NOT EXISTS [inx_email_address_to_account] ON "
    "[email_address]([address], [account_id])",
    "CREATE INDEX IF NOT EXISTS [inx_mail_email_emailid] ON [mail_email_link]([email_address_id] "
    "ASC)",
    "CREATE INDEX IF NOT EXISTS [inx_mail_email_mailid] ON [mail_email_link]([mail_id] ASC)",
    "CREATE TABLE IF NOT EXISTS [contact]([id] INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,[name] "
    "TEXT NOT NULL, [account_id] INTEGER NOT NULL,[uid] TEXT DEFAULT NULL, [edit_url] TEXT DEFAULT "
    "NULL, [photo_etag] TEXT DEFAULT NULL,[mark] INTERGER,[type] INTERGER,[notes] TEXT DEFAULT "
    "NULL)",
    "CREATE TABLE IF NOT EXISTS [contact_photo] ([contact_id] INTEGER PRIMARY KEY AUTOINCREMENT "
    "NOT NULL, [photo] BLOB DEFAULT NULL ,CONSTRAINT [fk_contact_photo_contact_id] FOREIGN KEY "
    "([contact_id]) REFERENCES [contact]([id]))",
    "CREATE TABLE IF NOT EXISTS [contact_email_link] ([id] INTEGER PRIMARY KEY AUTOINCREMENT NOT "
    "NULL,[contact_id] INTEGER NOT NULL,[email_address_id] INTEGER NOT NULL, CONSTRAINT [fk_id] "
    "FOREIGN KEY ([contact_id]) REFERENCES [contact]([id]),CONSTRAINT [fk_contact_email_email_id] "
    "FOREIGN KEY ([email_address_id]) REFERENCES [email_address]([id]))",
    "CREATE INDEX IF NOT EXISTS [inx_contact_uid] ON [contact]([uid] ASC)",
    "CREATE UNIQUE INDEX IF NOT EXISTS [inx_contact_email] ON [contact_email_link] ([contact_id], "
    "[email_address_id])",
    // Addresses are looked up ignoring case, and links by address, once per
    // stored contact and mail: without these each lookup reads the whole table.
    "CREATE INDEX IF NOT EXISTS [inx_email_address_nocase] ON [email_address]([address] COLLATE "
    "NOCASE)",
    "CREATE INDEX IF NOT EXISTS [inx_contact_email_emailid] ON [contact_email_link]"
    "([email_address_id] ASC)",
    "CREATE TABLE IF NOT EXISTS [tag] ([id] INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL, [name] "
    "TEXT NOT NULL UNIQUE)",
    "CREATE TABLE IF NOT EXISTS [group] ([id] INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL, [name] "
    "TEXT NOT NULL,[uid] TEXT NOT NULL UNIQUE, [account_id] INTEGER NOT NULL)",
    "CREATE TABLE IF NOT EXISTS [contact_group_link] ([id] INTEGER PRIMARY KEY AUTOINCREMENT NOT "
    "NULL,[contact_id] INTEGER NOT NULL,[group_id] INTEGER NOT NULL, CONSTRAINT "
    "[fk_Contact_group_link_contact_id] FOREIGN KEY ([contact_id]) REFERENCES "
    "[contact]([id]),CONSTRAINT [fk_Contact_group_link_group_id] FOREIGN KEY ([group_id]) "
    "REFERENCES [group]([id]))",
    "CREATE INDEX IF NOT EXISTS [inx_group_name] ON [group]([name] ASC)",
    "CREATE INDEX IF NOT EXISTS [inx_contact_group_link_groupid] ON "
    "[contact_group_link]([group_id] ASC)",
    "CREATE UNIQUE INDEX IF NOT EXISTS [inx_contact_group] ON [contact_group_link] ([contact_id], "
    "[group_id])",
    "CREATE INDEX IF NOT EXISTS [inx_contact_group_link_contactid] ON "
    "[contact_group_link]([contact_id] ASC)",
    "CREATE TABLE IF NOT EXISTS [contact_tag_link] ([id] INTEGER PRIMARY KEY AUTOINCREMENT NOT "
    "NULL, [contact_id] INTEGER, [tag_id] INTEGER , CONSTRAINT [fk_tag_contact_id] FOREIGN KEY "
    "([contact_id]) REFERENCES [contact]([id]), CONSTRAINT [fk_tag_tag_id] FOREIGN KEY ([tag_id]) "
    "REFERENCES [tag]([id]))",
    "CREATE UNIQUE INDEX IF NOT EXISTS [inx_contact_to_tag] ON [contact_tag_link]([contact_id], "
    "[tag_id])",
    "CREATE TABLE IF NOT EXISTS [mail]([id] INTEGER PRIMARY KEY NOT NULL,[uid] INTEGER NOT "
    "NULL,[message_id] TEXT NOT NULL, [account_id] INTEGER NOT NULL,[module_id] INTEGER NOT NULL, "
    "[received_date] INTEGER NOT NULL DEFAULT 0,[subject] TEXT NOT NULL, [unseen] INTEGER DEFAULT "
    "0, CONSTRAINT [fk_mail_account_id] FOREIGN KEY ([account_id]) REFERENCES [account]([id]), "
    "CONSTRAINT [fk_mail_module_id] FOREIGN KEY ([module_id]) REFERENCES [module]([id]))",
    "CREATE TABLE IF NOT EXISTS [reference_master] ( [mail_id] INTEGER  NOT NULL PRIMARY "
    "KEY,[parent_message_id] TEXT NOT NULL)",
    "CREATE INDEX IF NOT EXISTS [inx_reference_master_parent_message_id] ON "
    "[reference_master]([parent_message_id] ASC)",
    "CREATE INDEX IF NOT EXISTS [inx_mail_mail_account_module_id] ON [mail]([account_id] ASC, "
    "[module_id] ASC)",
    "CREATE INDEX IF NOT EXISTS [inx_mail_mail_received_date] ON [mail]([received_date] ASC)",
    "CREATE INDEX IF NOT EXISTS [inx_mail_mail_messageid] ON [mail]([message_id] ASC)",
    "CREATE TABLE IF NOT EXISTS [file]([id] INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,[mail_id] "
    "INTEGER NOT NULL,[file_path] TEXT NOT NULL,[file_name] TEXT NOT NULL,[file_type] TEXT NOT "
    "NULL,[size] INTEGER NOT NULL,[parent] INTEGER,[is_folder] INTEGER NOT NULL, [is_inline] "
    "INTEGER NOT NULL, CONSTRAINT [fk_file_mail_id] FOREIGN KEY ([mail_id]) REFERENCES "
    "[mail]([id]))",
    "CREATE INDEX IF NOT EXISTS [inx_file_mail_id] ON [file]([mail_id] ASC)",
    // A page of the file list sorted by folder walks this and stops after
    // the page instead of sorting every file.
    "CREATE INDEX IF NOT EXISTS [inx_file_folder] ON [file]([is_folder], [id])",
    // And the contact list's page, in its name order.
    "CREATE INDEX IF NOT EXISTS [inx_contact_name] ON [contact]([name] COLLATE NOCASE, [id])",
};

const char* const kSetVersionFormat =
    "INSERT OR IGNORE INTO [schema_version]([id],[description],[major_version],[minor_version])"
    "VALUES(1, %s, %s, %s)";
const char* const kCreateFtsFile =
    "CREATE VIRTUAL TABLE fts_file USING FTS3 ([from], [to], [subject], [filename],[type])";
const char* const kCreateFtsContact =
    "CREATE VIRTUAL TABLE fts_contact USING FTS3 ([name], [email],[phone], [tag],[notes],[is], "
    "[type])";

const char* const kSelectMailModules =
    "SELECT [module].[account_id] accountid, [module].[last_processed_uid_from] fromuid, "
    "[module].[last_processed_uid_to] touid, [module].[total_msgs] totalmsgs, "
    "[module].[processed_msgs] processedmsgs, [module].[indexing_status] indexingstatus "
    "FROM [module] JOIN [account] ON [module].[account_id] = [account].[id] "
    "WHERE [module].[id] = ?";

int MigrateTo11(koSQLite* db) {
  if (!InternalResetContactModifiedTime(db)) {
    KO_LOG(-1, "InternalResetContactModifiedTime");
    return 0;
  }
  // Fails when an interrupted earlier upgrade already added the column.
  if (!SQLiteMgr::ExecuteQuery(db, "ALTER TABLE mail ADD [unseen] INTEGER DEFAULT 0")) {
    KO_LOG(-1, "SQLiteMgr::ExecuteQuery");
  }
  return 1;
}

int MigrateTo12(koSQLite* db) {
  const char* alter = "ALTER TABLE [account] ADD [mail_download_type] INTEGER DEFAULT 1";
  // As above: the column may be there from an interrupted run.
  if (!SQLiteMgr::ExecuteQuery(db, alter)) KO_LOG(-1, alter);
  if (!InternalMigrateAttachmentModule(db)) {
    KO_LOG(-1, "InternalMigrateAttachmentModule");
    return 0;
  }
  return 1;
}

struct MigrationStep {
  const char* target;  // version text the step brings the file to
  int (*run)(koSQLite* db);
};

// In ascending order; the empty entry ends the table.
const MigrationStep kMigrations[] = {
    {"1.1", MigrateTo11},
    {"1.2", MigrateTo12},
    {nullptr, nullptr},
};

// Inserts the attachment-module row for the current row of `row`, a
// statement of kSelectMailModules. An existing row is kept.
int InsertAttachmentModule(koSQLite* db, sqlite3_stmt** row) {
  const char* sql =
      "INSERT OR IGNORE INTO [module]([id] ,[account_id] ,[last_processed_uid_from], "
      "[last_processed_uid_to] ,[total_msgs] , [processed_msgs], [indexing_status] "
      ",[description]) VALUES (?,?,?,?,?,?,?,?) ";
  koStatement insert(db, sql);
  insert.Int(kAttachmentModule)
      .Int(db->GetInt(row, "accountid"))
      .Int64(db->GetInt64(row, "fromuid"))
      .Int64(db->GetInt64(row, "touid"))
      .Int(db->GetInt(row, "totalmsgs"))
      .Int(db->GetInt(row, "processedmsgs"))
      .Int(db->GetInt(row, "indexingstatus"))
      .Text("ATTACHMENTS extraction");
  return insert.Step() ? 1 : 0;
}

}  // namespace

double ParseSchemaVersion(const char* text) {
  if (text == nullptr) return 0;
  while (*text == ' ' || *text == '\t') ++text;
  const char* end = text;
  while (*end != '\0') ++end;
  double value = 0;
  // from_chars ignores the locale, so "1.2" never reads as 1 where the
  // decimal separator is a comma.
  std::from_chars_result r = std::from_chars(text, end, value, std::chars_format::fixed);
  if (r.ec != std::errc()) return 0;
  return value;
}

int CreateSchemaVersionTable(koSQLite* db) {
  return SQLiteMgr::ExecuteQuery(db, kCreateStatements[0]);
}

int InternalSetSchemaVersion(koSQLite* db) {
  koString sql;
  sql.AppendFormat(kSetVersionFormat, kSchemaDescription, kSchemaMajorVersion, kSchemaMinorVersion);
  return SQLiteMgr::ExecuteQuery(db, sql.GetString());
}

int InternalTruncateSchemaVersion(koSQLite* db) {
  return SQLiteMgr::ExecuteQuery(db, "DELETE FROM  [schema_version]");
}

int InternalGetCurrentSchemaVersion(koSQLite* db, koString& version) {
  const char* sql =
      "SELECT [major_version] majorversion, [minor_version] minorversion FROM [schema_version] "
      "WHERE rowid = 1";
  koStatement row(db, sql);
  if (!row.Step()) return 0;
  if (!row.HasRow()) {
    version.Clear();
    return 1;
  }
  const char* major = db->GetText(row.Handle(), "majorversion");
  const char* minor = db->GetText(row.Handle(), "minorversion");
  if (major == nullptr || minor == nullptr) {
    KO_LOG(-1, "InternalGetCurrentSchemaVersion: NULL version column");
    return 0;
  }
  version.Format("%s.%s", major, minor);
  return 1;
}

int InternalResetContactModifiedTime(koSQLite* db) {
  koStatement s(db, "UPDATE account_status SET [last_contact_modified_time] = ?");
  return s.Null().Step() ? 1 : 0;
}

int InternalMigrateAttachmentModule(koSQLite* db) {
  if (!SQLiteMgr::BeginTransaction(db)) return 0;
  int ok = 0;
  {
    // Finalized before the commit.
    koStatement rows(db, kSelectMailModules);
    rows.Int(kMailModule);
    while (rows.Step()) {
      if (!rows.HasRow()) {
        ok = 1;
        break;
      }
      if (!InsertAttachmentModule(db, rows.Handle())) {
        KO_LOG(-1, kSelectMailModules);
        break;
      }
    }
  }
  if (ok && SQLiteMgr::EndTransaction(db)) return 1;
  SQLiteMgr::RollbackTransaction(db);
  return 0;
}

int MigrateSqliteSchema(koSQLite* db) {
  // A file without the table predates versioning, or is brand new: the
  // creation procedure writes the row later.
  if (!db->CheckIfTableExists("schema_version")) return 1;

  koString program;
  program.AppendFormat("%s.%s", kSchemaMajorVersion, kSchemaMinorVersion);
  const double programVersion = ParseSchemaVersion(program.GetString());

  koString stored;
  if (!InternalGetCurrentSchemaVersion(db, stored)) {
    KO_LOG(-1, "InternalGetCurrentSchemaVersion");
    return 0;
  }
  const double storedVersion = ParseSchemaVersion(stored.GetString());
  if (storedVersion > programVersion) {
    KO_LOG(-1, "Version mismatch!");
    return 0;
  }
  if (storedVersion == programVersion) return 1;

  for (const MigrationStep* step = kMigrations; step->target != nullptr; ++step) {
    if (ParseSchemaVersion(step->target) <= storedVersion) continue;
    if (!step->run(db)) return 0;
  }
  if (!InternalTruncateSchemaVersion(db)) {
    KO_LOG(-1, "InternalTruncateSchemaVersion");
    return 0;
  }
  if (!InternalSetSchemaVersion(db)) {
    KO_LOG(-1, "InternalSetSchemaVersion");
    return 0;
  }
  return 1;
}

int CreateSummarySchema(koSQLite* db) {
  for (const char* sql : kCreateStatements) {
    if (!SQLiteMgr::ExecuteQuery(db, sql)) return 0;
  }
  if (!InternalSetSchemaVersion(db)) return 0;
  // FTS3 knows no IF NOT EXISTS.
  if (!db->CheckIfTableExists("fts_file") && !SQLiteMgr::ExecuteQuery(db, kCreateFtsFile)) return 0;
  if (!db->CheckIfTableExists("fts_contact") && !SQLiteMgr::ExecuteQuery(db, kCreateFtsContact))
    return 0;
  return 1;
}

int CreateAccountTables(koSQLite* db) {
  return SQLiteMgr::ExecuteQuery(db, kCreateStatements[kCreateAccountIndex]) &&
                 SQLiteMgr::ExecuteQuery(db, kCreateStatements[kCreateAccountStatusIndex])
             ? 1
             : 0;
}

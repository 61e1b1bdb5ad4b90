#include "app/store/summaryschema.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "app/store/store_fixture.h"
#include "support/child.h"

namespace fs = std::filesystem;

namespace {

// The schema as the program must create it, written out independently of
// the code under test.
const char* const kExpectedStatements[] = {
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
    "CREATE INDEX IF NOT EXISTS [inx_file_folder] ON [file]([is_folder], [id])",
    "CREATE INDEX IF NOT EXISTS [inx_contact_name] ON [contact]([name] COLLATE NOCASE, [id])",
    "CREATE VIRTUAL TABLE fts_file USING FTS3 ([from], [to], [subject], [filename],[type])",
    "CREATE VIRTUAL TABLE fts_contact USING FTS3 ([name], [email],[phone], [tag],[notes],[is], "
    "[type])",
};

// SQLite keeps a CREATE statement's text but drops "IF NOT EXISTS" and
// squeezes the blanks after CREATE.
std::string AsStored(const std::string& sql) {
  static const std::regex head("^CREATE +(UNIQUE +)?(TABLE|INDEX) +IF NOT EXISTS +");
  std::smatch m;
  if (!std::regex_search(sql, m, head)) return sql;
  return "CREATE " + m[1].str() + m[2].str() + " " + m.suffix().str();
}

class SchemaTest : public StoreTest {
 protected:
  // What the sqlite3 program answers for the file.
  std::string Rows(const std::string& sql) {
    return pvtest::CommandOutput("sqlite3 -batch '" + summary_path_ + "' \"" + sql + "\"");
  }
  std::string File() const { return pvtest::ReadFile(summary_path_); }

  // The tables as the first released version wrote them: no [mail].[unseen],
  // no [account].[mail_download_type]; version row major.minor (none for null).
  void MakeVersion10File(const char* major = "1", const char* minor = "0") {
    Exec(
        "CREATE TABLE [schema_version] ([id] INTEGER NOT NULL UNIQUE,[description] TEXT,"
        "[major_version] TEXT,[minor_version] TEXT,PRIMARY KEY ([major_version], [minor_version]));"
        "CREATE TABLE [account]([id] INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,[email] TEXT NOT "
        "NULL UNIQUE,[password] TEXT NOT NULL,[download_since] INTEGER DEFAULT 0, [download_all] "
        "INTEGER DEFAULT 0);"
        "CREATE TABLE [account_status]([account_id] INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,"
        "[contact_updated_time] INTEGER DEFAULT 0, [mail_updated_time] INTEGER DEFAULT 0, "
        "[last_contact_modified_time] TEXT DEFAULT NULL);"
        "CREATE TABLE [module]([id] INTEGER NOT NULL,[account_id] INTEGER NOT NULL, "
        "[last_processed_uid_from] INTEGER NOT NULL DEFAULT 0,[processed_uid_from] INTEGER NOT "
        "NULL DEFAULT 0,[last_processed_uid_to] INTEGER NOT NULL DEFAULT 0,[processed_uid_to] "
        "INTEGER NOT NULL DEFAULT 0,[total_msgs] INTEGER NOT NULL DEFAULT 0,[processed_msgs] "
        "INTEGER NOT NULL DEFAULT 0,[indexing_status] INTEGER DEFAULT 0 ,[lower_uid_boundary] "
        "INTEGER DEFAULT 0 ,[description] TEXT NOT NULL DEFAULT '',PRIMARY KEY ([id], "
        "[account_id]));"
        "CREATE TABLE [mail]([id] INTEGER PRIMARY KEY NOT NULL,[uid] INTEGER NOT NULL,[message_id] "
        "TEXT NOT NULL, [account_id] INTEGER NOT NULL,[module_id] INTEGER NOT NULL, "
        "[received_date] INTEGER NOT NULL DEFAULT 0,[subject] TEXT NOT NULL);"
        "INSERT INTO account VALUES (1, 'a@example.com', 'x', 0, 1), (2, 'b@example.com', 'y', "
        "1300000000, 0);"
        "INSERT INTO account_status VALUES (1, 5, 6, '2011-05-01T10:00:00.000Z'), (2, 7, 8, "
        "'2011-06-01T10:00:00.000Z');"
        // Account 1's mail module walked UIDs beyond 32 bits; account 9 is gone.
        "INSERT INTO module ([id], [account_id], [last_processed_uid_from], "
        "[last_processed_uid_to], [total_msgs], [processed_msgs], [indexing_status]) VALUES "
        "(3, 1, 4000000000, 4000000500, 120, 100, 1), (3, 2, 17, 99, 40, 40, 0), "
        "(4, 1, 1, 2, 3, 3, 1), (3, 9, 1, 1, 1, 1, 1);"
        "INSERT INTO mail VALUES (1, 10, '<m1@x>', 1, 1, 1300000000, 'hello');");
    if (major != nullptr) {
      Exec(std::string("INSERT INTO schema_version VALUES (1, '") + major + "." + minor + "', '" +
           major + "', '" + minor + "')");
    }
    Open();
  }
  // Migrates the open connection, then closes every connection.
  int Migrate() {
    int result = MigrateSqliteSchema(db_.get());
    Close();
    CloseRaw();
    return result;
  }
  void ExpectUpgraded() {
    EXPECT_EQ(Rows("SELECT account_id, last_processed_uid_from, last_processed_uid_to, total_msgs, "
                   "processed_msgs, indexing_status, description FROM module WHERE id = 6 ORDER BY "
                   "account_id"),
              "1|4000000000|4000000500|120|100|1|ATTACHMENTS extraction\n"
              "2|17|99|40|40|0|ATTACHMENTS extraction\n");
    EXPECT_EQ(Rows("SELECT id, description, major_version, minor_version FROM schema_version"),
              "1|1.2|1|2\n");
  }
};

TEST_F(SchemaTest, CreatesExactlyTheStatementsInOrderWithTheVersionRowOnce) {
  EXPECT_EQ(CreateSummarySchema(Open()), 1);
  Close();
  std::vector<std::string> expected, listed;
  for (const char* sql : kExpectedStatements) expected.push_back(AsStored(sql));
  int shadows = 0, sequence = 0;
  static const std::regex shadow("^fts_(file|contact)_(content|segments|segdir)\\|.*");
  std::istringstream lines(
      Rows("SELECT name || '|' || sql FROM sqlite_master WHERE sql NOT NULL ORDER BY rowid"));
  for (std::string line; std::getline(lines, line);) {
    if (std::regex_match(line, shadow)) {
      ++shadows;
    } else if (line.rfind("sqlite_sequence|", 0) == 0) {
      ++sequence;  // SQLite's own, made for the AUTOINCREMENT keys
    } else {
      listed.push_back(line.substr(line.find('|') + 1));
    }
  }
  EXPECT_EQ(listed, expected);
  EXPECT_EQ(shadows, 6);
  EXPECT_EQ(sequence, 1);
  EXPECT_EQ(Rows("SELECT id, description, major_version, minor_version, typeof(minor_version) "
                 "FROM schema_version"),
            "1|1.2|1|2|text\n");

  // Creating again, or migrating the current file, changes nothing.
  const std::string before = File();
  EXPECT_EQ(CreateSummarySchema(Open()), 1);
  EXPECT_EQ(MigrateSqliteSchema(db_.get()), 1);
  Close();
  EXPECT_EQ(File(), before);
  EXPECT_EQ(LogText(), "");
}

TEST_F(SchemaTest, AFailedStatementStopsTheCreation) {
  // A view squatting on a table name: the table's CREATE passes (IF NOT
  // EXISTS), the index on it fails.
  Exec("CREATE VIEW [contact] AS SELECT 1");
  EXPECT_EQ(CreateSummarySchema(Open()), 0);
  EXPECT_NE(LogText().find("ErrMsg:CREATE INDEX IF NOT EXISTS [inx_contact_uid]"),
            std::string::npos);
  EXPECT_EQ(Query("SELECT group_concat(name) FROM (SELECT name FROM sqlite_master WHERE name IN "
                  "('contact_email_link', 'inx_contact_email', 'schema_version') ORDER BY name)"),
            "contact_email_link,schema_version");
  EXPECT_EQ(Query("SELECT COUNT(*) FROM schema_version"), "0");
}

TEST_F(SchemaTest, OlderFilesGainEveryMissingStepAndTheNewVersionRow) {
  const struct {
    const char* major;  // null: an empty version table, read as version 0
    const char* minor;
    const char* contactTimes;  // 1.1 resets every contact download
  } cases[] = {{"1", "0", "1|NULL\n2|NULL\n"}, {nullptr, "", "1|NULL\n2|NULL\n"},
               {"1", "1", "1|2011-05-01T10:00:00.000Z\n2|2011-06-01T10:00:00.000Z\n"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.major ? c.minor : "empty");
    std::filesystem::remove(summary_path_);
    MakeVersion10File(c.major, c.minor);
    if (c.major != nullptr && c.minor[0] == '1') {
      Exec("ALTER TABLE mail ADD [unseen] INTEGER DEFAULT 0");
      Reopen();
    }
    EXPECT_EQ(Migrate(), 1);
    EXPECT_EQ(Rows("SELECT account_id, ifnull(last_contact_modified_time, 'NULL') FROM "
                   "account_status ORDER BY account_id"),
              c.contactTimes);
    EXPECT_EQ(Rows("SELECT id, unseen FROM mail"), "1|0\n");
    // 1.2: existing accounts extract attachments; module 6 copies module 3.
    EXPECT_EQ(Rows("SELECT id, mail_download_type FROM account ORDER BY id"), "1|1\n2|1\n");
    ExpectUpgraded();
  }
  EXPECT_EQ(LogText(), "");
  // The creation that follows at start adds the missing tables around it.
  ASSERT_EQ(CreateSummarySchema(Open()), 1);
  Close();
  EXPECT_EQ(Rows("SELECT COUNT(*) FROM sqlite_master WHERE name IN ('contact', 'fts_contact')"),
            "2\n");
  ExpectUpgraded();
}

TEST_F(SchemaTest, AnInterruptedUpgradeRunsAgainAndAFileWithoutVersionsIsLeftAlone) {
  // The columns are there already, but the version row still says 1.0.
  MakeVersion10File();
  Exec(
      "ALTER TABLE mail ADD [unseen] INTEGER DEFAULT 0;"
      "ALTER TABLE [account] ADD [mail_download_type] INTEGER DEFAULT 1;"
      "INSERT INTO module ([id], [account_id], [description]) VALUES (6, 2, 'kept');");
  Reopen();
  EXPECT_EQ(Migrate(), 1);
  EXPECT_EQ(Rows("SELECT account_id, description FROM module WHERE id = 6 ORDER BY account_id"),
            "1|ATTACHMENTS extraction\n2|kept\n");

  std::filesystem::remove(summary_path_);
  Exec("CREATE TABLE [account]([id] INTEGER PRIMARY KEY, [email] TEXT)");
  CloseRaw();
  const std::string before = File();
  EXPECT_EQ(MigrateSqliteSchema(Open()), 1);
  Close();
  EXPECT_EQ(File(), before);
}

TEST_F(SchemaTest, ANewerFileIsRefusedAndNotTouched) {
  for (const char* version : {"1.3", "2.0"}) {
    SCOPED_TRACE(version);
    std::filesystem::remove(summary_path_);
    std::ofstream(log_path_, std::ios::trunc).close();
    MakeVersion10File(std::string(version, 1).c_str(), version + 2);
    Close();
    CloseRaw();
    const std::string before = File();
    EXPECT_EQ(MigrateSqliteSchema(Open()), 0);
    Close();
    EXPECT_EQ(File(), before);
    EXPECT_NE(LogText().find("ErrMsg:Version mismatch!"), std::string::npos);
  }
}

TEST_F(SchemaTest, AFailedStepRollsBackAndLeavesTheVersion) {
  MakeVersion10File();
  // The second copied row is refused.
  Exec("CREATE TRIGGER refuse BEFORE INSERT ON module WHEN NEW.account_id = 2 "
       "BEGIN SELECT RAISE(ABORT, 'refused'); END;");
  Reopen();
  EXPECT_EQ(MigrateSqliteSchema(db_.get()), 0);
  EXPECT_NE(LogText().find("InternalMigrateAttachmentModule"), std::string::npos);
  EXPECT_EQ(Query("SELECT COUNT(*) FROM module WHERE id = 6"), "0");
  EXPECT_EQ(Query("SELECT description FROM schema_version"), "1.0");
  // The connection is out of the transaction: the next one can begin.
  EXPECT_EQ(SQLiteMgr::ExecuteQuery(db_.get(), "BEGIN IMMEDIATE TRANSACTION"), 1);
  EXPECT_EQ(SQLiteMgr::ExecuteQuery(db_.get(), "END TRANSACTION"), 1);

  Exec("DROP TRIGGER refuse; DROP TABLE account_status");
  Reopen();
  EXPECT_EQ(MigrateSqliteSchema(db_.get()), 0);
  EXPECT_NE(LogText().find("InternalResetContactModifiedTime"), std::string::npos);
  EXPECT_EQ(Query("SELECT description FROM schema_version"), "1.0");
}

// Where the decimal separator is a comma, C's own number reading would take
// "1.3" for 1 and upgrade a newer file.
TEST_F(SchemaTest, VersionTextsAreDecimalNumbersInAnyLocale) {
  EXPECT_EQ(ParseSchemaVersion("1.10"), 1.1);
  EXPECT_EQ(ParseSchemaVersion(nullptr), 0.0);
  const std::string locales = home_.path() + "/locales";
  std::filesystem::create_directories(locales);
  int status = -1;
  pvtest::CommandOutput("localedef -i de_DE -f UTF-8 '" + locales + "/de_DE.UTF-8' 2>&1", &status);
  if (status != 0) {
    GTEST_SKIP() << "localedef cannot build de_DE.UTF-8 here";
  }
  setenv("LOCPATH", locales.c_str(), 1);
  if (setlocale(LC_ALL, "de_DE.UTF-8") == nullptr) {
    unsetenv("LOCPATH");
    GTEST_SKIP() << "de_DE.UTF-8 not loadable";
  }
  ASSERT_EQ(atof("1.3"), 1.0);  // the locale is in force
  EXPECT_EQ(ParseSchemaVersion("1.3"), 1.3);
  MakeVersion10File("1", "3");
  EXPECT_EQ(MigrateSqliteSchema(db_.get()), 0);
  setlocale(LC_ALL, "C");
  unsetenv("LOCPATH");
  EXPECT_NE(LogText().find("Version mismatch!"), std::string::npos);
}

}  // namespace

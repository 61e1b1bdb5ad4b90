// Fuzz target: one fetched message as the indexer stores it. The input is
// the message text; it is parsed (MailMessage::Parse), its summary and
// addresses stored and its attachments written under a private root, all in
// a transaction that is rolled back afterwards. What must hold: every file
// lies under the attachments root as a regular file, its recorded name holds
// no '/', names and texts are whole UTF-8, every stored address has a
// domain, and nothing is written outside the root.
#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <string>

#include "app/store/summaryschema.h"
#include "app/sync/fileinfomgr.h"
#include "app/sync/mailinit.h"
#include "app/sync/mailmessage.h"
#include "app/sync/mailsummary.h"
#include "app/sync/processattachment.h"
#include "core/ksqlite.h"
#include "core/pathmgr.h"
#include "core/sqlitemgr.h"
#include "fuzz_support.h"
#include "support/lsan_gio.h"

extern "C" {
#include <c-client/c-client.h>
}

using pvfuzz::Check;
using pvfuzz::IsUtf8;

namespace {

const char kAccount[] = "someone@example.com";

// Pictures are not drawn here: their own code has tests, and drawing would
// slow every run a hundredfold.
class NoPictures : public FileInfoMgr {
 public:
  int GetFileIcon(const koString&, const char*, koString& iconPath) override {
    iconPath.Clear();
    return 0;
  }
  int GetFileTypeName(const koString&, koString& typeName) override {
    typeName.Clear();
    return 1;
  }
};

struct Store {
  std::string home, root;
  koSQLite* db = nullptr;
  MailSummary* summary = nullptr;
  ProcessAttachment* attachments = nullptr;
  NoPictures* pictures = nullptr;
  std::set<std::string> homeEntries;
};
Store* gStore = nullptr;

std::set<std::string> Entries(const std::string& folder) {
  std::set<std::string> names;
  if (DIR* dir = opendir(folder.c_str())) {
    while (struct dirent* e = readdir(dir))
      if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.insert(e->d_name);
    closedir(dir);
  }
  return names;
}

std::string Text(const koString& s) { return std::string(s.GetString(), s.GetLength()); }

// The record as collecting a message fills it.
void Fill(const MailMessage& message, MailHeaderDetails& record) {
  record.uid = 7;
  record.receivedDate = 1236254400;
  record.direction = message.GetDirection();
  message.GetSubject(record.subject);
  const ENVELOPE* envelope = message.GetEnvelope();
  if (envelope == nullptr) return;
  record.messageId.SetAs(envelope->message_id ? envelope->message_id : "");
  const ADDRESS* counterpart = envelope->from;
  if (record.direction == MailMessage::kSent)
    counterpart = envelope->to ? envelope->to : envelope->bcc ? envelope->bcc : envelope->cc;
  if (counterpart != nullptr) MailSummary::FormatAddress(counterpart, record.counterpartName, record.counterpartEmail);
}

void CheckStoredRows(const std::string& input) {
  koStatement files(gStore->db, "SELECT [file_path], [file_name] FROM [file]");
  while (files.Step() && files.HasRow()) {
    const char* path = gStore->db->GetText(files.Handle(), "file_path");
    const char* name = gStore->db->GetText(files.Handle(), "file_name");
    Check(path != nullptr && name != nullptr, "file row complete", input);
    std::string relative(path);
    Check(IsUtf8(relative, true) && IsUtf8(name, strlen(name), true), "file names are UTF-8", relative);
    Check(strchr(name, '/') == nullptr, "file name without '/'", name);
    Check(!relative.empty() && relative[0] != '/', "file path relative", relative);
    for (const auto& level : std::filesystem::path(relative))
      Check(level != ".." && level != ".", "file path stays down", relative);
    std::string full = gStore->root + "/" + relative;
    struct stat st;
    Check(lstat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode), "file written where recorded", relative);
    char resolved[PATH_MAX];
    Check(realpath(full.c_str(), resolved) != nullptr &&
              strncmp(resolved, (gStore->root + "/").c_str(), gStore->root.size() + 1) == 0,
          "file under the root", relative);
  }
  koStatement addresses(gStore->db, "SELECT [address] FROM [email_address]");
  while (addresses.Step() && addresses.HasRow()) {
    const char* address = gStore->db->GetText(addresses.Handle(), "address");
    std::string text(address != nullptr ? address : "");
    size_t at = text.rfind('@');
    Check(at != std::string::npos && at > 0 && at + 1 < text.size(), "stored address has a domain", text);
    Check(IsUtf8(text, true), "stored address is UTF-8", text);
  }
  koStatement mails(gStore->db, "SELECT [subject] FROM [mail]");
  while (mails.Step() && mails.HasRow()) {
    const char* subject = gStore->db->GetText(mails.Handle(), "subject");
    Check(subject == nullptr || IsUtf8(subject, strlen(subject)), "subject is UTF-8", input);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  gStore = new Store;
  gStore->home = pvfuzz::PrivateFolder();
  setenv("HOME", gStore->home.c_str(), 1);
  for (const char* name : {"TMPDIR", "XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"})
    unsetenv(name);
  InitMailLibrary();
  koString dir;
  Check(PathMgr::GetConfigDir(dir) > 0, "config folder");
  mkdir((std::string(dir.GetString()) + "/data").c_str(), 0700);
  gStore->db = new koSQLite(nullptr);
  Check(SQLiteMgr::OpenAndInitialize(gStore->db, SQLiteMgr::kSummaryDatabase) == 1, "open the summary");
  Check(CreateSummarySchema(gStore->db) == 1, "schema");
  Check(PathMgr::GetAttachmentsDir(dir) > 0, "attachments root");
  gStore->root = dir.GetString();
  gStore->pictures = new NoPictures;
  gStore->summary = new MailSummary(gStore->db, kAccount, 1);
  gStore->attachments = new ProcessAttachment(gStore->db, kAccount, gStore->pictures);
  gStore->homeEntries = Entries(gStore->home);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  MailMessage message;
  message.SetAccountEmail(kAccount);
  message.Parse(input.data(), static_cast<uint32_t>(size), 0);
  koString subject;
  message.GetSubject(subject);
  Check(IsUtf8(Text(subject)), "subject decodes to UTF-8", input);

  MailHeaderDetails record;
  Fill(message, record);
  Check(SQLiteMgr::ExecuteQuery(gStore->db, "BEGIN IMMEDIATE TRANSACTION") == 1, "begin");
  if (gStore->summary->SaveMailSummary(record, message) &&
      gStore->attachments->SaveAttachmentSummary(record, message))
    CheckStoredRows(input);
  Check(SQLiteMgr::ExecuteQuery(gStore->db, "ROLLBACK TRANSACTION") == 1, "rollback");

  // Whatever was written lies in the account's folder below the root.
  for (const std::string& name : Entries(gStore->root))
    Check(name == kAccount, "only the account's folder below the root", name);
  std::error_code ignored;
  std::filesystem::remove_all(gStore->root + "/" + kAccount, ignored);
  for (const std::string& name : Entries(gStore->home))
    Check(gStore->homeEntries.count(name) == 1 || name == "Postvane Attachments", "nothing beside the root",
          name);
  return 0;
}

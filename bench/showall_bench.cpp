// Answer times of the file list and the polls the pages make, on a large
// summary database: 100,000 mails of two accounts (a fifth of them sent)
// and 20,000 extracted files (a fifth inline), generated with plain SQL,
// with their files on disk and their pictures drawn by a first request.
//
//   showall_bench [requests [keep]]     (default 200 requests per kind)
//
// The web server runs in this process on 127.0.0.1; each request is a new
// connection, as a page makes it, timed from connect to the close the
// server ends the answer with. Requests run one after another. The
// reference is the server's floor in the same run: the unknown-object
// answer, which touches neither the database nor a handler. With "keep"
// the private HOME stays for a look at the query plans (its path is
// printed).
#include <signal.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <string.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "app/store/configlist.h"
#include "app/store/configmgr.h"
#include "app/web/httpservicemgr.h"
#include "core/kfile.h"
#include "core/kinifile.h"
#include "core/klog.h"
#include "core/ksocket.h"
#include "core/ksqlite.h"
#include "core/pathmgr.h"
#include "core/sqlitemgr.h"
#include "support/loopback.h"
#include "support/peers.h"

namespace {

using Clock = std::chrono::steady_clock;

const int kMails = 100000;
const int kFiles = 20000;
const int kAddresses = 3000;
const int64_t kFirstDate = 1262304000;  // 2010-01-01
const char* const kAccounts[] = {"someone@example.com", "other@example.com"};
const char* const kWords[] = {"report", "budget",  "photo",  "invoice", "minutes", "draft", "slides",
                              "notes",  "summary", "scan",   "contract", "plan",   "agenda", "letter"};
const char* const kTypes[][2] = {{"pdf", "PDF document"},  {"png", "PNG image"},      {"jpg", "JPEG image"},
                                 {"docx", "Word document"}, {"xlsx", "Spreadsheet"}, {"txt", "plain text document"}};

bool Exec(sqlite3* db, const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &error) == SQLITE_OK) return true;
  fprintf(stderr, "showall_bench: %s: %s\n", sql, error ? error : "?");
  sqlite3_free(error);
  return false;
}

// Rows of every table the list and the polls read, with the files they
// name written under the attachments folder and dated with their mail.
bool Generate(const std::string& summary, const std::string& attachments, const int ids[2]) {
  sqlite3* db = nullptr;
  if (sqlite3_open(summary.c_str(), &db) != SQLITE_OK) return false;
  std::mt19937 random(7);
  bool ok = Exec(db, "BEGIN");
  sqlite3_stmt* address = nullptr;
  sqlite3_stmt* mail = nullptr;
  sqlite3_stmt* link = nullptr;
  sqlite3_stmt* file = nullptr;
  sqlite3_stmt* fts = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO email_address (id, account_id, address) VALUES (?, ?, ?)", -1, &address, nullptr);
  sqlite3_prepare_v2(db,
                     "INSERT INTO mail (id, uid, message_id, account_id, module_id, received_date, subject) VALUES "
                     "(?, ?, ?, ?, ?, ?, ?)",
                     -1, &mail, nullptr);
  sqlite3_prepare_v2(db, "INSERT INTO mail_email_link (mail_id, email_address_id) VALUES (?, ?)", -1, &link, nullptr);
  sqlite3_prepare_v2(db,
                     "INSERT INTO file (id, mail_id, file_path, file_name, file_type, size, is_folder, is_inline) "
                     "VALUES (?, ?, ?, ?, ?, ?, 0, ?)",
                     -1, &file, nullptr);
  sqlite3_prepare_v2(db, "INSERT INTO fts_file (rowid, [from], [to], subject, filename, type) VALUES (?, ?, ?, ?, ?, ?)",
                     -1, &fts, nullptr);
  auto addressOf = [](int n) { return "person" + std::to_string(n) + "@example.org"; };
  for (int n = 1; ok && n <= kAddresses; ++n) {
    sqlite3_bind_int(address, 1, n);
    sqlite3_bind_int(address, 2, ids[n % 2]);
    sqlite3_bind_text(address, 3, addressOf(n).c_str(), -1, SQLITE_TRANSIENT);
    ok = sqlite3_step(address) == SQLITE_DONE;
    sqlite3_reset(address);
  }
  std::vector<int64_t> dates(kMails + 1);
  std::vector<int> senders(kMails + 1);
  std::vector<std::string> subjects(kMails + 1);
  for (int n = 1; ok && n <= kMails; ++n) {
    int account = n % 5 < 3 ? 0 : 1;
    int module = n % 5 == 4 ? 2 : 1;
    dates[n] = kFirstDate + static_cast<int64_t>(n) * 1500 + random() % 1000;
    senders[n] = 1 + static_cast<int>(random() % kAddresses);
    subjects[n] = std::string(kWords[random() % 14]) + " " + kWords[random() % 14] + " " + std::to_string(n);
    std::string messageId = "<m" + std::to_string(n) + "@example.org>";
    sqlite3_bind_int(mail, 1, n);
    sqlite3_bind_int(mail, 2, n);
    sqlite3_bind_text(mail, 3, messageId.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(mail, 4, ids[account]);
    sqlite3_bind_int(mail, 5, module);
    sqlite3_bind_int64(mail, 6, dates[n]);
    sqlite3_bind_text(mail, 7, subjects[n].c_str(), -1, SQLITE_TRANSIENT);
    ok = sqlite3_step(mail) == SQLITE_DONE;
    sqlite3_reset(mail);
    for (int k = 0; ok && k < (module == 2 ? 2 : 1); ++k) {
      sqlite3_bind_int(link, 1, n);
      sqlite3_bind_int(link, 2, 1 + (senders[n] + k * 17) % kAddresses);
      ok = sqlite3_step(link) == SQLITE_DONE;
      sqlite3_reset(link);
    }
  }
  for (int n = 1; ok && n <= kFiles; ++n) {
    int owner = n * (kMails / kFiles) - static_cast<int>(random() % 3);
    const char* const* type = kTypes[random() % 6];
    std::string name = std::string(kWords[random() % 14]) + "_" + std::to_string(n) + "." + type[0];
    std::string folder = std::string(kAccounts[owner % 5 < 3 ? 0 : 1]) + "/recv/attachments/" + addressOf(senders[owner]);
    std::string path = folder + "/" + name;
    std::string sender = "Person " + addressOf(senders[owner]);
    sqlite3_bind_int(file, 1, n);
    sqlite3_bind_int(file, 2, owner);
    sqlite3_bind_text(file, 3, path.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(file, 4, name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(file, 5, type[1], -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(file, 6, 1000 + static_cast<int>(random() % 5000000));
    sqlite3_bind_int(file, 7, n % 5 == 0 ? 1 : 2);
    ok = sqlite3_step(file) == SQLITE_DONE;
    sqlite3_reset(file);
    sqlite3_bind_int(fts, 1, n);
    sqlite3_bind_text(fts, 2, sender.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(fts, 3, kAccounts[0], -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(fts, 4, subjects[owner].c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(fts, 5, name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(fts, 6, type[0], -1, SQLITE_TRANSIENT);
    ok = ok && sqlite3_step(fts) == SQLITE_DONE;
    sqlite3_reset(fts);
    std::filesystem::create_directories(attachments + "/" + folder);
    std::string full = attachments + "/" + path;
    FILE* out = fopen(full.c_str(), "wb");
    ok = ok && out != nullptr && fputs("x", out) >= 0;
    if (out != nullptr) fclose(out);
    ok = ok && SetFileTime(full.c_str(), dates[owner]) == 1;
  }
  for (sqlite3_stmt* s : {address, mail, link, file, fts}) sqlite3_finalize(s);
  ok = ok && Exec(db, "COMMIT");
  sqlite3_close(db);
  return ok;
}

// One request on a new connection; milliseconds to the server's close, or
// -1 when the answer was no 200.
double Time(int port, const std::string& target) {
  auto start = Clock::now();
  std::string answer = pvtest::Exchange(port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" +
                                                  std::to_string(port) + "\r\n\r\n");
  double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  return answer.compare(0, 15, "HTTP/1.0 200 OK") == 0 ? ms : -1;
}

}  // namespace

int main(int argc, char** argv) {
  const int requests = argc > 1 ? atoi(argv[1]) : 200;
  const bool keep = argc > 2 && strcmp(argv[2], "keep") == 0;
  koIgnoreSigPipe();
  const char* tmp = getenv("TMPDIR");
  std::string home = std::string(tmp && *tmp == '/' ? tmp : "/tmp") + "/showallbenchXXXXXX";
  if (mkdtemp(home.data()) == nullptr) return 1;
  setenv("HOME", home.c_str(), 1);
  for (const char* name : {"TMPDIR", "XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"})
    unsetenv(name);

  koString dir;
  PathMgr::GetConfigDir(dir);
  std::string data = std::string(dir.GetString()) + "/data";
  std::filesystem::create_directories(data);
  koLog log(kAppVersion);
  koString logPath;
  logPath.Format("%s/postvane.log", dir.GetString());
  log.SetFileName(logPath);
  gLog = &log;
  {
    koSQLite db(gLog);
    if (!SQLiteMgr::OpenAndInitialize(&db, SQLiteMgr::kSummaryDatabase) || !CreateSummarySchema(&db)) return 1;
  }
  gConfigMgr = new ConfigMgr();
  int ids[2] = {0, 0};
  for (int i = 0; i < 2; ++i) {
    AccountInfo account;
    account.email.SetAs(kAccounts[i]);
    account.password.SetAs("pw");
    account.downloadAll = 1;
    account.downloadAttachments = 1;
    if (!gConfigMgr->AddAccount(account)) return 1;
    ids[i] = account.id;
  }
  koString attachments;
  PathMgr::GetAttachmentsDir(attachments);
  auto made = Clock::now();
  if (!Generate(data + "/postvane.summary", attachments.GetString(), ids)) return 1;
  printf("generated %d mails and %d files in %.1f s (HOME %s)\n", kMails, kFiles,
         std::chrono::duration<double>(Clock::now() - made).count(), home.c_str());

  koString ini;
  ConfigMgr::OpenIniInConfigDir(ini);
  IniWriteString("GENERAL", "Port", std::to_string(pvtest::FreeLoopbackPort()).c_str(), ini.GetString());
  HttpServiceMgr* server = new HttpServiceMgr();
  server->Start();
  const int port = gConfigMgr->GetPort();

  const std::string list = "/?_object=ShowAll&_action=DataLoad&pageNo=1&size=medium&browser=bench";
  struct Kind {
    std::string name;
    std::string target;
  };
  std::vector<Kind> kinds = {{"reference: unknown object", "/?_object=NoSuch"}};
  for (const char* key : {"received", "subject", "filename", "size", "filetype", "sendername", "receiveremail",
                          "fileid", "mailid", "msgid", "module", "accountid", "filepath", "isfolder"}) {
    kinds.push_back({std::string("DataLoad sorted by ") + key, list + "&sortKey=" + key + "&sortOrder=DESC"});
  }
  kinds.push_back({"DataLoad grouped by filetype", list + "&group=filetype&sortKey=filename&sortOrder=ASC"});
  kinds.push_back({"DataLoad search=report", list + "&search=report"});
  kinds.push_back({"DataLoad search=-report", list + "&search=-report"});
  kinds.push_back({"DataLoad page 900", "/?_object=ShowAll&_action=DataLoad&pageNo=900&size=medium"});
  kinds.push_back({"CheckStatus type=file", "/?_object=ShowAll&_action=CheckStatus&type=file&pageNo=1&size=medium&crc=1"});
  kinds.push_back({"CheckStatus search=-report",
                   "/?_object=ShowAll&_action=CheckStatus&type=file&pageNo=1&size=medium&search=-report&crc=1"});
  kinds.push_back({"StatusMessage", "/?_object=ShowAll&_action=StatusMessage&crc=1"});

  printf("%-32s %10s %10s %10s\n", "request", "median ms", "p99 ms", "max ms");
  int failures = 0;
  for (const Kind& kind : kinds) {
    // The first request draws the page's pictures; it is not counted.
    Time(port, kind.target);
    std::vector<double> times;
    for (int i = 0; i < requests; ++i) {
      double ms = Time(port, kind.target);
      if (ms < 0) ++failures;
      times.push_back(ms);
    }
    std::sort(times.begin(), times.end());
    size_t p99 = (times.size() * 99 + 99) / 100 - 1;
    printf("%-32s %10.2f %10.2f %10.2f\n", kind.name.c_str(), times[times.size() / 2], times[p99], times.back());
    fflush(stdout);
  }
  delete server;
  delete gConfigMgr;
  gConfigMgr = nullptr;
  gLog = nullptr;
  if (!keep) std::filesystem::remove_all(home);
  if (failures > 0) fprintf(stderr, "showall_bench: %d answers were no 200\n", failures);
  return failures > 0 ? 1 : 0;
}

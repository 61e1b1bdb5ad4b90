// Answer times of the file list, the contact views and the polls the pages
// make, on a large summary database: 100,000 mails of two accounts (a fifth
// of them sent, one in seven unseen, one in twenty also naming the busiest
// address) and 20,000 extracted files (a fifth inline), and 20,000 contacts
// (the first 3,000 with mail, two thirds from the contacts service, in 60
// groups and the accounts' own), generated with plain SQL, with the files
// on disk and their pictures drawn by a first request.
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

#include "app/store/configmgr.h"
#include "app/store/summaryschema.h"
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
const int kContacts = 20000;
const int kGroups = 30;  // per account, besides "My Contacts"
const int64_t kFirstDate = 1262304000;  // 2010-01-01
const char* const kAccounts[] = {"someone@example.com", "other@example.com"};
const char* const kWords[] = {"report", "budget",  "photo",  "invoice", "minutes", "draft", "slides",
                              "notes",  "summary", "scan",   "contract", "plan",   "agenda", "letter"};
const char* const kFirstNames[] = {"Anna", "Bruno", "Chloe", "Dmitri", "Eve", "Farid", "Grete", "Hiro", "Ines",
                                   "Jamal", "Kasia", "Lars", "Monica", "Nils", "Olga", "Pedro", "Rania", "Soren"};
const char* const kLastNames[] = {"Albers", "Barros", "Czerny", "Dahl", "Eriksen", "Fontaine", "Gruber",
                                  "Halvorsen", "Ivanova", "Jager", "Kowalski", "Lindqvist", "Moreau", "Nakamura"};
const char* const kTypes[][2] = {{"pdf", "PDF document"},  {"png", "PNG image"},      {"jpg", "JPEG image"},
                                 {"docx", "Word document"}, {"xlsx", "Spreadsheet"}, {"txt", "plain text document"}};

bool Exec(sqlite3* db, const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &error) == SQLITE_OK) return true;
  fprintf(stderr, "showall_bench: %s: %s\n", sql, error ? error : "?");
  sqlite3_free(error);
  return false;
}

const char kInsertAddress[] = "INSERT INTO email_address (id, account_id, address) VALUES (?, ?, ?)";

bool AddAddress(sqlite3_stmt* insert, int id, int accountId, const std::string& address) {
  sqlite3_bind_int(insert, 1, id);
  sqlite3_bind_int(insert, 2, accountId);
  sqlite3_bind_text(insert, 3, address.c_str(), -1, SQLITE_TRANSIENT);
  bool ok = sqlite3_step(insert) == SQLITE_DONE;
  sqlite3_reset(insert);
  return ok;
}

// The contacts, their addresses, groups, tags and full-text rows, and what
// the indexer keeps beside the mails: conversations, unseen flags and the
// per-address counters.
bool GenerateContacts(sqlite3* db, const int ids[2]) {
  std::mt19937 random(11);
  bool ok = Exec(db, "BEGIN");
  sqlite3_stmt* address = nullptr;
  sqlite3_stmt* contact = nullptr;
  sqlite3_stmt* link = nullptr;
  sqlite3_stmt* member = nullptr;
  sqlite3_stmt* fts = nullptr;
  sqlite3_prepare_v2(db, kInsertAddress, -1, &address, nullptr);
  sqlite3_prepare_v2(db,
                     "INSERT INTO contact (id, name, account_id, uid, edit_url, mark, type, notes) VALUES "
                     "(?, ?, ?, ?, ?, ?, ?, ?)",
                     -1, &contact, nullptr);
  sqlite3_prepare_v2(db, "INSERT INTO contact_email_link (contact_id, email_address_id) VALUES (?, ?)", -1, &link,
                     nullptr);
  sqlite3_prepare_v2(db, "INSERT INTO contact_group_link (contact_id, group_id) VALUES (?, ?)", -1, &member, nullptr);
  sqlite3_prepare_v2(db,
                     "INSERT INTO fts_contact (rowid, name, email, phone, tag, notes, [is], type) VALUES "
                     "(?, ?, ?, ?, ?, ?, ?, ?)",
                     -1, &fts, nullptr);
  for (int a = 0; ok && a < 2; ++a) {
    for (int g = 0; ok && g <= kGroups; ++g) {
      std::string sql = "INSERT INTO [group] (id, name, uid, account_id) VALUES (" +
                        std::to_string(a * 100 + g + 1) + ", '" +
                        (g == 0 ? std::string("My Contacts") : "Group " + std::to_string(g)) + "', 'g" +
                        std::to_string(a * 100 + g + 1) + "', " + std::to_string(ids[a]) + ")";
      ok = Exec(db, sql.c_str());
    }
  }
  for (int n = 1; ok && n <= kContacts; ++n) {
    const int account = n % 2;
    const int type = n % 3 == 0 ? 0 : 1;
    const bool starred = n % 10 == 0;
    // The first addresses are the ones with mail.
    std::string email = "person" + std::to_string(n) + "@example.org";
    if (n > kAddresses) ok = AddAddress(address, n, ids[account], email);
    std::string name = std::string(kFirstNames[random() % 18]) + " " + kLastNames[random() % 14] + " " +
                       std::to_string(n);
    std::string uid = "http://contacts.example/base/" + std::to_string(n);
    std::string tag = n % 4 == 0 ? kWords[random() % 14] : "";
    std::string phone = n % 2 == 0 ? "+1 555 " + std::to_string(100000 + n) : "";
    std::string notes = n % 5 == 0 ? "met at the " + std::string(kWords[random() % 14]) : "";
    sqlite3_bind_int(contact, 1, n);
    sqlite3_bind_text(contact, 2, name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(contact, 3, ids[account]);
    if (type == 1) {
      sqlite3_bind_text(contact, 4, uid.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(contact, 5, (uid + "/edit").c_str(), -1, SQLITE_TRANSIENT);
    } else {
      sqlite3_bind_null(contact, 4);
      sqlite3_bind_null(contact, 5);
    }
    sqlite3_bind_int(contact, 6, starred ? 1 : 0);
    sqlite3_bind_int(contact, 7, type);
    sqlite3_bind_text(contact, 8, notes.c_str(), -1, SQLITE_TRANSIENT);
    ok = ok && sqlite3_step(contact) == SQLITE_DONE;
    sqlite3_reset(contact);
    sqlite3_bind_int(link, 1, n);
    sqlite3_bind_int(link, 2, n);
    ok = ok && sqlite3_step(link) == SQLITE_DONE;
    sqlite3_reset(link);
    // Service contacts are in their account's own group and one other.
    for (int g : {type == 1 ? 0 : -1, 1 + static_cast<int>(random() % kGroups)}) {
      if (g < 0) continue;
      sqlite3_bind_int(member, 1, n);
      sqlite3_bind_int(member, 2, account * 100 + g + 1);
      ok = ok && sqlite3_step(member) == SQLITE_DONE;
      sqlite3_reset(member);
    }
    sqlite3_bind_int(fts, 1, n);
    sqlite3_bind_text(fts, 2, name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(fts, 3, email.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(fts, 4, phone.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(fts, 5, tag.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(fts, 6, notes.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(fts, 7, starred ? "STARRED" : "", -1, SQLITE_STATIC);
    sqlite3_bind_text(fts, 8, type == 1 ? "GOOGLE" : "", -1, SQLITE_STATIC);
    ok = ok && sqlite3_step(fts) == SQLITE_DONE;
    sqlite3_reset(fts);
  }
  for (sqlite3_stmt* s : {address, contact, link, member, fts}) sqlite3_finalize(s);
  // One mail in twenty also names the busiest address (of the second
  // account, as those mails); one conversation to every eight consecutive
  // mails; one mail in seven unseen; the counters as the store keeps them.
  const char* const kDerived[] = {
      "INSERT INTO mail_email_link (mail_id, email_address_id) SELECT id, 1 FROM mail WHERE id % 5 >= 3 AND id % 8 = 0",
      "INSERT INTO reference_master (mail_id, parent_message_id) SELECT id, '<t' || (id / 8) || '@example.org>' "
      "FROM mail",
      "UPDATE mail SET unseen = 1 WHERE id % 7 = 0",
      "CREATE TEMP TABLE dated AS SELECT l.email_address_id address, m.id mail, m.module_id module, "
      "m.received_date date FROM mail_email_link l JOIN mail m ON m.id = l.mail_id",
      "CREATE INDEX temp.dated_address ON dated (address, module, date)",
      "INSERT INTO analytics_email (email_address_id, total_sent, total_received, recv_first_mail_id, "
      "recv_last_mail_id, sent_first_mail_id, sent_last_mail_id) SELECT a.id, "
      "(SELECT COUNT(*) FROM dated WHERE address = a.id AND module = 2), "
      "(SELECT COUNT(*) FROM dated WHERE address = a.id AND module = 1), "
      "ifnull((SELECT mail FROM dated WHERE address = a.id AND module = 1 ORDER BY date LIMIT 1), 0), "
      "ifnull((SELECT mail FROM dated WHERE address = a.id AND module = 1 ORDER BY date DESC LIMIT 1), 0), "
      "ifnull((SELECT mail FROM dated WHERE address = a.id AND module = 2 ORDER BY date LIMIT 1), 0), "
      "ifnull((SELECT mail FROM dated WHERE address = a.id AND module = 2 ORDER BY date DESC LIMIT 1), 0) "
      "FROM email_address a",
      "DROP TABLE dated",
  };
  for (const char* sql : kDerived) ok = ok && Exec(db, sql);
  return ok && Exec(db, "COMMIT");
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
  sqlite3_prepare_v2(db, kInsertAddress, -1, &address, nullptr);
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
  for (int n = 1; ok && n <= kAddresses; ++n) ok = AddAddress(address, n, ids[n % 2], addressOf(n));
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
  ok = ok && GenerateContacts(db, ids);
  sqlite3_close(db);
  return ok;
}

// One request on a new connection; milliseconds to the server's close, or
// -1 when the answer was no 200 or had no body (a failed action).
double Time(int port, const std::string& target) {
  auto start = Clock::now();
  std::string answer = pvtest::Exchange(port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" +
                                                  std::to_string(port) + "\r\n\r\n");
  double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  size_t head = answer.find("\r\n\r\n");
  bool body = head != std::string::npos && head + 4 < answer.size();
  return answer.compare(0, 15, "HTTP/1.0 200 OK") == 0 && body ? ms : -1;
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
  printf("generated %d mails, %d files and %d contacts in %.1f s (HOME %s)\n", kMails, kFiles, kContacts,
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
    const char* group = "Everyone";  // the active group of the contact list
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
  const std::string contacts = "/?_object=ShowAll&_action=ContactLoad&browser=bench&pageNo=";
  kinds.push_back({"ContactLoad all", contacts + "1"});
  kinds.push_back({"ContactLoad all, page 600", contacts + "600"});
  kinds.push_back({"ContactLoad My Contacts", contacts + "1", "My Contacts"});
  kinds.push_back({"ContactLoad Group 7", contacts + "1", "Group 7"});
  kinds.push_back({"ContactLoad search=moreau", contacts + "1&search=moreau"});
  kinds.push_back({"ContactLoad search=person1*", contacts + "1&search=person1*"});
  // The busiest address's contact: 5,000 mails since 2010.
  const std::string details = "/?_object=ShowAll&_action=ContactDetails&contactid=1&mailsPerPage=10&mailPageNo=";
  kinds.push_back({"ContactDetails busiest", details + "1"});
  kinds.push_back({"ContactDetails busiest, page 40", details + "40"});
  kinds.push_back({"ContactDetails typical", "/?_object=ShowAll&_action=ContactDetails&contactid=1234&mailsPerPage=10"
                                              "&mailPageNo=1"});
  kinds.push_back({"CheckStatus type=contact", "/?_object=ShowAll&_action=CheckStatus&type=contact&pageNo=1&crc=1"});

  printf("%-32s %10s %10s %10s\n", "request", "median ms", "p99 ms", "max ms");
  int failures = 0;
  for (const Kind& kind : kinds) {
    Preferences preferences;
    gConfigMgr->GetPreferences(preferences);
    preferences.active_group.SetAs(kind.group);
    gConfigMgr->SetPreferences(preferences);
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
  if (failures > 0) fprintf(stderr, "showall_bench: %d answers were no 200 or empty\n", failures);
  return failures > 0 ? 1 : 0;
}

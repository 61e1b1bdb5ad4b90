// pvcontactsbench: contact synchronisation from the loopback contacts service
// into a fresh summary database, timed.
//
//   pvcontactsbench [contacts]      (default 20000)
//
// Runs in a private HOME. The service holds the contacts (every tenth with a
// 4 KiB photo, each in one of 200 groups and in "My Contacts"); the program
// times a first pass, then a second pass after 100 entries changed and 20
// were deleted, and prints wall time and contacts per second for each, the
// resident memory before and after it and its peak, and the resident memory
// at the end. The references, timed in the same run on the
// same data, tell what a pass spends its time on: the feed alone (sign-in,
// request and parse, nothing stored), the photo requests alone, and the
// first pass into a second database that neither syncs to disk nor keeps a
// journal file (the SQL's own work, without the per-entry commits' waits).
#include <malloc.h>
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <tinyxml.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "app/store/configmgr.h"
#include "app/store/contact.h"
#include "app/store/summaryschema.h"
#include "app/sync/contactservice.h"
#include "app/sync/gdataclient.h"
#include "core/kcurl.h"
#include "core/kinifile.h"
#include "core/klog.h"
#include "core/ksqlite.h"
#include "core/kthread.h"
#include "core/pathmgr.h"
#include "core/sqlitemgr.h"
#include "support/contacts_peer.h"
#include "support/peers.h"

namespace {

const char kAccount[] = "bench@example.com";
const char kPassword[] = "bench";
const int kGroups = 200;
const int kPhotoEvery = 10;
const int kPhotoBytes = 4096;
const int kChanged = 100;
const int kDeleted = 20;

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// "<name>: <kB> kB" of /proc/self/status, or 0.
long StatusKb(const char* name) {
  FILE* f = fopen("/proc/self/status", "r");
  if (f == nullptr) return 0;
  char line[256];
  long kb = 0;
  size_t n = strlen(name);
  while (fgets(line, sizeof line, f) != nullptr) {
    if (strncmp(line, name, n) == 0 && line[n] == ':') kb = atol(line + n + 1);
  }
  fclose(f);
  return kb;
}

// Starts the peak of VmHWM anew, so that each phase reports its own.
void ResetPeak() {
  FILE* f = fopen("/proc/self/clear_refs", "w");
  if (f == nullptr) return;
  fputs("5", f);
  fclose(f);
}

std::string Time(int day, int second) {
  char text[40];
  snprintf(text, sizeof text, "2024-03-%02dT%02d:%02d:%02d.000Z", day, second / 3600, second / 60 % 60,
           second % 60);
  return text;
}

// The service's data: contact i was last changed at second i of day 1;
// `changed` of them again on day 2, `deleted` of them deleted on day 2.
std::string Script(int contacts, int changed, int deleted) {
  std::string photo(kPhotoBytes, 'P');
  std::string json;
  // Sized once: the bench's own text must not be what the peak measures.
  json.reserve(static_cast<size_t>(contacts) * (600 + kPhotoBytes / kPhotoEvery) + 100000);
  json += std::string("{\"users\": {\"") + kAccount + "\": \"" + kPassword + "\"}, \"updated\": \"" +
          Time(changed + deleted > 0 ? 3 : 2, 0) + "\", \"groups\": [";
  json += "{\"id\": \"g0\", \"updated\": \"" + Time(1, 0) +
          "\", \"title\": \"System Group: My Contacts\", \"system\": \"Contacts\"}";
  for (int g = 1; g <= kGroups; ++g)
    json += ",{\"id\": \"g" + std::to_string(g) + "\", \"updated\": \"" + Time(1, g) + "\", \"title\": \"Group " +
            std::to_string(g) + "\"}";
  json += "], \"contacts\": [";
  for (int i = 0; i < contacts; ++i) {
    const std::string n = std::to_string(i);
    const bool isDeleted = i < deleted;
    const bool isChanged = !isDeleted && i < deleted + changed;
    json += std::string(i ? "," : "") + "{\"id\": \"c" + n + "\", \"updated\": \"" +
            Time(isDeleted || isChanged ? 2 : 1, i % 86400) + "\"";
    if (isDeleted) {
      json += ", \"deleted\": true}";
      continue;
    }
    json += ", \"title\": \"Contact " + n + (isChanged ? " changed" : "") +
            "\", \"content\": \"notes " + n + "\", \"emails\": [{\"address\": \"c" + n +
            "@example.org\", \"primary\": true}, {\"address\": \"c" + n + ".work@example.org\"}]" +
            ", \"phones\": [\"+1 555 " + n + "\"], \"groups\": [\"g0\", \"g" + std::to_string(1 + i % kGroups) +
            "\"], \"tags\": [\"t" + std::to_string(i % 50) + "\"]";
    if (i % kPhotoEvery == 0)
      json += ", \"photo\": {\"etag\": \"e" + n + (isChanged ? "b" : "") + "\", \"data\": \"" + photo + "\"}";
    json += "}";
  }
  return json + "]}";
}

bool Fail(const char* what) {
  fprintf(stderr, "pvcontactsbench: %s\n", what);
  return false;
}

bool Prepare(pvtest::ContactsFakePeer& service, AccountInfo& account) {
  koString dir;
  if (!PathMgr::GetConfigDir(dir)) return Fail("no data directory");
  std::string data = std::string(dir.GetString()) + "/data";
  if (mkdir(data.c_str(), 0755) != 0) return Fail("cannot make the data folder");
  {
    koSQLite db(gLog);
    if (!SQLiteMgr::OpenAndInitialize(&db, "postvane.summary") || !CreateSummarySchema(&db))
      return Fail("cannot make the summary database");
  }
  gConfigMgr = new ConfigMgr();
  account.email.SetAs(kAccount);
  account.password.SetAs(kPassword);
  if (!gConfigMgr->AddAccount(account)) return Fail("cannot add the account");
  if (!service.Start()) return Fail(service.Error().c_str());
  koString ini;
  if (!ConfigMgr::OpenIniInConfigDir(ini) ||
      !IniWriteString("GENERAL", "Contacts_Login_Host", service.LoginHost().c_str(), ini.GetString()) ||
      !IniWriteString("GENERAL", "Contacts_Feed_Host", service.FeedHost().c_str(), ini.GetString()))
    return Fail("cannot write the ini file");
  return true;
}

// The references: the feed alone, then its photos alone.
void References() {
  GDataClient client(kAccount, kPassword);
  ResetPeak();
  auto start = std::chrono::steady_clock::now();
  int isFeed = 0;
  if (!client.Login() || !client.FetchContacts(nullptr, &isFeed) || !isFeed) {
    Fail("the reference feed read failed");
    return;
  }
  printf("reference, feed read and parsed (%d entries): %.2f s, resident memory then %ld kB (peak %ld kB)\n",
         client.GetEntryCount(), Seconds(start), StatusKb("VmRSS"), StatusKb("VmHWM"));
  start = std::chrono::steady_clock::now();
  int photos = 0;
  Contact entry;
  koString url, bytes;
  for (int i = 0; i < client.GetEntryCount(); ++i) {
    uint32_t count = 0;
    client.GetEntry(i, entry);
    koString etag;
    if (!entry.GetPhotoEtag(etag)) continue;
    entry.GetPhotoUrl(url);
    if (client.GetPhoto(url.GetString(), bytes, &count) && count > 0) ++photos;
  }
  printf("reference, %d photo requests: %.2f s\n", photos, Seconds(start));
}

// The first pass into data/reference.summary, which neither syncs nor journals to disk.
void SqlReference(const AccountInfo& account, int contacts) {
  koString path;
  PathMgr::GetConfigDir(path);
  path += "/data/reference.summary";
  koSQLite db(gLog);
  if (!db.Open(path, 0) || !CreateSummarySchema(&db) ||
      !SQLiteMgr::ExecuteQuery(&db, "PRAGMA synchronous = OFF") ||
      !SQLiteMgr::ExecuteQuery(&db, "PRAGMA journal_mode = MEMORY")) {
    Fail("cannot make the reference database");
    return;
  }
  ContactService sync(account, &db);
  koEvent stop;
  ResetPeak();
  auto start = std::chrono::steady_clock::now();
  if (!sync.RunPass(&stop)) Fail("the reference pass failed");
  const double s = Seconds(start);
  printf("reference, first pass without disk syncs and journal file: %.2f s, %.0f contacts/s, peak %ld kB\n", s,
         contacts / s, StatusKb("VmHWM"));
}

bool Pass(const char* name, ContactService& sync, koEvent& stop, int entries) {
  ResetPeak();
  const long before = StatusKb("VmRSS");
  auto start = std::chrono::steady_clock::now();
  if (!sync.RunPass(&stop)) return Fail("a pass failed (see the log)");
  double s = Seconds(start);
  printf("%s: %d entries in %.2f s, %.0f contacts/s; resident memory %ld kB before, peak %ld kB, %ld kB after\n",
         name, entries, s, entries / s, before, StatusKb("VmHWM"), StatusKb("VmRSS"));
  // What of the resident memory is still in use: SQLite's own (its page
  // cache) and the heap's live bytes against what it holds from the system.
  struct mallinfo2 heap = mallinfo2();
  printf("  after it: SQLite %.1f MB, heap in use %.1f MB of %.1f MB held\n", sqlite3_memory_used() / 1048576.0,
         heap.uordblks / 1048576.0, (heap.arena + heap.hblkhd) / 1048576.0);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const int contacts = argc > 1 ? atoi(argv[1]) : 20000;
  // Removed with everything in it when main returns.
  pvtest::TempDir dir;
  if (dir.Path().empty()) return 1;
  setenv("HOME", dir.Path().c_str(), 1);
  for (const char* name : {"XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "TMPDIR",
                           "http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
    unsetenv(name);
  koLog log(kAppVersion);
  std::string logPath = dir.File("bench.log");
  log.SetFileName(logPath.c_str());
  gLog = &log;
  koCurl::GlobalInit();
  TiXmlBase::SetCondenseWhiteSpace(false);

  int rc = 1;
  {
    pvtest::ContactsFakePeer service;
    AccountInfo account;
    if (Prepare(service, account) && service.SetScript(Script(contacts, 0, 0))) {
      References();
      SqlReference(account, contacts);
      koSQLite db(gLog);
      koEvent stop;
      SQLiteMgr::OpenAndInitialize(&db, "postvane.summary");
      ContactService sync(account, &db);
      bool first = Pass("first pass", sync, stop, contacts);
      ResetPeak();
      first = first && service.SetScript(Script(contacts, kChanged, kDeleted));
      printf("the service's data changed; peak meanwhile %ld kB\n", StatusKb("VmHWM"));
      if (first && Pass("second pass", sync, stop, kChanged + kDeleted)) {
        printf("resident memory at the end: %ld kB\n", StatusKb("VmRSS"));
        rc = 0;
      }
    }
  }
  delete gConfigMgr;
  gConfigMgr = nullptr;
  gLog = nullptr;
  koCurl::GlobalCleanup();
  return rc;
}

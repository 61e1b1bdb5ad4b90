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
// answer, which touches neither the database nor a handler. The last column
// is the processor time per request, which other load on the machine does
// not inflate as it does the wall times. With "keep"
// the private HOME stays for a look at the query plans (its path is
// printed).
#include <signal.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/resource.h>
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
#include "support/list_data.h"
#include "support/loopback.h"
#include "support/peers.h"

namespace {

using Clock = std::chrono::steady_clock;

using pvtest::kAccounts;

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

// Processor time of the whole process (server and client), in ms: what a
// request costs whatever else the machine runs.
double CpuMs() {
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  auto ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
  return ms(usage.ru_utime) + ms(usage.ru_stime);
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
  const pvtest::ListSizes sizes;
  auto made = Clock::now();
  if (!pvtest::Generate(data + "/postvane.summary", attachments.GetString(), ids, sizes)) return 1;
  printf("generated %d mails, %d files and %d contacts in %.1f s (HOME %s)\n", sizes.mails, sizes.files, sizes.contacts,
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

  printf("%-32s %10s %10s %10s %10s\n", "request", "median ms", "p99 ms", "max ms", "cpu ms");
  int failures = 0;
  for (const Kind& kind : kinds) {
    Preferences preferences;
    gConfigMgr->GetPreferences(preferences);
    preferences.active_group.SetAs(kind.group);
    gConfigMgr->SetPreferences(preferences);
    // The first request draws the page's pictures; it is not counted.
    Time(port, kind.target);
    std::vector<double> times;
    const double cpuBefore = CpuMs();
    for (int i = 0; i < requests; ++i) {
      double ms = Time(port, kind.target);
      if (ms < 0) ++failures;
      times.push_back(ms);
    }
    std::sort(times.begin(), times.end());
    size_t p99 = (times.size() * 99 + 99) / 100 - 1;
    printf("%-32s %10.2f %10.2f %10.2f %10.2f\n", kind.name.c_str(), times[times.size() / 2], times[p99],
           times.back(), (CpuMs() - cpuBefore) / requests);
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

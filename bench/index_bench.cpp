// First index of a corpus from loopback Dovecot: Postvane's indexer (all
// mail, summaries and attachments) against mbsync pulling the same folder to
// a Maildir and mu indexing that Maildir, alternating, medians of the rounds.
//
//   pvindexbench CORPUS [--rounds N] [--delay-ms D] [--idle CORPUS2]
//
// (--rounds 0 skips the loopback rounds.)
//
// CORPUS is a Maildir made by bench/make_corpus.py. Each Postvane run is a
// child process of its own (its peak resident memory is the child's), once
// with SQLite's rollback journal and once with WAL. --delay-ms adds a round
// of the same runs through the relay (tests/peers/xlist_relay.py) holding
// every block D ms each way, and reports the relay's CPU share. --idle
// indexes CORPUS2 once, then times passes that find nothing new.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "app/store/configmgr.h"
#include "app/store/summaryschema.h"
#include "app/sync/mailinit.h"
#include "app/sync/mailmgr.h"
#include "core/kinifile.h"
#include "core/klog.h"
#include "core/ksocket.h"
#include "core/ksqlite.h"
#include "core/kthread.h"
#include "core/pathmgr.h"
#include "core/sqlitemgr.h"
#include "support/child.h"
#include "support/imap_peers.h"

namespace {

const char kUser[] = "tester@example.com";
const char kPassword[] = "bench-password";
const char kFolder[] = "[Gmail]/All Mail";

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

struct Result {
  double seconds = -1;
  long peakKb = 0;
};

// Runs body in a child process; its exit code 0 means success. The child
// writes its own timing to the pipe.
Result InChild(const std::function<double()>& body) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    double seconds = body();
    if (write(fds[1], &seconds, sizeof seconds) != sizeof seconds) _exit(2);
    _exit(seconds >= 0 ? 0 : 1);
  }
  close(fds[1]);
  Result result;
  double seconds = -1;
  if (read(fds[0], &seconds, sizeof seconds) == sizeof seconds) result.seconds = seconds;
  close(fds[0]);
  int status = 0;
  struct rusage usage;
  wait4(pid, &status, 0, &usage);
  result.peakKb = usage.ru_maxrss;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) result.seconds = -1;
  return result;
}

// In the child: a fresh data directory under home with one account on
// 127.0.0.1:port, the indexer run until mails and attachments are complete.
// idlePasses > 0: afterwards the time of that many passes that find nothing
// new (their median) instead of the first index's.
double RunPostvane(const std::string& home, int port, const char* journal, int idlePasses) {
  setenv("HOME", home.c_str(), 1);
  for (const char* name : {"XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "TMPDIR"})
    unsetenv(name);
  koIgnoreSigPipe();
  InitMailLibrary();
  koString dir;
  PathMgr::GetConfigDir(dir);
  gLog = new koLog("bench");
  gLog->SetFileName((std::string(dir.GetString()) + "/postvane.log").c_str());
  mkdir((std::string(dir.GetString()) + "/data").c_str(), 0700);
  koString ini;
  ConfigMgr::OpenIniInConfigDir(ini);
  IniWriteString("GENERAL", "Imap_Host", "127.0.0.1", ini.GetString());
  IniWriteString("GENERAL", "Imap_Port", std::to_string(port).c_str(), ini.GetString());
  koSQLite db(gLog);
  if (!SQLiteMgr::OpenAndInitialize(&db, SQLiteMgr::kSummaryDatabase) || !CreateSummarySchema(&db)) return -1;
  std::string pragma = std::string("PRAGMA journal_mode = ") + journal;
  if (!db.Prepare(nullptr, pragma.c_str()) || !db.Step()) return -1;
  db.Finalize(nullptr);
  ConfigMgr config;
  gConfigMgr = &config;
  AccountInfo account;
  account.email.SetAs(kUser);
  account.password.SetAs(kPassword);
  account.downloadAll = 1;
  account.downloadAttachments = 1;
  if (!config.AddAccount(account)) return -1;
  MailMgr mails(account, kModuleAllMail, &db);
  koEvent stop;
  int mailPass = 1;
  auto complete = [&db, &account]() {
    koStatement s(&db, "SELECT COUNT(*) FROM module WHERE account_id = ? AND id IN (3, 6) AND indexing_status = 1");
    return s.Int(account.id).Step() && s.HasRow() && db.GetInt(s.Handle(), 0) == 2;
  };
  double start = Now();
  if (!mails.OpenMailbox(kFolder)) return -1;
  for (int pass = 0; pass < 100 && !complete(); ++pass)
    if (!mails.SaveNewMessages(&stop, 1, &mailPass) && !mails.IsStreamAlive() && !mails.OpenMailbox(kFolder))
      return -1;
  if (!complete()) return -1;
  double first = Now() - start;
  if (idlePasses == 0) return first;
  std::vector<double> passes;
  for (int i = 0; i < idlePasses; ++i) {
    double t = Now();
    if (!mails.SaveNewMessages(&stop, 1, &mailPass)) return -1;
    passes.push_back(Now() - t);
  }
  fprintf(stderr, "  (first index of the idle corpus: %.1f s)\n", first);
  return Median(passes);
}

// mbsync pulling the folder into home/mail; the Maildir is left for mu.
double RunMbsync(const std::string& home, int port, const std::string& cert) {
  std::string config = home + "/mbsyncrc";
  std::string text =
      "FSync yes\n\nIMAPAccount bench\nHost localhost\nPort " + std::to_string(port) + "\nUser " + kUser + "\nPass " +
      kPassword + "\nSSLType IMAPS\nCertificateFile " + cert +
      "\n\nIMAPStore remote\nAccount bench\n\nMaildirStore local\nPath " + home + "/mail/\nInbox " + home +
      "/mail/INBOX\n\nChannel pull\nFar :remote:\"" + kFolder +
      "\"\nNear :local:allmail\nSync Pull\nCreate Near\nSyncState *\n";
  pvtest::WriteFileAtomic(config, text);
  mkdir((home + "/mail").c_str(), 0700);
  double start = Now();
  int code = pvtest::RunChild({"mbsync", "-q", "-c", config, "pull"});
  return code == 0 ? Now() - start : -1;
}

double RunMu(const std::string& home) {
  std::string muhome = home + "/mu";
  if (pvtest::RunChild({"mu", "init", "--quiet", "--muhome=" + muhome, "--maildir=" + home + "/mail"}) != 0)
    return -1;
  double start = Now();
  int code = pvtest::RunChild({"mu", "index", "--quiet", "--muhome=" + muhome});
  return code == 0 ? Now() - start : -1;
}

struct Series {
  std::vector<double> walRollback[2];  // [0] rollback journal, [1] WAL
  std::vector<double> mbsync;
  std::vector<double> mu;
  long peakKb = 0;
};

// `rounds` alternating runs of the three against 127.0.0.1:port.
Series Measure(int port, const std::string& cert, int rounds) {
  Series series;
  for (int round = 0; round < rounds; ++round) {
    for (int step = 0; step < 3; ++step) {
      // Alternate who goes first, so neither always meets a warm cache.
      int which = (step + round) % 3;
      pvtest::TempDir home;
      if (which < 2) {
        const char* journal = which == 0 ? "DELETE" : "WAL";
        Result r = InChild([&] { return RunPostvane(home.Path(), port, journal, 0); });
        series.walRollback[which].push_back(r.seconds);
        series.peakKb = std::max(series.peakKb, r.peakKb);
        fprintf(stderr, "  postvane (%s): %.2f s, peak %ld MB\n", journal, r.seconds, r.peakKb / 1024);
      } else {
        double sync = RunMbsync(home.Path(), port, cert);
        double index = sync >= 0 ? RunMu(home.Path()) : -1;
        series.mbsync.push_back(sync);
        series.mu.push_back(index);
        fprintf(stderr, "  mbsync: %.2f s, mu index: %.2f s\n", sync, index);
      }
    }
  }
  return series;
}

void Report(const char* title, const Series& s) {
  double rollback = Median(s.walRollback[0]);
  double wal = Median(s.walRollback[1]);
  double mbsync = Median(s.mbsync);
  double mu = Median(s.mu);
  double best = std::min(rollback, wal);
  printf("%s\n", title);
  printf("  postvane, rollback journal  %8.2f s\n", rollback);
  printf("  postvane, WAL               %8.2f s\n", wal);
  printf("  mbsync (FSync on)           %8.2f s\n", mbsync);
  printf("  mu index                    %8.2f s\n", mu);
  printf("  ratio postvane/mbsync       %8.2f (WAL %.2f, rollback %.2f)\n", best / mbsync, wal / mbsync,
         rollback / mbsync);
  printf("  ratio postvane/mu           %8.2f\n", best / mu);
  printf("  ratio postvane/(mbsync+mu)  %8.2f\n", best / (mbsync + mu));
  printf("  postvane peak resident      %8ld MB\n", s.peakKb / 1024);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s CORPUS [--rounds N] [--delay-ms D] [--idle CORPUS2]\n", argv[0]);
    return 2;
  }
  std::string corpus = argv[1];
  int rounds = 3;
  int delay = 0;
  std::string idle;
  for (int i = 2; i + 1 < argc; i += 2) {
    if (strcmp(argv[i], "--rounds") == 0) rounds = atoi(argv[i + 1]);
    if (strcmp(argv[i], "--delay-ms") == 0) delay = atoi(argv[i + 1]);
    if (strcmp(argv[i], "--idle") == 0) idle = argv[i + 1];
  }
  pvtest::DovecotPeer dovecot;
  if (!dovecot.Start(kUser, kPassword)) {
    fprintf(stderr, "dovecot: %s\n", dovecot.Error().c_str());
    return 1;
  }
  int loaded = dovecot.ImportMaildir(kFolder, corpus);
  fprintf(stderr, "%d mails loaded\n", loaded);
  std::string cert = dovecot.Dir() + "/cert.pem";
  {
    // Dovecot's own index of the folder is built once, before anything is timed.
    pvtest::TempDir warm;
    RunMbsync(warm.Path(), dovecot.Port(), cert);
  }
  if (rounds > 0) Report("first index, loopback Dovecot", Measure(dovecot.Port(), cert, rounds));
  if (delay > 0) {
    pvtest::XlistRelayPeer relay;
    if (!relay.Start(dovecot.Port(), delay)) {
      fprintf(stderr, "relay: %s\n", relay.Error().c_str());
      return 1;
    }
    Series wan = Measure(relay.Port(), relay.Dir() + "/cert.pem", 1);
    std::string title = "first index through a relay of " + std::to_string(delay) + " ms each way";
    Report(title.c_str(), wan);
    // The relay works only while a client of it runs (mu reads the Maildir).
    double busy = wan.walRollback[0][0] + wan.walRollback[1][0] + wan.mbsync[0];
    printf("  relay CPU share             %8.1f %% of one core\n", 100.0 * relay.CpuSeconds() / busy);
  }
  if (!idle.empty()) {
    pvtest::DovecotPeer idleServer;
    if (!idleServer.Start(kUser, kPassword)) return 1;
    fprintf(stderr, "%d mails loaded for the idle pass\n", idleServer.ImportMaildir(kFolder, idle));
    pvtest::TempDir home;
    Result r = InChild([&] { return RunPostvane(home.Path(), idleServer.Port(), "WAL", 5); });
    printf("pass finding nothing new over %s\n  median of 5   %8.3f s\n", idle.c_str(), r.seconds);
  }
  return 0;
}

// First index of a corpus from loopback Dovecot: Postvane's indexer (all
// mail, summaries and attachments) against mbsync pulling the same folder to
// a Maildir and mu indexing that Maildir, alternating, medians of the rounds.
//
//   pvindexbench CORPUS [--rounds N] [--delay-ms D] [--idle CORPUS2] [--journal wal|both]
//   pvindexbench --sizes 2500,10000,40000 [--corpora DIR] [--rounds N] [--delay-ms D] [--journal wal|both]
//
// (--rounds 0 skips the loopback rounds.)
//
// CORPUS is a Maildir made by bench/make_corpus.py. With --sizes each size
// has its own corpus DIR/<size> (default DIR /tmp/pvindexbench), made by
// make_corpus.py --count <size> when missing, and a table of every size
// ends the report. Each Postvane run is a child process of its own (its
// peak resident memory is the child's), with SQLite's WAL as the program
// runs it, and with --journal both also with the rollback journal.
// --delay-ms adds a round of the same runs through the relay
// (tests/peers/xlist_relay.py) holding every block D ms each way, and
// reports the relay's CPU share. --idle indexes CORPUS2 once, then times
// passes that find nothing new; --references 0 leaves mbsync and mu out
// (for profiling Postvane alone). The load average is printed with every
// size: the figures mean little on a machine busy with other work.
#include <malloc.h>
#include <sqlite3.h>
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
  // Where the resident memory went: SQLite's own (mostly its page cache)
  // and the heap's live bytes against what it holds from the system.
  struct mallinfo2 heap = mallinfo2();
  fprintf(stderr, "  (memory at the end: SQLite %.1f MB, heap in use %.1f MB of %.1f MB held)\n",
          sqlite3_memory_used() / 1048576.0, heap.uordblks / 1048576.0, (heap.arena + heap.hblkhd) / 1048576.0);
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

// --references 0: Postvane alone (for profiling it).
bool gReferences = true;

// `rounds` alternating runs against 127.0.0.1:port; bothJournals: also
// Postvane with the rollback journal.
Series Measure(int port, const std::string& cert, int rounds, bool bothJournals) {
  Series series;
  for (int round = 0; round < rounds; ++round) {
    for (int step = 0; step < 3; ++step) {
      // Alternate who goes first, so neither always meets a warm cache.
      int which = (step + round) % 3;
      if ((which == 0 && !bothJournals) || (which == 2 && !gReferences)) continue;
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
  printf("%s\n", title);
  if (!s.walRollback[0].empty()) printf("  postvane, rollback journal  %8.2f s\n", rollback);
  printf("  postvane, WAL               %8.2f s\n", wal);
  printf("  mbsync (FSync on)           %8.2f s\n", mbsync);
  printf("  mu index                    %8.2f s\n", mu);
  printf("  ratio postvane/mbsync       %8.2f (WAL)", wal / mbsync);
  if (!s.walRollback[0].empty()) printf(", rollback %.2f", rollback / mbsync);
  printf("\n  ratio postvane/mu           %8.2f\n", wal / mu);
  printf("  ratio postvane/(mbsync+mu)  %8.2f\n", wal / (mbsync + mu));
  printf("  postvane peak resident      %8ld MB\n", s.peakKb / 1024);
  fflush(stdout);
}

std::string LoadAverage() {
  double load[3] = {0, 0, 0};
  if (getloadavg(load, 3) != 3) return "?";
  char text[64];
  snprintf(text, sizeof text, "%.1f %.1f %.1f", load[0], load[1], load[2]);
  return text;
}

struct SizeRow {
  int mails;
  Series series;
  std::string loadBefore;
  std::string loadAfter;
};

// DIR/<size>, made when missing.
std::string CorpusOfSize(const std::string& dir, int mails) {
  std::string path = dir + "/" + std::to_string(mails);
  struct stat st;
  if (stat((path + "/cur").c_str(), &st) == 0) return path;
  mkdir(dir.c_str(), 0700);
  fprintf(stderr, "making the corpus of %d mails in %s\n", mails, path.c_str());
  if (pvtest::RunChild({"python3", std::string(PV_BENCH_DIR) + "/make_corpus.py", path, "--count",
                        std::to_string(mails)}) != 0)
    return "";
  return path;
}

void SizeTable(const std::vector<SizeRow>& rows) {
  printf("\nfirst index by mailbox size, loopback Dovecot, medians (WAL, as the program runs)\n");
  printf("| mails | postvane | mbsync, FSync on | mu index | postvane / mbsync | postvane / (mbsync + mu) | "
         "postvane per mail | peak RSS | load average before, after |\n");
  printf("|---|---|---|---|---|---|---|---|---|\n");
  for (const SizeRow& row : rows) {
    double wal = Median(row.series.walRollback[1]);
    double mbsync = Median(row.series.mbsync);
    double mu = Median(row.series.mu);
    printf("| %d | %.2f s | %.2f s | %.2f s | %.2f | %.2f | %.2f ms | %ld MB | %s; %s |\n", row.mails, wal, mbsync,
           mu, wal / mbsync, wal / (mbsync + mu), 1000.0 * wal / row.mails, row.series.peakKb / 1024,
           row.loadBefore.c_str(), row.loadAfter.c_str());
  }
  if (rows.size() >= 2) {
    const SizeRow& first = rows.front();
    const SizeRow& last = rows.back();
    double a = Median(first.series.walRollback[1]) / first.mails;
    double b = Median(last.series.walRollback[1]) / last.mails;
    printf("time per mail at %d against %d: %+.0f %%; peak RSS %+ld MB\n", last.mails, first.mails,
           100.0 * (b / a - 1), (last.series.peakKb - first.series.peakKb) / 1024);
  }
}

// One Dovecot holding `corpus`, its rounds and the relay round.
bool MeasureCorpus(const std::string& corpus, int rounds, int delay, bool bothJournals, Series* out) {
  pvtest::DovecotPeer dovecot;
  if (!dovecot.Start(kUser, kPassword)) {
    fprintf(stderr, "dovecot: %s\n", dovecot.Error().c_str());
    return false;
  }
  int loaded = dovecot.ImportMaildir(kFolder, corpus);
  fprintf(stderr, "%d mails loaded\n", loaded);
  std::string cert = dovecot.Dir() + "/cert.pem";
  {
    // Dovecot's own index of the folder is built once, before anything is timed.
    pvtest::TempDir warm;
    RunMbsync(warm.Path(), dovecot.Port(), cert);
  }
  if (rounds > 0) {
    *out = Measure(dovecot.Port(), cert, rounds, bothJournals);
    Report(("first index, loopback Dovecot, " + std::to_string(loaded) + " mails").c_str(), *out);
  }
  if (delay > 0) {
    pvtest::XlistRelayPeer relay;
    if (!relay.Start(dovecot.Port(), delay)) {
      fprintf(stderr, "relay: %s\n", relay.Error().c_str());
      return false;
    }
    Series wan = Measure(relay.Port(), relay.Dir() + "/cert.pem", 1, bothJournals);
    std::string title = "first index through a relay of " + std::to_string(delay) + " ms each way";
    Report(title.c_str(), wan);
    // The relay works only while a client of it runs (mu reads the Maildir).
    double busy = wan.walRollback[1][0] + wan.mbsync[0] + (bothJournals ? wan.walRollback[0][0] : 0);
    printf("  relay CPU share             %8.1f %% of one core\n", 100.0 * relay.CpuSeconds() / busy);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string corpus;
  std::string corpora = "/tmp/pvindexbench";
  std::vector<int> sizes;
  int rounds = 3;
  int delay = 0;
  bool bothJournals = false;
  std::string idle;
  int i = 1;
  if (argc > 1 && argv[1][0] != '-') corpus = argv[i++];
  for (; i + 1 < argc; i += 2) {
    if (strcmp(argv[i], "--rounds") == 0) rounds = atoi(argv[i + 1]);
    if (strcmp(argv[i], "--delay-ms") == 0) delay = atoi(argv[i + 1]);
    if (strcmp(argv[i], "--idle") == 0) idle = argv[i + 1];
    if (strcmp(argv[i], "--corpora") == 0) corpora = argv[i + 1];
    if (strcmp(argv[i], "--references") == 0) gReferences = atoi(argv[i + 1]) != 0;
    if (strcmp(argv[i], "--journal") == 0) bothJournals = strcmp(argv[i + 1], "both") == 0;
    if (strcmp(argv[i], "--sizes") == 0)
      for (const char* p = argv[i + 1]; *p;) {
        char* end = nullptr;
        long n = strtol(p, &end, 10);
        if (end == p) break;
        if (n > 0) sizes.push_back(static_cast<int>(n));
        p = *end == ',' ? end + 1 : end;
      }
  }
  if (corpus.empty() == sizes.empty()) {
    fprintf(stderr,
            "usage: %s CORPUS [--rounds N] [--delay-ms D] [--idle CORPUS2] [--journal wal|both]\n"
            "       %s --sizes N,N,... [--corpora DIR] [--rounds N] [--delay-ms D] [--journal wal|both]\n",
            argv[0], argv[0]);
    return 2;
  }
  if (!corpus.empty()) {
    Series series;
    fprintf(stderr, "load average %s\n", LoadAverage().c_str());
    if (!MeasureCorpus(corpus, rounds, delay, bothJournals, &series)) return 1;
  }
  std::vector<SizeRow> rows;
  for (int mails : sizes) {
    std::string path = CorpusOfSize(corpora, mails);
    if (path.empty()) return 1;
    SizeRow row;
    row.mails = mails;
    row.loadBefore = LoadAverage();
    if (!MeasureCorpus(path, rounds, delay, bothJournals, &row.series)) return 1;
    row.loadAfter = LoadAverage();
    rows.push_back(row);
  }
  if (!rows.empty() && rounds > 0) SizeTable(rows);
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

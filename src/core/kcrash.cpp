// Nothing here logs: the handler is installed before the log opens and must
// work when everything else is broken.
#include "core/kcrash.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>

#include "core/kstring.h"
#include "core/pathmgr.h"

namespace {

const int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGSYS, SIGTRAP};
const int kMaxDumps = 1000;

// Texts the handler writes. Built at Install because the handler may not
// allocate; allocated once and never freed, because a crash during exit (after
// static destructors ran) must still find them.
struct Texts {
  koString app_name;
  koString dump_path;
  koString saved;    // whole message after a saved report
  koString failed;   // whole message when the writer failed
  koString missing;  // whole message without report file, library or writer
};
Texts* gTexts = nullptr;

int gDumpFd = -1;
void* gDumpLibrary = nullptr;
pvDumpWriteFn gDumpWrite = nullptr;
// Set by the first thread that enters the handler; later ones wait for the end.
std::atomic<int> gCrashing{0};

// Deep enough for the writer's backtrace (the unwinder is stack-hungry) and
// for sanitizer-instrumented frames.
alignas(16) char gAltStack[256 * 1024];

void WriteAll(int fd, const char* s, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, s, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    s += w;
    n -= static_cast<size_t>(w);
  }
}

int LockFile(int fd, int how) {
  while (flock(fd, how) != 0) {
    if (errno != EINTR) return 0;
  }
  return 1;
}

// 1 when `path` still names the file open as fd.
int SameFile(int fd, const char* path) {
  struct stat by_fd, by_path;
  if (fstat(fd, &by_fd) != 0 || stat(path, &by_path) != 0) return 0;
  return by_fd.st_dev == by_path.st_dev && by_fd.st_ino == by_path.st_ino;
}

// Creates `path` only if it does not exist yet and locks it. Another instance's
// pruning may remove the new, empty file before the lock is taken, so the name
// is checked again under the lock and the creation repeated when it was lost.
// Returns the descriptor, or -1 with *exists set when the name is taken.
int CreateNewLocked(const char* path, int* exists) {
  *exists = 0;
  for (int attempt = 0; attempt < 8; ++attempt) {
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
      *exists = errno == EEXIST;
      return -1;
    }
    if (LockFile(fd, LOCK_EX) && SameFile(fd, path)) return fd;
    close(fd);
  }
  return -1;
}

// Last resort when all numbered names are taken: a fixed name in the current
// directory, replaced when present unless a running instance holds it.
int CreateFallback(koString& path) {
  koString name;
  name.Format("%s%s%3d", gTexts->app_name.GetString(), "_Dump_", 0);
  // Kept absolute so that Cleanup deletes the same file after a chdir.
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof(cwd)) != nullptr) {
    path.Format("%s/%s", cwd, name.GetString());
  } else {
    path.SetAs(name);
  }
  int fd = open(path.GetString(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return -1;
  if (!LockFile(fd, LOCK_EX | LOCK_NB) || ftruncate(fd, 0) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void CreateDumpFile(const char* dir) {
  koString& path = gTexts->dump_path;
  // An unknown data directory would otherwise put the reports in the root folder.
  int numbered = dir && *dir ? kMaxDumps : 0;
  if (numbered) CrashHandler::PruneDumps(dir);
  for (int n = 0; n < numbered; ++n) {
    path.Format("%s/%s%s%03d.dmp", dir, gTexts->app_name.GetString(), "_Dump_", n);
    int exists = 0;
    gDumpFd = CreateNewLocked(path.GetString(), &exists);
    if (gDumpFd >= 0) return;
    // Any other failure (no such directory, no rights) repeats for every name.
    if (!exists) break;
  }
  gDumpFd = CreateFallback(path);
  if (gDumpFd < 0) path.Clear();
}

void BuildMessages() {
  const char* app = gTexts->app_name.GetString();
  koString title;
  title.Format("%s diagnostic message\n", app);
  gTexts->saved.SetAs(title);
  gTexts->saved.AppendFormat("%s crashed!, dump file saved as %s\n", app,
                             gTexts->dump_path.GetString());
  gTexts->failed.SetAs(title);
  gTexts->failed.AppendFormat("Failed to save %s dump file!\n", app);
  gTexts->missing.SetAs(title);
  gTexts->missing.AppendFormat(
      "%s not found! or %s in your system is too old for %s debug information!, \n"
      "To get debug information you need %s of this version.\n"
      "You must copy such newer file to %s installation folder.\n",
      PV_DUMP_LIBRARY_NAME, PV_DUMP_LIBRARY_NAME, app, PV_DUMP_LIBRARY_NAME, app);
}

void HandleSignal(int sig, siginfo_t* info, void* context) {
  int expected = 0;
  if (!gCrashing.compare_exchange_strong(expected, 1)) {
    // Another thread is writing the report; the process ends when it is done.
    for (;;) pause();
  }
  CrashHandler::OnException(sig, info, context);
  // End by the same signal, so the parent and the system see the real cause.
  // The raised signal stays pending until the handler returns; a fault would
  // also repeat on return.
  struct sigaction dfl;
  memset(&dfl, 0, sizeof(dfl));
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(sig, &dfl, nullptr);
  raise(sig);
}

void InstallSignalHandlers() {
  stack_t stack;
  memset(&stack, 0, sizeof(stack));
  stack.ss_sp = gAltStack;
  stack.ss_size = sizeof(gAltStack);
  // Without it a stack overflow could not be reported; the handler still runs
  // for every other fault, so a failure here is tolerated.
  sigaltstack(&stack, nullptr);

  struct sigaction action;
  memset(&action, 0, sizeof(action));
  action.sa_sigaction = HandleSignal;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  // A second fault inside the handler then ends the process at once.
  sigemptyset(&action.sa_mask);
  for (int sig : kCrashSignals) sigaddset(&action.sa_mask, sig);
  for (int sig : kCrashSignals) sigaction(sig, &action, nullptr);
}

void LoadDumpLibrary() {
  koString path;
  if (PathMgr::GetExeDir(path) > 0) {
    if (path.GetString()[path.GetLength() - 1] != '/') path += "/";
    path += PV_DUMP_LIBRARY_NAME;
    gDumpLibrary = dlopen(path.GetString(), RTLD_NOW | RTLD_LOCAL);
  }
  if (!gDumpLibrary) gDumpLibrary = dlopen(PV_DUMP_LIBRARY_NAME, RTLD_NOW | RTLD_LOCAL);
  if (!gDumpLibrary) return;
  gDumpWrite = reinterpret_cast<pvDumpWriteFn>(dlsym(gDumpLibrary, PV_DUMP_WRITE_SYMBOL));
}

}  // namespace

void CrashHandler::Init() {
  gDumpFd = -1;
  gDumpLibrary = nullptr;
  gDumpWrite = nullptr;
  gCrashing.store(0);
}

pvDumpWriteFn CrashHandler::Install(const char* dump_dir, const char* app_name) {
  if (!gTexts) gTexts = new Texts;
  gTexts->app_name.SetAs(app_name);
  CreateDumpFile(dump_dir);
  BuildMessages();
  InstallSignalHandlers();
  LoadDumpLibrary();
  return gDumpWrite;
}

int CrashHandler::OnException(int sig, siginfo_t* info, void* context) {
  if (!gTexts) return 0;
  int result = 0;
  const koString* message = &gTexts->missing;
  if (gDumpFd >= 0 && gDumpLibrary && gDumpWrite) {
    if (gDumpWrite(gDumpFd, sig, info, context)) {
      message = &gTexts->saved;
      result = 1;
    } else {
      message = &gTexts->failed;
    }
    // Closed and forgotten, so that nothing deletes it.
    close(gDumpFd);
    gDumpFd = -1;
  }
  WriteAll(STDERR_FILENO, message->GetString(), message->GetLength());
  return result;
}

void CrashHandler::Cleanup() {
  if (gDumpFd >= 0) {
    // Deleted while still locked: once closed, another instance may prune the
    // name and create its own report under it.
    unlink(gTexts->dump_path.GetString());
    close(gDumpFd);
    gDumpFd = -1;
  }
  if (gDumpLibrary) {
    gDumpWrite = nullptr;
    dlclose(gDumpLibrary);
    gDumpLibrary = nullptr;
  }
}

int CrashHandler::PruneDumps(const char* dir) {
  DIR* listing = opendir(dir);
  if (!listing) return 0;
  koString path;
  while (struct dirent* entry = readdir(listing)) {
    const char* name = entry->d_name;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
    const char* ext = strstr(name, ".dmp");
    if (!ext || ext[4] != '\0') continue;
    path.Format("%s/%s", dir, name);
    // Opened, not just stat'ed: the lock tells whether a running instance owns
    // it. Links and FIFOs are left alone.
    int fd = open(path.GetString(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) continue;
    struct stat info;
    if (LockFile(fd, LOCK_EX | LOCK_NB) && fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
        info.st_size == 0 && SameFile(fd, path.GetString())) {
      unlink(path.GetString());
    }
    close(fd);
  }
  closedir(listing);
  return 1;
}

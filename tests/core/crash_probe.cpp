// Installs the crash handler as the program does (data directory from HOME)
// and then, by its argument:
//   segv   writes to a page without access rights
//   abort  calls abort()
//   wait   waits until standard input closes, then exits normally
// First line on standard output: "ready 1" when the report writer was found,
// "ready 0" when not.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/kcrash.h"
#include "core/kstring.h"
#include "core/pathmgr.h"

int main(int argc, char** argv) {
  CrashHandler::Init();
  koString dir;
  if (argc < 2 || PathMgr::GetConfigDir(dir) == 0) return 2;
  pvDumpWriteFn writer = CrashHandler::Install(dir.GetString(), "Crash Probe 1.0");
  printf("ready %d\n", writer ? 1 : 0);
  fflush(stdout);

  if (strcmp(argv[1], "segv") == 0) {
    // A real fault with an address, which no sanitizer intercepts first.
    void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) return 3;
    *static_cast<volatile int*>(page) = 1;
    return 4;
  }
  if (strcmp(argv[1], "abort") == 0) abort();
  if (strcmp(argv[1], "wait") == 0) {
    char c;
    while (read(STDIN_FILENO, &c, 1) > 0) {
    }
    CrashHandler::Cleanup();
    return 0;
  }
  return 2;
}

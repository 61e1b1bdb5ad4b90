// Runs out of memory on purpose under a 256 MiB address-space limit.
// Usage: oom_probe <log file>
#include <sys/resource.h>

#include <cstdio>

#include "core/klog.h"
#include "core/kstring.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  gLog = new koLog("1.89 Beta");
  gLog->SetFileName(argv[1]);
  struct rlimit limit = {256u << 20, 256u << 20};
  if (setrlimit(RLIMIT_AS, &limit) != 0) return 3;
  koString chunk;
  for (int i = 0; i < (1 << 20); ++i) chunk.Append("x", 1);
  koString grow;
  for (;;) grow.Append(chunk);
}

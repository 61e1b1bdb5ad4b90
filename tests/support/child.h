// Child processes for tests: programs run to their end, and shell commands
// whose output is read back.
#ifndef PV_TESTS_SUPPORT_CHILD_H
#define PV_TESTS_SUPPORT_CHILD_H

#include <spawn.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <vector>

extern char** environ;

namespace pvtest {

// Runs argv[0] (searched on PATH when it has no '/') with this process's
// environment and waits for it: its exit code, or -1 when it could not start
// or ended by a signal.
inline int RunChild(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// Standard output of a shell command; *status (when given) gets its pclose status.
inline std::string CommandOutput(const std::string& command, int* status = nullptr) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[65536];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  int result = pclose(pipe);
  if (status != nullptr) *status = result;
  return out;
}

}  // namespace pvtest

#endif  // PV_TESTS_SUPPORT_CHILD_H

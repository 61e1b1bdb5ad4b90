// Child processes for tests: programs run to their end, programs talked to
// through their standard input and output, shell commands whose output is
// read back, and waiting for something a child does.
#ifndef PV_TESTS_SUPPORT_CHILD_H
#define PV_TESTS_SUPPORT_CHILD_H

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
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

// Polls done() every 10 ms until it holds or ms have passed; its last answer.
// The default leaves room for a sanitizer build on a loaded machine.
template <class Done>
bool WaitFor(Done done, int ms = 30000) {
  for (auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
       std::chrono::steady_clock::now() < end;) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

// A program (argv[0] searched on PATH) started with pipes to its standard
// input and from its standard output, its standard error appended to
// errorFile when one is named; killed and reaped by the destructor unless it
// was seen to end. One thread at a time.
class Spawned {
 public:
  explicit Spawned(const std::vector<std::string>& args, const std::string& errorFile = "") {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    if (!errorFile.empty())
      posix_spawn_file_actions_addopen(&actions, 2, errorFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    to_ = in[1];
    from_ = out[0];
  }
  ~Spawned() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (to_ >= 0) close(to_);
    if (from_ >= 0) close(from_);
  }
  Spawned(const Spawned&) = delete;
  Spawned& operator=(const Spawned&) = delete;

  bool Started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  // The exit code, or -1 when it did not end within ms (or ended by a signal).
  int WaitExit(int ms) {
    int status = 0;
    if (pid_ <= 0 || !WaitFor([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, ms)) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  // One line of its output without the line end; "" at its end.
  std::string ReadLine() {
    std::string line;
    for (char c; read(from_, &c, 1) == 1 && c != '\n';) line += c;
    return line;
  }
  // Writes one line to its input and reads one line of its answer.
  std::string Ask(const std::string& line) {
    std::string text = line + "\n";
    return write(to_, text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? ReadLine() : "";
  }

 private:
  pid_t pid_ = -1;
  int to_ = -1;
  int from_ = -1;
};

}  // namespace pvtest

#endif  // PV_TESTS_SUPPORT_CHILD_H

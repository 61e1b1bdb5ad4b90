#include "platform/desktop/desktop.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <string>

#include "core/kplatform.h"

extern char** environ;

namespace {

std::atomic<const koDesktopBus*> desktop_bus{nullptr};

void SetErr(int* err, int value) {
  if (err != nullptr) *err = value;
}

int IsExecutableFile(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISREG(st.st_mode) && access(path, X_OK) == 0 ? 1 : 0;
}

// Writes all of text or gives up: the pipe is non-blocking, so a program that
// does not read cannot stall the caller (the texts are far below a pipe's size).
void WriteInput(int fd, const char* text) {
  size_t left = strlen(text);
  while (left > 0) {
    ssize_t n = write(fd, text, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text += n;
    left -= static_cast<size_t>(n);
  }
}

// In the forked children only async-signal-safe calls are made.
[[noreturn]] void ExecDetached(const char* path, char* const* argv, int input_fd, int report_fd) {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  // Ignored signals would stay ignored across exec (SIGPIPE is, here).
  struct sigaction deflt;
  memset(&deflt, 0, sizeof deflt);
  deflt.sa_handler = SIG_DFL;
  for (int s = 1; s < NSIG; ++s) sigaction(s, &deflt, nullptr);
  int null_fd = open("/dev/null", O_RDWR);
  if (null_fd >= 0) {
    dup2(input_fd >= 0 ? input_fd : null_fd, 0);
    dup2(null_fd, 1);
    dup2(null_fd, 2);
  }
  execve(path, argv, environ);
  int e = errno;
  ssize_t ignored = write(report_fd, &e, sizeof e);
  (void)ignored;
  _exit(127);
}

// Reads the exec report of a started program and closes it: 1 when the
// exec succeeded (the pipe closed empty), else 0 with its errno in *err.
int ExecSucceeded(int report_fd, int* err) {
  int failure = 0;
  ssize_t n;
  do {
    n = read(report_fd, &failure, sizeof failure);
  } while (n < 0 && errno == EINTR);
  close(report_fd);
  if (n == static_cast<ssize_t>(sizeof failure)) {
    SetErr(err, failure);
    return 0;
  }
  SetErr(err, 0);
  return 1;
}

int StartFound(const char* path, const char* const* argv, const char* input, int* err) {
  std::vector<char*> args;
  for (const char* const* a = argv; *a != nullptr; ++a) args.push_back(const_cast<char*>(*a));
  args.push_back(nullptr);

  // The grandchild reports a failed exec here; a successful exec closes it.
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    SetErr(err, errno);
    return 0;
  }
  int feed[2] = {-1, -1};
  if (input != nullptr && pipe2(feed, O_CLOEXEC) != 0) {
    SetErr(err, errno);
    close(report[0]);
    close(report[1]);
    return 0;
  }
  pid_t child = fork();
  if (child == 0) {
    setsid();
    pid_t grandchild = fork();
    if (grandchild == 0) ExecDetached(path, args.data(), feed[0], report[1]);
    if (grandchild < 0) {
      int e = errno;
      ssize_t ignored = write(report[1], &e, sizeof e);
      (void)ignored;
    }
    _exit(0);
  }
  int fork_errno = errno;
  close(report[1]);
  if (feed[0] >= 0) close(feed[0]);
  if (child < 0) {
    if (feed[1] >= 0) close(feed[1]);
    close(report[0]);
    SetErr(err, fork_errno);
    return 0;
  }
  if (feed[1] >= 0) {
    fcntl(feed[1], F_SETFL, O_NONBLOCK);
    WriteInput(feed[1], input);
    close(feed[1]);
  }
  while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
  return ExecSucceeded(report[0], err);
}

int StartNamed(std::initializer_list<const char*> words, const char* input, int* err) {
  std::vector<const char*> argv(words);
  argv.push_back(nullptr);
  return koStartDetached(argv.data(), input, err);
}

// The folder part of an absolute path ("/a/b" -> "/a", "/b" -> "/").
void FolderOf(const char* path, koString& out) {
  const char* slash = strrchr(path, '/');
  if (slash == nullptr)
    out.SetAs(".");
  else if (slash == path)
    out.SetAs("/");
  else
    out.SetAs(path, static_cast<int>(slash - path));
}

// The string escapes of a desktop-entry value.
std::string UnescapeValue(const std::string& value) {
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    char c = value[i];
    if (c == '\\' && i + 1 < value.size()) {
      char e = value[++i];
      switch (e) {
        case 's': out += ' '; break;
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case 'r': out += '\r'; break;
        case '\\': out += '\\'; break;
        default:  // not a string escape: the Exec quoting may still need it
          out += '\\';
          out += e;
      }
    } else {
      out += c;
    }
  }
  return out;
}

int ReadExecFrom(const std::string& file, koString& exec) {
  std::ifstream in(file);
  if (!in) return 0;
  std::string line;
  bool in_entry = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line[0] == '[') {
      in_entry = line == "[Desktop Entry]";
      continue;
    }
    if (!in_entry) continue;
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq);
    while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) key.pop_back();
    if (key != "Exec") continue;
    size_t start = eq + 1;
    while (start < line.size() && (line[start] == ' ' || line[start] == '\t')) ++start;
    std::string value = UnescapeValue(line.substr(start));
    if (value.empty()) return 0;
    exec.SetAs(value.c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int koFindProgram(const char* name, koString& out) {
  if (name == nullptr || *name == 0) return 0;
  if (strchr(name, '/') != nullptr) {
    if (!IsExecutableFile(name)) return 0;
    out.SetAs(name);
    return 1;
  }
  const char* path = getenv("PATH");
  if (path == nullptr) path = "/usr/local/bin:/usr/bin:/bin";
  koString list(path);
  koString folder;
  koString candidate;
  for (;;) {
    int more = list.CutToken(":", folder);
    if (!more) break;
    // An empty entry means the current folder, which a desktop program should not search.
    if (folder.GetLength() > 0 && folder.GetString()[0] == '/') {
      candidate.SetAs(folder);
      if (candidate.GetString()[candidate.GetLength() - 1] != '/') candidate += "/";
      candidate += name;
      if (IsExecutableFile(candidate.GetString())) {
        out.SetAs(candidate);
        return 1;
      }
    }
  }
  return 0;
}

int koStartDetached(const char* const* argv, const char* input, int* err) {
  koString path;
  if (argv == nullptr || argv[0] == nullptr || !koFindProgram(argv[0], path)) {
    SetErr(err, ENOENT);
    return 0;
  }
  return StartFound(path.GetString(), argv, input, err);
}

namespace {

// The elevation wrapper's words for argv; 0 when argv[0] is no full path of
// an executable file.
int ElevatedWords(const char* const* argv, std::vector<const char*>& words, int* err) {
  if (argv == nullptr || argv[0] == nullptr || argv[0][0] != '/') {
    SetErr(err, EINVAL);
    return 0;
  }
  struct stat st;
  if (stat(argv[0], &st) != 0) {
    SetErr(err, errno);
    return 0;
  }
  if (!S_ISREG(st.st_mode) || access(argv[0], X_OK) != 0) {
    SetErr(err, EACCES);
    return 0;
  }
  const char* wrapper = getenv("PV_RUNAS");
  if (wrapper == nullptr || *wrapper == 0) wrapper = "pkexec";
  words.assign(1, wrapper);
  for (const char* const* a = argv; *a != nullptr; ++a) words.push_back(*a);
  words.push_back(nullptr);
  return 1;
}

}  // namespace

int koStartElevated(const char* const* argv, int* err) {
  std::vector<const char*> words;
  return ElevatedWords(argv, words, err) && koStartDetached(words.data(), nullptr, err);
}

int koRunElevated(const char* const* argv, int* code, int* err) {
  std::vector<const char*> words;
  if (!ElevatedWords(argv, words, err)) return 0;
  koString path;
  if (!koFindProgram(words[0], path)) {
    SetErr(err, ENOENT);
    return 0;
  }
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    SetErr(err, errno);
    return 0;
  }
  pid_t child = fork();
  if (child == 0) {
    setsid();
    ExecDetached(path.GetString(), const_cast<char* const*>(words.data()), -1, report[1]);
  }
  int fork_errno = errno;
  close(report[1]);
  if (child < 0) {
    close(report[0]);
    SetErr(err, fork_errno);
    return 0;
  }
  // The report pipe closes at the exec, long before the program ends.
  int started = ExecSucceeded(report[0], err);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!started) return 0;
  *code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return 1;
}

int koRunForOutput(const char* const* argv, int timeout_ms, koString& out, int* err) {
  out.Clear();
  koString path;
  if (argv == nullptr || argv[0] == nullptr || !koFindProgram(argv[0], path)) {
    SetErr(err, ENOENT);
    return 0;
  }
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
    SetErr(err, errno);
    return 0;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGINT);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid;
  int rc = posix_spawn(&pid, path.GetString(), &actions, &attr, const_cast<char* const*>(argv),
                       environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close(pipe_fds[1]);
  if (rc != 0) {
    close(pipe_fds[0]);
    SetErr(err, rc);
    return 0;
  }
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  const int64_t deadline = now.tv_sec * 1000LL + now.tv_nsec / 1000000 + timeout_ms;
  bool timed_out = false;
  char buffer[4096];
  for (;;) {
    clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t left = deadline - (now.tv_sec * 1000LL + now.tv_nsec / 1000000);
    if (left <= 0) {
      timed_out = true;
      break;
    }
    struct pollfd p = {pipe_fds[0], POLLIN, 0};
    int ready = poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      timed_out = ready == 0;
      break;
    }
    ssize_t n = read(pipe_fds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (out.GetLength() < 65536)
      out.Append(buffer, static_cast<int>(std::min<size_t>(n, 65536 - out.GetLength())));
  }
  close(pipe_fds[0]);
  if (timed_out) kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (timed_out) {
    SetErr(err, ETIMEDOUT);
    return 0;
  }
  SetErr(err, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 1 : 0;
}

void koFileUri(const char* path, koString& out) {
  static const char kHex[] = "0123456789ABCDEF";
  out.SetAs("file://");
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(path); *p != 0; ++p) {
    unsigned char c = *p;
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '.' || c == '_' || c == '~' || c == '/') {
      out.Append(reinterpret_cast<const char*>(p), 1);
    } else {
      char escaped[3] = {'%', kHex[c >> 4], kHex[c & 15]};
      out.Append(escaped, 3);
    }
  }
}

void koSetDesktopBus(const koDesktopBus* bus) { desktop_bus.store(bus); }

int koDesktopOpen(const char* target, int* err) { return StartNamed({"xdg-open", target}, nullptr, err); }

int koDesktopShowItem(const char* path, int* err) {
  const koDesktopBus* bus = desktop_bus.load();
  if (bus != nullptr && bus->show_items != nullptr) {
    koString uri;
    koFileUri(path, uri);
    if (bus->show_items(uri.GetString())) {
      SetErr(err, 0);
      return 1;
    }
  }
  koString folder;
  FolderOf(path, folder);
  return StartNamed({"xdg-open", folder.GetString()}, nullptr, err);
}

int koDesktopOpenWith(const char* path, int* err) {
  const koDesktopBus* bus = desktop_bus.load();
  if (bus != nullptr && bus->open_with != nullptr && bus->open_with(path)) {
    SetErr(err, 0);
    return 1;
  }
  return StartNamed({"xdg-open", path}, nullptr, err);
}

int koDesktopCopyText(const char* text, int* err) {
  koString found;
  const char* wayland = getenv("WAYLAND_DISPLAY");
  bool wayland_first = wayland != nullptr && *wayland != 0;
  bool have_wl = koFindProgram("wl-copy", found) != 0;
  bool have_x = koFindProgram("xclip", found) != 0;
  if (have_wl && (wayland_first || !have_x)) return StartNamed({"wl-copy"}, text, err);
  if (have_x) return StartNamed({"xclip", "-selection", "clipboard"}, text, err);
  SetErr(err, ENOENT);
  return 0;
}

int koQueryDefaultApp(const char* path, koString& id, int* err) {
  id.Clear();
  koString type;
  const char* query_type[] = {"xdg-mime", "query", "filetype", path, nullptr};
  if (!koRunForOutput(query_type, 5000, type, err)) return 0;
  type.Trim();
  if (type.GetLength() == 0) {
    SetErr(err, ENOENT);
    return 0;
  }
  const char* query_default[] = {"xdg-mime", "query", "default", type.GetString(), nullptr};
  if (!koRunForOutput(query_default, 5000, id, err)) return 0;
  id.Trim();
  // Several ids may be listed; the first is the default.
  int semicolon = id.Find(";");
  if (semicolon >= 0) id.RemoveLast(id.GetLength() - static_cast<uint32_t>(semicolon));
  if (id.GetLength() == 0) {
    SetErr(err, ENOENT);
    return 0;
  }
  return 1;
}

int koReadDesktopExec(const char* id, koString& exec) {
  if (id == nullptr || *id == 0 || strchr(id, '/') != nullptr) return 0;
  std::vector<std::string> roots;
  koString data_home;
  if (koGetUserFolder(kFolderData, data_home)) roots.push_back(data_home.GetString());
  const char* dirs = getenv("XDG_DATA_DIRS");
  std::string list = dirs != nullptr && *dirs != 0 ? dirs : "/usr/local/share:/usr/share";
  std::stringstream split(list);
  for (std::string dir; std::getline(split, dir, ':');)
    if (!dir.empty() && dir[0] == '/') roots.push_back(dir);
  for (const std::string& root : roots)
    if (ReadExecFrom(root + "/applications/" + id, exec)) return 1;
  return 0;
}

int koExpandExec(const char* exec, const char* path, std::vector<koString>& argv) {
  argv.clear();
  bool file_code = false;
  std::string word;
  bool in_word = false;   // a word has begun (a quoted empty word counts)
  bool quoted = false;
  for (const char* p = exec; *p != 0; ++p) {
    char c = *p;
    if (quoted) {
      if (c == '"') {
        quoted = false;
      } else if (c == '\\' && p[1] != 0 && strchr("\"`$\\", p[1]) != nullptr) {
        word += *++p;
      } else {
        word += c;  // field codes are not expanded inside quotes
      }
      continue;
    }
    if (c == ' ' || c == '\t' || c == '\n') {
      if (in_word) argv.emplace_back(word.c_str());
      word.clear();
      in_word = false;
      continue;
    }
    if (c == '"') {
      quoted = true;
      in_word = true;
      continue;
    }
    if (c == '%' && p[1] != 0) {
      char code = *++p;
      if (code == 'f' || code == 'F' || code == 'u' || code == 'U') {
        word += path;
        file_code = true;
        in_word = true;
      } else if (code == '%') {
        word += '%';
        in_word = true;
      }
      continue;  // other codes (icon, name, entry location) are dropped
    }
    word += c;
    in_word = true;
  }
  if (quoted) {
    argv.clear();
    return 0;
  }
  if (in_word) argv.emplace_back(word.c_str());
  if (argv.empty()) return 0;
  if (!file_code) argv.emplace_back(path);
  return 1;
}

// Recording stubs first on PATH, for tests of code that starts programs.
// Each stub appends its name and then its arguments in brackets, one a line,
// to the log ($PV_STUB_LOG), then runs the shell text it was given. PATH and
// PV_STUB_LOG come back when the object goes.
#ifndef PV_TESTS_SUPPORT_STUBS_H
#define PV_TESTS_SUPPORT_STUBS_H

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/child.h"
#include "support/files.h"
#include "support/private_home.h"

namespace pvtest {

class StubPath {
 public:
  // folder: made if missing; the log goes beside it.
  explicit StubPath(const std::string& folder) : folder_(folder), log_(folder + ".log") {
    std::filesystem::create_directories(folder_);
    const char* path = getenv("PATH");
    env_.Set("PATH", (folder_ + ":" + (path != nullptr ? path : "/usr/bin:/bin")).c_str());
    env_.Set("PV_STUB_LOG", log_.c_str());
  }

  // A recording stub.
  void Add(const std::string& name, const std::string& extra = "") {
    Script(name,
           "#!/bin/sh\n{ printf '%s\\n' \"$(basename \"$0\")\"; for a in \"$@\"; do printf "
           "'[%s]\\n' \"$a\"; done; } >> \"$PV_STUB_LOG\"\n" + extra);
  }
  // A program that records nothing.
  void Script(const std::string& name, const std::string& text) {
    WriteFile(folder_ + "/" + name, text);
    chmod((folder_ + "/" + name).c_str(), 0755);
  }
  std::string Log() const { return ReadFile(log_); }
  // The log once it holds `lines` lines or 30 s passed (stubs run detached).
  std::string WaitForLog(size_t lines) const {
    WaitFor([&] { std::string t = Log(); return size_t(std::count(t.begin(), t.end(), '\n')) >= lines; });
    return Log();
  }
  const std::string& folder() const { return folder_; }

 private:
  std::string folder_;
  std::string log_;
  ScopedEnv env_;
};

}  // namespace pvtest

#endif  // PV_TESTS_SUPPORT_STUBS_H

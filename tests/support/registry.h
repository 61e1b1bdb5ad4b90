// A private registry for tests: PV_REGISTRY_DIR points at a folder of the
// test's own while the object lives, and the build's registry tool reads and
// writes it (the programs under test see the same folder through the
// environment they inherit).
#ifndef PV_TESTS_SUPPORT_REGISTRY_H
#define PV_TESTS_SUPPORT_REGISTRY_H

#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/child.h"
#include "support/private_home.h"

namespace pvtest {

// The build folder's program: <build>/bin/<name> ("" when PV_BUILD_DIR is unset).
inline std::string BuildProgram(const std::string& name) {
  const char* build = getenv("PV_BUILD_DIR");
  return build != nullptr ? std::string(build) + "/bin/" + name : "";
}

// Output (standard output and error) of the program with its arguments, each
// passed as one word; *code = its exit code, or -1 when it did not exit.
inline std::string RunForOutput(const std::vector<std::string>& args, int* code) {
  std::string command;
  for (const std::string& a : args) {
    command += " '";
    for (char c : a) command += c == '\'' ? std::string("'\\''") : std::string(1, c);
    command += "'";
  }
  int status = 0;
  std::string out = CommandOutput(command + " 2>&1", &status);
  *code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
}

class TestRegistry {
 public:
  explicit TestRegistry(const std::string& folder) : folder_(folder) {
    env_.Set("PV_REGISTRY_DIR", folder_.c_str());
  }
  // `pvreg dump [key]`; its error text when it fails.
  std::string Dump(const std::string& key = "") const {
    int code = 0;
    std::vector<std::string> args{BuildProgram("pvreg"), "dump"};
    if (!key.empty()) args.push_back(key);
    return RunForOutput(args, &code);
  }
  // `pvreg set key name type data`; true when it succeeded.
  bool Set(const std::string& key, const std::string& name, const std::string& type,
           const std::string& data) const {
    return RunChild({BuildProgram("pvreg"), "set", key, name, type, data}) == 0;
  }
  const std::string& folder() const { return folder_; }

 private:
  std::string folder_;
  ScopedEnv env_;
};

}  // namespace pvtest

#endif  // PV_TESTS_SUPPORT_REGISTRY_H

// Environment for tests: ScopedEnv changes variables for its lifetime, and
// PrivateHome is a fresh temporary folder as HOME with the XDG base-directory
// variables and TMPDIR unset, for code that finds its folders through them.
#ifndef PV_TESTS_SUPPORT_PRIVATE_HOME_H
#define PV_TESTS_SUPPORT_PRIVATE_HOME_H

#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>

// Variables set (a null value: unset) through the object; the old values
// come back when it goes.
class ScopedEnv {
 public:
  ScopedEnv() = default;
  ScopedEnv(std::initializer_list<std::pair<const char*, const char*>> changes) {
    for (const auto& [name, value] : changes) Set(name, value);
  }
  ~ScopedEnv() {
    for (const auto& [name, value] : saved_)
      value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

  void Set(const char* name, const char* value) {
    if (saved_.count(name) == 0) {
      const char* old = getenv(name);
      saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    }
    value ? setenv(name, value, 1) : unsetenv(name);
  }

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

class PrivateHome {
 public:
  PrivateHome() {
    std::string tmpl = std::filesystem::temp_directory_path().string() + "/pvhomeXXXXXX";
    if (mkdtemp(tmpl.data()) != nullptr) path_ = tmpl;
    for (const char* name : {"TMPDIR", "XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_DATA_HOME",
                             "XDG_CACHE_HOME"})
      env_.Set(name, nullptr);
    env_.Set("HOME", path_.c_str());
  }
  ~PrivateHome() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  PrivateHome(const PrivateHome&) = delete;
  PrivateHome& operator=(const PrivateHome&) = delete;

  // Empty when no folder could be made.
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  ScopedEnv env_;
};

#endif  // PV_TESTS_SUPPORT_PRIVATE_HOME_H

// A fresh temporary folder as HOME with the XDG base-directory variables and
// TMPDIR unset, for tests of code that finds its folders through them. The
// old values come back and the folder is removed when the object goes.
#ifndef PV_TESTS_SUPPORT_PRIVATE_HOME_H
#define PV_TESTS_SUPPORT_PRIVATE_HOME_H

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

class PrivateHome {
 public:
  PrivateHome() {
    for (const char* name : kNames) {
      const char* value = getenv(name);
      if (value != nullptr) saved_[name] = value;
    }
    std::string tmpl = std::filesystem::temp_directory_path().string() + "/pvhomeXXXXXX";
    if (mkdtemp(tmpl.data()) != nullptr) path_ = tmpl;
    for (const char* name : kNames) unsetenv(name);
    setenv("HOME", path_.c_str(), 1);
  }
  ~PrivateHome() {
    for (const char* name : kNames) unsetenv(name);
    for (const auto& [name, value] : saved_) setenv(name.c_str(), value.c_str(), 1);
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  PrivateHome(const PrivateHome&) = delete;
  PrivateHome& operator=(const PrivateHome&) = delete;

  // Empty when no folder could be made.
  const std::string& path() const { return path_; }

 private:
  static constexpr const char* kNames[] = {"HOME", "TMPDIR", "XDG_CONFIG_HOME", "XDG_STATE_HOME",
                                           "XDG_DATA_HOME", "XDG_CACHE_HOME"};
  std::map<std::string, std::string> saved_;
  std::string path_;
};

#endif  // PV_TESTS_SUPPORT_PRIVATE_HOME_H

// A koLog installed as gLog for the object's lifetime, writing to the file
// given; Text() reads back what was logged. One at a time per process.
#ifndef PV_TESTS_SUPPORT_LOG_CAPTURE_H
#define PV_TESTS_SUPPORT_LOG_CAPTURE_H

#include <string>

#include "core/klog.h"
#include "support/peers.h"

class LogCapture {
 public:
  explicit LogCapture(const std::string& path) : path_(path) {
    log_.SetFileName(path_.c_str());
    gLog = &log_;
  }
  ~LogCapture() { gLog = nullptr; }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::string Text() const { return pvtest::ReadFile(path_); }
  bool Has(const std::string& piece) const { return Text().find(piece) != std::string::npos; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  koLog log_{"test"};
};

#endif  // PV_TESTS_SUPPORT_LOG_CAPTURE_H

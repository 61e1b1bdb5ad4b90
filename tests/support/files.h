// Files for tests: pvtest::TempDir and pvtest::ReadFile (support/peers.h), and
// WriteFile to go with them.
#ifndef PV_TESTS_SUPPORT_FILES_H
#define PV_TESTS_SUPPORT_FILES_H

#include <fstream>
#include <string>

#include "support/peers.h"

namespace pvtest {

// Replaces the file's content with bytes.
inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

}  // namespace pvtest

#endif  // PV_TESTS_SUPPORT_FILES_H

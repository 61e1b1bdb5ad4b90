// Files for tests: pvtest::TempDir and pvtest::ReadFile (support/peers.h),
// WriteFile to go with them, and a look into SQLite files.
#ifndef PV_TESTS_SUPPORT_FILES_H
#define PV_TESTS_SUPPORT_FILES_H

#include <sqlite3.h>

#include <fstream>
#include <string>
#include <utility>

#include "support/peers.h"

namespace pvtest {

// Replaces the file's content with bytes.
inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// The last `lines` lines of text, for a failing test to show what it saw.
inline std::string Tail(const std::string& text, size_t lines = 30) {
  size_t at = text.size();
  if (at > 0 && text[at - 1] == '\n') --at;
  while (at > 0 && lines > 0)
    if (text[--at] == '\n' && --lines == 0) return text.substr(at + 1);
  return text;
}

// Runs the statements on the SQLite file (made if missing) and gives the
// first column of the first row they return as text: "NULL" for NULL, ""
// for no row, "error: ..." when a statement failed.
inline std::string SqliteQuery(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  std::pair<bool, std::string> first(false, "");
  char* error = nullptr;
  if (sqlite3_open(path.c_str(), &db) == SQLITE_OK) {
    sqlite3_busy_timeout(db, 5000);
    sqlite3_exec(db, sql.c_str(), [](void* out, int, char** values, char**) {
      auto* seen = static_cast<std::pair<bool, std::string>*>(out);
      if (!seen->first) *seen = {true, values[0] != nullptr ? values[0] : "NULL"};
      return 0;
    }, &first, &error);
  }
  if (error != nullptr) first.second = std::string("error: ") + error;
  sqlite3_free(error);
  sqlite3_close(db);
  return first.second;
}

}  // namespace pvtest

#endif  // PV_TESTS_SUPPORT_FILES_H

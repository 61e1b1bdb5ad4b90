// respack: packs a folder of web resources into the resource store file.
//
//   respack <folder> <store file>
//
// Every regular file under the folder becomes one row of "resources":
// res_name = its path relative to the folder with '/' separators,
// res_content = its bytes, res_lastwritetime = its modification time in
// seconds since 1970, change_flag = 0. Names starting with '.' (editor and
// VCS leftovers) are skipped. The store is written beside the target and
// renamed over it, so a failed run leaves the previous store intact.
// Two names that differ only in letter case are refused: the program looks
// names up ignoring case and could not tell them apart.
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Resource {
  std::string name;
  fs::path path;
};

bool Hidden(const fs::path& relative) {
  for (const fs::path& part : relative) {
    std::string s = part.string();
    if (!s.empty() && s[0] == '.') return true;
  }
  return false;
}

bool Collect(const fs::path& root, std::vector<Resource>* out) {
  std::error_code ec;
  fs::recursive_directory_iterator it(root, ec), end;
  if (ec) {
    fprintf(stderr, "respack: cannot read %s: %s\n", root.c_str(), ec.message().c_str());
    return false;
  }
  for (; it != end; it.increment(ec)) {
    if (ec) break;
    fs::path relative = it->path().lexically_relative(root);
    if (Hidden(relative)) {
      if (it->is_directory(ec)) it.disable_recursion_pending();
      continue;
    }
    if (!it->is_regular_file(ec)) continue;
    out->push_back({relative.generic_string(), it->path()});
  }
  if (ec) {
    fprintf(stderr, "respack: cannot read %s: %s\n", root.c_str(), ec.message().c_str());
    return false;
  }
  std::sort(out->begin(), out->end(),
            [](const Resource& a, const Resource& b) { return a.name < b.name; });
  return true;
}

bool Exec(sqlite3* db, const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &error) == SQLITE_OK) return true;
  fprintf(stderr, "respack: %s: %s\n", sql, error != nullptr ? error : "failed");
  sqlite3_free(error);
  return false;
}

bool Insert(sqlite3* db, sqlite3_stmt* stmt, const Resource& r) {
  struct stat st;
  if (stat(r.path.c_str(), &st) != 0) {
    perror(r.path.c_str());
    return false;
  }
  std::ifstream in(r.path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) {
    fprintf(stderr, "respack: cannot read %s\n", r.path.c_str());
    return false;
  }
  sqlite3_reset(stmt);
  sqlite3_bind_text(stmt, 1, r.name.data(), static_cast<int>(r.name.size()), SQLITE_TRANSIENT);
  // zeroblob for empty files: a zero-length blob with a null pointer would be NULL.
  if (bytes.empty()) {
    sqlite3_bind_zeroblob(stmt, 2, 0);
  } else {
    sqlite3_bind_blob(stmt, 2, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
  }
  sqlite3_bind_int64(stmt, 3, static_cast<sqlite3_int64>(st.st_mtime));
  if (sqlite3_step(stmt) != SQLITE_DONE) {
    fprintf(stderr, "respack: %s: %s\n", r.name.c_str(), sqlite3_errmsg(db));
    return false;
  }
  return true;
}

bool Pack(const std::vector<Resource>& resources, const std::string& file) {
  sqlite3* db = nullptr;
  if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) {
    fprintf(stderr, "respack: cannot create %s: %s\n", file.c_str(), sqlite3_errmsg(db));
    sqlite3_close(db);
    return false;
  }
  bool ok = Exec(db,
                 "CREATE TABLE resources (res_name TEXT NOT NULL, res_content BLOB, "
                 "res_lastwritetime INTEGER, change_flag INTEGER DEFAULT 0)") &&
            Exec(db, "CREATE UNIQUE INDEX resources_name ON resources (lower(res_name))") &&
            Exec(db, "BEGIN");
  sqlite3_stmt* stmt = nullptr;
  if (ok &&
      sqlite3_prepare_v2(db,
                         "INSERT INTO resources (res_name, res_content, res_lastwritetime, "
                         "change_flag) VALUES (?, ?, ?, 0)",
                         -1, &stmt, nullptr) != SQLITE_OK) {
    fprintf(stderr, "respack: %s\n", sqlite3_errmsg(db));
    ok = false;
  }
  for (size_t i = 0; ok && i < resources.size(); ++i) ok = Insert(db, stmt, resources[i]);
  sqlite3_finalize(stmt);
  ok = ok && Exec(db, "COMMIT");
  if (sqlite3_close(db) != SQLITE_OK) ok = false;
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: respack <folder> <store file>\n");
    return 2;
  }
  fs::path root(argv[1]);
  fs::path target(argv[2]);
  std::vector<Resource> resources;
  if (!Collect(root, &resources)) return 1;

  std::error_code ec;
  if (target.has_parent_path()) fs::create_directories(target.parent_path(), ec);
  std::string temp = target.string() + ".tmp";
  fs::remove(temp, ec);
  if (!Pack(resources, temp)) {
    fs::remove(temp, ec);
    return 1;
  }
  fs::rename(temp, target, ec);
  if (ec) {
    fprintf(stderr, "respack: cannot replace %s: %s\n", target.c_str(), ec.message().c_str());
    fs::remove(temp, ec);
    return 1;
  }
  printf("respack: %zu resources -> %s\n", resources.size(), target.c_str());
  return 0;
}
